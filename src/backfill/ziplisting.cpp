#include "ziplisting.h"

#include <QFile>

#include <algorithm>

namespace {

constexpr quint32 LocalHeaderSig = 0x04034b50;
constexpr quint32 CentralHeaderSig = 0x02014b50;
constexpr quint32 EndRecordSig = 0x06054b50;
constexpr quint32 Zip64EndRecordSig = 0x06064b50;
constexpr quint32 Zip64LocatorSig = 0x07064b50;
constexpr qint64 EndRecordSize = 22;
constexpr qint64 MaxCommentSize = 0xFFFF;
constexpr qint64 CentralHeaderSize = 46;
constexpr qint64 LocalHeaderSize = 30;
constexpr qint64 Zip64LocatorSize = 20;
constexpr quint64 Zip64EndRecordSize = 56;
constexpr quint16 Zip64ExtraTag = 0x0001;
constexpr quint16 UnicodePathTag = 0x7075; // Info-ZIP: the entry's name in UTF-8
constexpr quint16 Utf8NameFlag = 0x0800;
constexpr quint8 UnixHost = 3;

quint16 le16(const char *p)
{
    const auto *u = reinterpret_cast<const uchar *>(p);
    return quint16(u[0] | (u[1] << 8));
}

quint32 le32(const char *p)
{
    const auto *u = reinterpret_cast<const uchar *>(p);
    return quint32(u[0]) | (quint32(u[1]) << 8) | (quint32(u[2]) << 16) | (quint32(u[3]) << 24);
}

quint64 le64(const char *p)
{
    return quint64(le32(p)) | (quint64(le32(p + 4)) << 32);
}

// Calls fn(tag, body, bodyLength) for each whole field of an extra block.
template<typename Fn>
void forEachExtraField(const char *extra, quint16 length, Fn &&fn)
{
    for (int at = 0; at + 4 <= length;) {
        const quint16 tag = le16(extra + at);
        const quint16 len = le16(extra + at + 2);
        if (at + 4 + len > length)
            return;
        fn(tag, extra + at + 4, len);
        at += 4 + len;
    }
}

// The name of an Info-ZIP Unicode Path field: a version byte, the CRC-32 of
// the header name, then the name in UTF-8. Readers that check the CRC ignore a
// stale field; judging it anyway costs nothing.
QByteArray unicodePathName(const char *body, quint16 length)
{
    if (length < 5)
        return QByteArray("");
    return QByteArray(body + 5, length - 5);
}

QString decodeName(const QByteArray &raw, quint16 flags)
{
    // Names without the UTF-8 flag are CP437 by the format; Latin-1 keeps every
    // byte visible, which is all a report needs.
    return (flags & Utf8NameFlag) ? QString::fromUtf8(raw) : QString::fromLatin1(raw);
}

} // namespace

ZipListing ZipListing::fromData(const QByteArray &data)
{
    ZipListing listing;
    listing.parse(data.constData(), data.size());
    return listing;
}

ZipListing ZipListing::fromFile(const QString &path)
{
    ZipListing listing;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        listing.fail(QStringLiteral("cannot open %1").arg(path));
        return listing;
    }
    const qint64 size = file.size();
    if (size == 0) {
        listing.fail(QStringLiteral("empty file"));
        return listing;
    }
    if (uchar *mapped = file.map(0, size)) {
        listing.parse(reinterpret_cast<const char *>(mapped), size);
        file.unmap(mapped);
        return listing;
    }
    const QByteArray data = file.readAll();
    listing.parse(data.constData(), data.size());
    return listing;
}

QStringList ZipListing::names() const
{
    QStringList list;
    list.reserve(m_entries.size());
    for (const Entry &e : m_entries)
        list << e.name;
    return list;
}

bool ZipListing::fail(const QString &why)
{
    m_valid = false;
    m_error = why;
    m_entries.clear();
    m_rawNames.clear();
    return false;
}

