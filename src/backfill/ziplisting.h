#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Reads a zip archive's central directory (and each entry's local header) without
// unpacking anything, so that an archive can be judged before an outside unpacker
// writes a single file. Handles plain and Zip64 archives, bytes before the
// first entry and after the end record; no decompression.
class ZipListing
{
public:
    struct Entry
    {
        QString name;         // as stored in the central directory
        QString localName;    // as stored in the entry's local header
        QString unicodeName;  // the directory's Info-ZIP Unicode Path name, if any
        quint16 method = 0;   // 0 stored, 8 deflate, ...
        quint64 compressedSize = 0;
        quint64 size = 0;
        quint32 crc32 = 0;
        quint64 localHeaderOffset = 0;
        bool isSymlink = false;
    };

    static ZipListing fromData(const QByteArray &data);
    static ZipListing fromFile(const QString &path);

    // False when the bytes are not a zip archive that can be read through: no
    // end record, a directory outside the file, bad signatures, a local header
    // that does not match. error() says why.
    bool isValid() const { return m_valid; }
    QString error() const { return m_error; }
    const QVector<Entry> &entries() const { return m_entries; }
    QStringList names() const;

    // An entry that would land outside the folder it is unpacked into: an
    // absolute or drive-qualified path, a ".." step (with either slash, also
    // as Windows reads ".. " or "..."), a colon,
    // a NUL byte, an empty name, or a symbolic link.
    static bool isUnsafeName(const QByteArray &rawName);

    // True when the archive is valid and every entry unpacks inside the
    // destination. unsafeReason() names the first offending entry otherwise.
    bool isSafeToExtract(QString *unsafeReason = nullptr) const;

private:
    void parse(const char *data, qint64 size);
    bool fail(const QString &why);

    bool m_valid = false;
    QString m_error;
    QVector<Entry> m_entries;
    QVector<QVector<QByteArray>> m_rawNames; // every name an unpacker may use, per entry
};
