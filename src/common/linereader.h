#pragma once

#include <QByteArray>
#include <QtGlobal>

class QIODevice;

// Reads a file line by line in large blocks, without a copy per line, and can go
// back to where a line began (a chunk that could not be written is read again
// once there is room).
class LineReader
{
public:
    static constexpr int BlockBytes = 1024 * 1024;

    explicit LineReader(QIODevice &device);

    // The next line without its line feed, as a view valid until the next call;
    // false at the end or on a read error. A last line without a line feed counts.
    bool next(const char **begin, const char **end);
    // Where the line next() last returned began in the file.
    qint64 lineStart() const { return m_lineStart; }
    // Where the next line begins.
    qint64 offset() const { return m_bufferOffset + m_pos; }
    // Goes back (or forth) to an offset; the next line begins there.
    bool seek(qint64 offset);
    bool failed() const { return m_failed; }

private:
    QIODevice &m_device;
    QByteArray m_buffer;
    int m_pos = 0;              // first unread byte in m_buffer
    int m_len = 0;              // bytes of m_buffer that hold file data
    qint64 m_bufferOffset = 0;  // file offset of m_buffer[0]
    qint64 m_lineStart = 0;
    bool m_eof = false;
    bool m_failed = false;
};