void ZipListing::parse(const char *data, qint64 size)
{
    m_valid = false;
    m_entries.clear();
    m_rawNames.clear();
    if (size < EndRecordSize) {
        fail(QStringLiteral("too short for a zip archive"));
        return;
    }
    // Bytes in front of the first entry (a program stub, the "PK\7\8" marker of a
    // single-segment archive) are allowed: offsets are absolute, so every entry
    // is still found where the directory says, and 7-Zip opens a file named .zip
    // as this zip whatever precedes it. Bytes after the end record are allowed
    // too (a server script that echoes a line after the archive): the record is
    // searched for backwards, as common readers do, within the largest comment.
    qint64 endPos = -1;
    const qint64 lowest = qMax<qint64>(0, size - EndRecordSize - MaxCommentSize);
    for (qint64 pos = size - EndRecordSize; pos >= lowest; --pos) {
        if (le32(data + pos) == EndRecordSig && pos + EndRecordSize + le16(data + pos + 20) <= size) {
            endPos = pos;
            break;
        }
    }
    if (endPos < 0) {
        fail(QStringLiteral("no end of central directory record"));
        return;
    }

    const char *end = data + endPos;
    quint64 count = le16(end + 10);
    quint64 dirSize = le32(end + 12);
    quint64 dirOffset = le32(end + 16);

    // A Zip64 archive keeps the true values in its own end record; the plain
    // one may then hold 0xFFFF or 0xFFFFFFFF in any field, disk numbers included.
    const qint64 locPos = endPos - Zip64LocatorSize;
    if (locPos >= 0 && le32(data + locPos) == Zip64LocatorSig) {
        const quint64 recPos = le64(data + locPos + 8);
        if (recPos > quint64(locPos) || quint64(locPos) - recPos < Zip64EndRecordSize
            || le32(data + recPos) != Zip64EndRecordSig) {
            fail(QStringLiteral("Zip64 end record missing"));
            return;
        }
        const char *rec = data + recPos;
        if (le32(data + locPos + 4) != 0 || le32(data + locPos + 16) > 1 || le32(rec + 16) != 0
            || le32(rec + 20) != 0) {
            fail(QStringLiteral("multi-volume archives are not supported"));
            return;
        }
        count = le64(rec + 32);
        dirSize = le64(rec + 40);
        dirOffset = le64(rec + 48);
    } else if (le16(end + 4) != 0 || le16(end + 6) != 0) {
        fail(QStringLiteral("multi-volume archives are not supported"));
        return;
    } else if (dirSize == 0xFFFFFFFFu || dirOffset == 0xFFFFFFFFu) {
        fail(QStringLiteral("Zip64 locator missing"));
        return;
    }

    if (dirOffset > quint64(endPos) || dirSize > quint64(endPos) - dirOffset) {
        fail(QStringLiteral("central directory lies outside the file"));
        return;
    }
    // Every entry needs at least a fixed header, so the count cannot exceed this.
    if (count > dirSize / CentralHeaderSize) {
        fail(QStringLiteral("entry count does not fit the central directory"));
        return;
    }

    const quint64 dirEnd = dirOffset + dirSize;
    quint64 pos = dirOffset;
    m_entries.reserve(int(count));
    for (quint64 i = 0; i < count; ++i) {
        if (dirEnd - pos < quint64(CentralHeaderSize) || le32(data + pos) != CentralHeaderSig) {
            fail(QStringLiteral("bad central directory entry %1").arg(i));
            return;
        }
        const char *h = data + pos;
        const quint16 madeBy = le16(h + 4);
        const quint16 flags = le16(h + 8);
        const quint16 nameLen = le16(h + 28);
        const quint16 extraLen = le16(h + 30);
        const quint16 commentLen = le16(h + 32);
        const quint64 recordLen = quint64(CentralHeaderSize) + nameLen + extraLen + commentLen;
        if (dirEnd - pos < recordLen) {
            fail(QStringLiteral("central directory entry %1 runs past the directory").arg(i));
            return;
        }

        Entry entry;
        entry.method = le16(h + 10);
        entry.crc32 = le32(h + 16);
        entry.compressedSize = le32(h + 20);
        entry.size = le32(h + 24);
        entry.localHeaderOffset = le32(h + 42);
        const quint32 externalAttr = le32(h + 38);
        if ((madeBy >> 8) == UnixHost && ((externalAttr >> 16) & 0170000) == 0120000)
            entry.isSymlink = true;

        // Zip64 extra field: the 0xFFFFFFFF fields follow in a fixed order.
        const char *extra = h + CentralHeaderSize + nameLen;
        QByteArray unicodeName;
        forEachExtraField(extra, extraLen, [&](quint16 tag, const char *f, quint16 left) {
            if (tag == Zip64ExtraTag) {
                auto take = [&](quint64 &field) {
                    if (field == 0xFFFFFFFFu && left >= 8) {
                        field = le64(f);
                        f += 8;
                        left -= 8;
                    }
                };
                take(entry.size);
                take(entry.compressedSize);
                take(entry.localHeaderOffset);
            } else if (tag == UnicodePathTag) {
                unicodeName = unicodePathName(f, left);
            }
        });

        const QByteArray rawName(h + CentralHeaderSize, nameLen);
        entry.name = decodeName(rawName, flags);

        // The local header is what a streaming unpacker reads; its name must
        // be judged as well, not only the directory's.
        const quint64 lh = entry.localHeaderOffset;
        if (lh > dirOffset || dirOffset - lh < quint64(LocalHeaderSize) || le32(data + lh) != LocalHeaderSig) {
            fail(QStringLiteral("entry %1 has no local header").arg(entry.name));
            return;
        }
        const quint16 localNameLen = le16(data + lh + 26);
        const quint16 localExtraLen = le16(data + lh + 28);
        const quint64 dataStart = lh + LocalHeaderSize + localNameLen + localExtraLen;
        if (dataStart > dirOffset || dirOffset - dataStart < entry.compressedSize) {
            fail(QStringLiteral("entry %1 runs past the central directory").arg(entry.name));
            return;
        }
        const QByteArray rawLocal(data + lh + LocalHeaderSize, localNameLen);
        entry.localName = decodeName(rawLocal, le16(data + lh + 6));

        // 7-Zip and unzip name the file after the Unicode Path field when there
        // is one, in either header: judge those names too.
        QVector<QByteArray> raw{rawName, rawLocal};
        if (!unicodeName.isNull())
            raw << unicodeName;
        forEachExtraField(data + lh + LocalHeaderSize + localNameLen, localExtraLen,
                          [&](quint16 tag, const char *f, quint16 left) {
                              if (tag == UnicodePathTag)
                                  raw << unicodePathName(f, left);
                          });
        entry.unicodeName = QString::fromUtf8(unicodeName);

        m_rawNames << raw;
        m_entries << entry;
        pos += recordLen;
    }
    m_valid = true;
    m_error.clear();
}

