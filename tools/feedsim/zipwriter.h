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
    // An entry of size zero bytes (at most a few hundred megabytes), deflated to a
    // few kilobytes: what a zip bomb is made of. Its headers declare declaredSize,
    // which an archive lying about its sizes sets lower than size.
    void addZeros(const QByteArray &name, qint64 size, qint64 declaredSize);

    int count() const { return m_entries.size(); }
    QByteArray archive() const;

    static quint32 crc32(const QByteArray &data);

private:
    struct Entry
    {
        QByteArray name;
        QByteArray content;      // as stored (deflated for a deflated entry)
        quint32 unixMode = 0;    // 0: plain DOS attributes
        bool deflated = false;
        quint32 crc = 0;         // of the unpacked content, for deflated entries
        quint32 declaredSize = 0;
    };
    QVector<Entry> m_entries;
};
