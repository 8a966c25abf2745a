#include "programfile.h"

#include <QFile>

#include <limits>

namespace {

// Little- or big-endian reads that never run past the end: a cut file reads as 0s
// only where the callers have already checked the bounds.
class Bytes
{
public:
    Bytes(const QByteArray &data, bool bigEndian = false)
        : m_data(data)
        , m_big(bigEndian)
    {
    }
    quint64 size() const { return quint64(m_data.size()); }
    bool holds(quint64 offset, quint64 length) const { return offset <= size() && length <= size() - offset; }
    quint64 read(quint64 offset, int width) const
    {
        if (!holds(offset, quint64(width)))
            return 0;
        quint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const quint64 byte = quint8(m_data.at(int(offset) + (m_big ? i : width - 1 - i)));
            value = (value << 8) | byte;
        }
        return value;
    }
    quint64 u16(quint64 offset) const { return read(offset, 2); }
    quint64 u32(quint64 offset) const { return read(offset, 4); }
    quint64 u64(quint64 offset) const { return read(offset, 8); }

private:
    const QByteArray &m_data;
    bool m_big;
};

constexpr quint64 PeMachineAmd64 = 0x8664;
constexpr quint64 PeOptionalMagic64 = 0x20b;
constexpr quint64 PeExecutableImage = 0x0002;
constexpr quint64 PeDll = 0x2000;
constexpr quint64 PeSectionHeaderSize = 40;
constexpr quint64 PeMinOptionalHeader = 112; // PE32+ up to NumberOfRvaAndSizes
constexpr quint64 PeSymbolSize = 18;
constexpr quint64 PeSecurityDirectory = 4; // its address is a file offset, not a memory one

constexpr quint64 ElfExecutable = 2;
constexpr quint64 ElfShared = 3; // position-independent programs are this type
constexpr quint64 ElfLoad = 1;

} // namespace

namespace Platform {

QString peX64Defect(const QByteArray &image)
{
    const Bytes in(image);
    if (image.isEmpty())
        return QStringLiteral("empty");
    if (!image.startsWith("MZ") || !in.holds(0x3c, 4))
        return QStringLiteral("not a Windows program");
    const quint64 pe = in.u32(0x3c);
    const quint64 optional = pe + 24;
    if (!in.holds(pe, 24) || image.mid(int(pe), 4) != QByteArray("PE\0\0", 4))
        return QStringLiteral("not a Windows program");
    if (in.u16(pe + 4) != PeMachineAmd64)
        return QStringLiteral("not a Windows program for x86-64");
    const quint64 characteristics = in.u16(pe + 22);
    if (!(characteristics & PeExecutableImage) || (characteristics & PeDll))
        return QStringLiteral("not a Windows program (a library or an object)");
    const quint64 optionalSize = in.u16(pe + 20);
    if (optionalSize < PeMinOptionalHeader || !in.holds(optional, optionalSize) || in.u16(optional) != PeOptionalMagic64)
        return QStringLiteral("not a Windows program for x86-64");
    if (in.u32(optional + 60) > in.size())
        return QStringLiteral("cut short");
    const quint64 sections = in.u16(pe + 6);
    const quint64 table = optional + optionalSize;
    if (sections == 0)
        return QStringLiteral("a Windows program without code");
    if (!in.holds(table, sections * PeSectionHeaderSize))
        return QStringLiteral("cut short");
    for (quint64 i = 0; i < sections; ++i) {
        const quint64 header = table + i * PeSectionHeaderSize;
        const quint64 rawSize = in.u32(header + 16);
        const quint64 rawOffset = in.u32(header + 20);
        if (rawSize > 0 && !in.holds(rawOffset, rawSize))
            return QStringLiteral("cut short");
    }
    // What may follow the sections: the symbols and their names (in programs that are
    // not stripped) and the code signature; a file cut there loses them.
    const quint64 symbols = in.u32(pe + 12);
    if (symbols > 0) {
        const quint64 names = symbols + in.u32(pe + 16) * PeSymbolSize;
        if (!in.holds(names, 4) || !in.holds(names, in.u32(names)))
            return QStringLiteral("cut short");
    }
    if (in.u32(optional + 108) > PeSecurityDirectory && optionalSize >= 112 + 8 * (PeSecurityDirectory + 1)) {
        const quint64 entry = optional + 112 + 8 * PeSecurityDirectory;
        if (in.u32(entry + 4) > 0 && !in.holds(in.u32(entry), in.u32(entry + 4)))
            return QStringLiteral("cut short");
    }
    return QString();
}

QString elfDefect(const QByteArray &image)
{
    if (image.isEmpty())
        return QStringLiteral("empty");
    if (!image.startsWith("\x7f" "ELF") || image.size() < 16)
        return QStringLiteral("not an ELF program");
    const char elfClass = image.at(4);
    const char encoding = image.at(5);
    if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2))
        return QStringLiteral("not an ELF program");
    const bool wide = elfClass == 2;
    const Bytes in(image, encoding == 2);
    if (!in.holds(0, wide ? 64 : 52))
        return QStringLiteral("cut short");
    const quint64 type = in.u16(16);
    if (type != ElfExecutable && type != ElfShared)
        return QStringLiteral("not an ELF program (an object or a core file)");
    const quint64 phoff = wide ? in.u64(32) : in.u32(28);
    const quint64 shoff = wide ? in.u64(40) : in.u32(32);
    const quint64 phentsize = in.u16(wide ? 54 : 42);
    const quint64 phnum = in.u16(wide ? 56 : 44);
    const quint64 shentsize = in.u16(wide ? 58 : 46);
    const quint64 shnum = in.u16(wide ? 60 : 48);
    if (phnum == 0 || phentsize < (wide ? 56u : 32u))
        return QStringLiteral("an ELF file without anything to load");
    if (!in.holds(phoff, phnum * phentsize))
        return QStringLiteral("cut short");
    for (quint64 i = 0; i < phnum; ++i) {
        const quint64 header = phoff + i * phentsize;
        if (in.u32(header) != ElfLoad)
            continue;
        const quint64 offset = wide ? in.u64(header + 8) : in.u32(header + 4);
        const quint64 fileSize = wide ? in.u64(header + 32) : in.u32(header + 16);
        if (!in.holds(offset, fileSize))
            return QStringLiteral("cut short");
    }
    // The section table sits at the end of the file: a file cut anywhere loses it.
    if (shnum > 0 && shoff > 0 && !in.holds(shoff, shnum * shentsize))
        return QStringLiteral("cut short");
    return QString();
}

QString programFileDefect(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unreadable");
    if (file.size() == 0)
        return QStringLiteral("empty");
    if (file.size() > std::numeric_limits<int>::max())
        return QStringLiteral("larger than any program of ours");
    // Mapped, not read: a program file can be large, and only its headers are looked at.
    uchar *mapped = file.map(0, file.size());
    if (!mapped)
        return QStringLiteral("unreadable");
    const QString defect =
        programContentDefect(QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), int(file.size())));
    file.unmap(mapped);
    return defect;
}

QString scriptDefect(const QByteArray &content)
{
    if (content.isEmpty())
        return QStringLiteral("empty");
    if (!content.startsWith("#!"))
        return QStringLiteral("neither an ELF program nor a script");
    const QByteArray interpreter = content.mid(2, content.indexOf('\n') - 2).trimmed();
    if (interpreter.isEmpty())
        return QStringLiteral("a script without an interpreter");
    return QString();
}

} // namespace Platform