bool ZipListing::isUnsafeName(const QByteArray &rawName)
{
    if (rawName.isEmpty() || rawName.contains('\0') || rawName.contains(':'))
        return true;
    if (rawName.startsWith('/') || rawName.startsWith('\\'))
        return true;
    QByteArray normalized = rawName;
    normalized.replace('\\', '/');
    const QList<QByteArray> parts = normalized.split('/');
    for (const QByteArray &part : parts) {
        // Windows drops trailing dots and blanks from a path step, so ".. " and
        // "..." climb as ".." does; no data file is named only of those.
        if (part.contains("..") && std::all_of(part.cbegin(), part.cend(), [](char c) { return c == '.' || c == ' '; }))
            return true;
    }
    return false;
}

bool ZipListing::isSafeToExtract(QString *unsafeReason) const
{
    auto reason = [unsafeReason](const QString &why) {
        if (unsafeReason)
            *unsafeReason = why;
        return false;
    };
    if (!m_valid)
        return reason(m_error.isEmpty() ? QStringLiteral("not a zip archive") : m_error);
    for (int i = 0; i < m_entries.size(); ++i) {
        const Entry &e = m_entries.at(i);
        if (e.isSymlink)
            return reason(QStringLiteral("symbolic link entry \"%1\"").arg(e.name));
        for (const QByteArray &raw : m_rawNames.at(i)) {
            if (isUnsafeName(raw))
                return reason(QStringLiteral("entry \"%1\" would land outside the destination")
                                  .arg(QString::fromUtf8(raw)));
        }
    }
    return true;
}
