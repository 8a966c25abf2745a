#include "symbolrenamer.h"

#include "live/tickline.h"

#include <algorithm>
#include <cstring>

namespace {

// Word characters as a regular expression's \b sees them (ASCII letters, digits,
// underscore); bytes of multi-byte UTF-8 characters count as non-word.
inline bool isWordByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

} // namespace

bool containsFailedAnyCase(const char *begin, const char *end)
{
    static const char lower[] = "failed";
    // Data lines rarely hold an 'f' at all: let memchr skip through them.
    for (const char first : {'f', 'F'}) {
        const char *p = begin;
        while (end - p >= 6) {
            p = static_cast<const char *>(std::memchr(p, first, size_t(end - p - 5)));
            if (!p)
                break;
            int i = 1;
            while (i < 6 && (p[i] | 0x20) == lower[i])
                ++i;
            if (i == 6)
                return true;
            ++p;
        }
    }
    return false;
}

SymbolRenamer::SymbolRenamer(const QHash<QString, QString> &oldToNew)
    : m_byFirstByte(256)
{
    for (auto it = oldToNew.cbegin(); it != oldToNew.cend(); ++it) {
        const Entry e{it.key().toUtf8(), it.value().toUtf8()};
        if (e.oldName.isEmpty())
            continue;
        m_exact.insert(e.oldName, e.newName);
        m_entries.append(e);
    }
    std::stable_sort(m_entries.begin(), m_entries.end(), [](const Entry &a, const Entry &b) {
        return a.oldName.size() > b.oldName.size();
    });
    m_startsName.fill(false);
    for (int i = 0; i < m_entries.size(); ++i) {
        const auto first = static_cast<unsigned char>(m_entries.at(i).oldName.at(0));
        m_byFirstByte[first].append(i);
        m_startsName[first] = true;
    }
}

void SymbolRenamer::appendMapped(const char *begin, const char *end, QByteArray &out) const
{
    const char *b = begin;
    const char *e = end;
    trimBlanks(&b, &e);
    if (b == e)
        return;
    if (containsFailedAnyCase(b, e)) {
        out.append(begin, int(end - begin));
        return;
    }
    if (m_entries.isEmpty()) {
        out.append(b, int(e - b));
        return;
    }

    // The second field, when the line has one, is where the symbol sits.
    const char *comma1 = static_cast<const char *>(std::memchr(b, ',', size_t(e - b)));
    if (comma1) {
        const char *fieldStart = comma1 + 1;
        const char *comma2 = static_cast<const char *>(std::memchr(fieldStart, ',', size_t(e - fieldStart)));
        const char *fieldEnd = comma2 ? comma2 : e;
        const char *s = fieldStart;
        const char *t = fieldEnd;
        trimBlanks(&s, &t);
        const auto hit = m_exact.constFind(QByteArray::fromRawData(s, int(t - s)));
        if (hit != m_exact.cend()) {
            out.append(b, int(fieldStart - b));
            out.append(hit.value());
            out.append(fieldEnd, int(e - fieldEnd));
            return;
        }
    }
    appendWordRenamed(b, e, out);
}

void SymbolRenamer::appendWordRenamed(const char *begin, const char *end, QByteArray &out) const
{
    const char *copied = begin;
    const char *p = begin;
    while (p < end) {
        if (!m_startsName[static_cast<unsigned char>(*p)]) {
            ++p;
            continue;
        }
        // \b before the name: the byte before must differ in kind from its first byte.
        const bool prevWord = p > begin && isWordByte(static_cast<unsigned char>(p[-1]));
        if (prevWord == isWordByte(static_cast<unsigned char>(*p))) {
            ++p;
            continue;
        }
        bool matched = false;
        for (int index : m_byFirstByte.at(static_cast<unsigned char>(*p))) {
            const Entry &entry = m_entries.at(index);
            const int len = entry.oldName.size();
            if (end - p < len || std::memcmp(p, entry.oldName.constData(), size_t(len)) != 0)
                continue;
            // \b after it.
            const bool lastWord = isWordByte(static_cast<unsigned char>(p[len - 1]));
            const bool nextWord = p + len < end && isWordByte(static_cast<unsigned char>(p[len]));
            if (lastWord == nextWord)
                continue;
            out.append(copied, int(p - copied));
            out.append(entry.newName);
            p += len;
            copied = p;
            matched = true;
            break;
        }
        if (!matched)
            ++p;
    }
    out.append(copied, int(end - copied));
}
