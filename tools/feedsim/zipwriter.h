#pragma once

#include <QByteArray>
#include <QVector>

// Builds a zip archive in memory with "stored" (uncompressed) entries and their
// CRC-32. Names are written byte for byte, so an archive can also carry names a
// careful unpacker must refuse ("../x", "/abs/x") or symbolic links.
class ZipWriter
{
public:
    void addFile(const QByteArray &name, const QByteArray &content);
    // A Unix symbolic link entry whose content is the link target.
    void addSymlink(const QByteArray &name, const QByteArray &target);

    int count() const { return m_entries.size(); }
    QByteArray archive() const;

    static quint32 crc32(const QByteArray &data);

private:
    struct Entry
    {
        QByteArray name;
        QByteArray content;
        quint32 unixMode = 0; // 0: plain DOS attributes
    };
    QVector<Entry> m_entries;
};
