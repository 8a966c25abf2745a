#include "zipwriter.h"

#include <QtEndian>

#include <array>

namespace {

const std::array<quint32, 256> &crcTable()
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

// A fixed time stamp (2024-01-01 00:00) keeps generated archives reproducible.
constexpr quint16 DosTime = 0;
constexpr quint16 DosDate = ((2024 - 1980) << 9) | (1 << 5) | 1;

} // namespace

void ZipWriter::addFile(const QByteArray &name, const QByteArray &content)
{
    m_entries.append(Entry{name, content, 0});
}

void ZipWriter::addSymlink(const QByteArray &name, const QByteArray &target)
{
    m_entries.append(Entry{name, target, 0120777});
}

void ZipWriter::addZeros(const QByteArray &name, qint64 size, qint64 declaredSize)
{
    // Made once per size: a bomb is many entries of the same zeros. qCompress gives
    // a 4-byte length, then a zlib stream (2-byte header, the raw deflate data a
    // zip holds, a 4-byte Adler-32).
    static qint64 madeSize = -1;
    static QByteArray deflated;
    static quint32 crc = 0;
    if (madeSize != size) {
        const QByteArray zeros(int(size), '\0');
        const QByteArray zlib = qCompress(zeros, 9);
        deflated = zlib.mid(6, zlib.size() - 10);
        crc = crc32(zeros);
        madeSize = size;
    }
    Entry entry;
    entry.name = name;
    entry.content = deflated;
    entry.deflated = true;
    entry.crc = crc;
    entry.declaredSize = quint32(declaredSize);
    m_entries.append(entry);
}

quint32 ZipWriter::crc32(const QByteArray &data)
{
    const auto &table = crcTable();
    quint32 c = 0xFFFFFFFFu;
    for (const char ch : data)
        c = table[(c ^ quint8(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

QByteArray ZipWriter::archive() const
{
    QByteArray out;
    QByteArray directory;
    for (const Entry &e : m_entries) {
        const quint32 offset = quint32(out.size());
        const quint32 crc = e.deflated ? e.crc : crc32(e.content);
        const quint32 stored = quint32(e.content.size());
        const quint32 size = e.deflated ? e.declaredSize : stored;
        const quint16 method = e.deflated ? 8 : 0;
        const quint16 version = e.deflated ? 20 : 10;

        put32(out, 0x04034b50);
        put16(out, version); // version needed
        put16(out, 0x0800);  // names are UTF-8
        put16(out, method);
        put16(out, DosTime);
        put16(out, DosDate);
        put32(out, crc);
        put32(out, stored);
        put32(out, size);
        put16(out, quint16(e.name.size()));
        put16(out, 0);
        out.append(e.name);
        out.append(e.content);

        const bool isUnix = e.unixMode != 0;
        put32(directory, 0x02014b50);
        put16(directory, isUnix ? quint16((3 << 8) | 30) : 20); // made by
        put16(directory, version);
        put16(directory, 0x0800);
        put16(directory, method);
        put16(directory, DosTime);
        put16(directory, DosDate);
        put32(directory, crc);
        put32(directory, stored);
        put32(directory, size);
        put16(directory, quint16(e.name.size()));
        put16(directory, 0); // extra
        put16(directory, 0); // comment
        put16(directory, 0); // disk
        put16(directory, 0); // internal attributes
        put32(directory, isUnix ? (e.unixMode << 16) : 0);
        put32(directory, offset);
        directory.append(e.name);
    }
    const quint32 dirOffset = quint32(out.size());
    out.append(directory);
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, quint16(m_entries.size()));
    put16(out, quint16(m_entries.size()));
    put32(out, quint32(directory.size()));
    put32(out, dirOffset);
    put16(out, 0);
    return out;
}
