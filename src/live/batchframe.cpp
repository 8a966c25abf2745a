#include "batchframe.h"

#include "live/tickline.h"

#include <vector>

namespace {

// A forward reader over JSON text in UTF-16. Lenient where Qt's parser is (raw
// control characters inside strings, unknown escapes stand for themselves), so a
// frame Qt reads is read here too.
class JsonReader
{
public:
    explicit JsonReader(QStringView text)
        : m_p(text.utf16())
        , m_end(text.utf16() + text.size())
    {
    }

    const char16_t *position() const { return m_p; }
    bool atEnd() const { return m_p >= m_end; }
    char16_t peek() const { return m_p < m_end ? *m_p : 0; }

    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }
    void skipByteOrderMark()
    {
        if (m_p < m_end && *m_p == 0xFEFF)
            ++m_p;
    }

    bool take(char16_t c)
    {
        skipSpace();
        if (m_p < m_end && *m_p == c) {
            ++m_p;
            return true;
        }
        return false;
    }

    // A string at the reader (after blanks). Without escapes *out views the text
    // itself; with them it views *scratch, which holds the decoded characters.
    bool readString(QStringView *out, QString *scratch)
    {
        if (!take('"'))
            return false;
        const char16_t *start = m_p;
        while (m_p < m_end && *m_p != '"' && *m_p != '\\')
            ++m_p;
        if (m_p >= m_end)
            return false;
        if (*m_p == '"') {
            *out = QStringView(start, m_p - start);
            ++m_p;
            return true;
        }
        scratch->resize(0);
        scratch->append(reinterpret_cast<const QChar *>(start), int(m_p - start));
        while (m_p < m_end && *m_p != '"') {
            if (*m_p != '\\') {
                scratch->append(QChar(*m_p++));
                continue;
            }
            if (++m_p >= m_end)
                return false;
            const char16_t escaped = *m_p++;
            switch (escaped) {
            case 'b': scratch->append(QChar(0x08)); break;
            case 'f': scratch->append(QChar(0x0C)); break;
            case 'n': scratch->append(QChar(0x0A)); break;
            case 'r': scratch->append(QChar(0x0D)); break;
            case 't': scratch->append(QChar(0x09)); break;
            case 'u': {
                if (m_end - m_p < 4)
                    return false;
                char16_t unit = 0;
                for (int i = 0; i < 4; ++i) {
                    const char16_t h = *m_p++;
                    unit <<= 4;
                    if (h >= '0' && h <= '9')
                        unit |= h - '0';
                    else if (h >= 'a' && h <= 'f')
                        unit |= h - 'a' + 10;
                    else if (h >= 'A' && h <= 'F')
                        unit |= h - 'A' + 10;
                    else
                        return false;
                }
                scratch->append(QChar(unit));
                break;
            }
            default: // '"', '\\', '/' and anything else: the character itself
                scratch->append(QChar(escaped));
                break;
            }
        }
        if (m_p >= m_end)
            return false;
        ++m_p;
        *out = QStringView(*scratch);
        return true;
    }

    // A number at the reader, as written: [-] int [. digits] [e [+-] digits].
    bool readNumber(QStringView *out)
    {
        skipSpace();
        const char16_t *start = m_p;
        if (m_p < m_end && *m_p == '-')
            ++m_p;
        int digits = 0;
        if (m_p < m_end && *m_p == '0') {
            ++m_p;
            ++digits;
        } else {
            digits += skipDigits();
        }
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            digits += skipDigits();
        }
        if (digits == 0)
            return false;
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (skipDigits() == 0)
                return false;
        }
        *out = QStringView(start, m_p - start);
        return true;
    }

    // One of true, false, null at the reader; *isNull tells which kind it was.
    bool readLiteral(bool *isNull)
    {
        skipSpace();
        for (const char *word : {"true", "false", "null"}) {
            const char16_t *p = m_p;
            const char *w = word;
            while (*w && p < m_end && *p == char16_t(*w)) {
                ++p;
                ++w;
            }
            if (!*w) {
                m_p = p;
                *isNull = word[0] == 'n';
                return true;
            }
        }
        return false;
    }

    // Passes over one value of any kind, checking it, without recursion; depth is
    // the nesting of the place the value sits in.
    bool skipValue(int depth)
    {
        std::vector<char> open; // '{' or '[' of each container entered
        QString scratch;
        QStringView ignored;
        for (;;) {
            // A value is due here.
            skipSpace();
            const char16_t c = peek();
            if (c == '{' || c == '[') {
                ++m_p;
                if (depth + int(open.size()) + 1 > MaxFrameNesting)
                    return false;
                open.push_back(char(c));
                if (take(c == '{' ? '}' : ']')) {
                    open.pop_back();
                } else {
                    if (c == '{' && !memberName(&ignored, &scratch))
                        return false;
                    continue;
                }
            } else if (!skipScalar(&scratch)) {
                return false;
            }
            // After a value: separators and closings until the next value is due.
            for (;;) {
                if (open.empty())
                    return true;
                const bool inObject = open.back() == '{';
                if (take(',')) {
                    if (inObject && !memberName(&ignored, &scratch))
                        return false;
                    break;
                }
                if (!take(inObject ? '}' : ']'))
                    return false;
                open.pop_back();
            }
        }
    }

    // A member's name and its colon.
    bool memberName(QStringView *name, QString *scratch) { return readString(name, scratch) && take(':'); }

private:
    int skipDigits()
    {
        const char16_t *start = m_p;
        while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
            ++m_p;
        return int(m_p - start);
    }

    bool skipScalar(QString *scratch)
    {
        QStringView ignored;
        bool isNull = false;
        switch (peek()) {
        case '"':
            return readString(&ignored, scratch);
        case 't':
        case 'f':
        case 'n':
            return readLiteral(&isNull);
        default:
            return readNumber(&ignored);
        }
    }

    const char16_t *m_p;
    const char16_t *m_end;
};

// Reads one record object into *record, its escaped texts kept in scratch.
bool readRecord(JsonReader &reader, TickRecord *record, QString (&scratch)[TickRecord::FieldCount], QString *nameScratch)
{
    if (!reader.take('{'))
        return false;
    if (reader.take('}'))
        return true;
    do {
        QStringView name;
        if (!reader.memberName(&name, nameScratch))
            return false;
        int index = 0;
        TickField *field = record->field(name, &index);
        if (!field) {
            if (!reader.skipValue(2))
                return false;
            continue;
        }
        reader.skipSpace();
        bool isNull = false;
        switch (reader.peek()) {
        case '"':
            field->kind = TickField::Kind::Text;
            if (!reader.readString(&field->text, &scratch[index]))
                return false;
            break;
        case 't':
        case 'f':
        case 'n':
            if (!reader.readLiteral(&isNull))
                return false;
            field->kind = isNull ? TickField::Kind::Null : TickField::Kind::Other;
            field->text = QStringView();
            break;
        case '{':
        case '[':
            field->kind = TickField::Kind::Other;
            field->text = QStringView();
            if (!reader.skipValue(2))
                return false;
            break;
        default:
            field->kind = TickField::Kind::Number;
            if (!reader.readNumber(&field->text))
                return false;
            break;
        }
    } while (reader.take(','));
    return reader.take('}');
}

} // namespace

bool readStreamFrame(QStringView text, StreamFrame *frame)
{
    *frame = StreamFrame();
    JsonReader reader(text);
    reader.skipByteOrderMark();
    if (!reader.take('{'))
        return false;
    if (!reader.take('}')) {
        QString scratch;
        do {
            QStringView name;
            if (!reader.memberName(&name, &scratch))
                return false;
            const bool isType = name == QLatin1String("type");
            const bool isRecords = !isType && name == QLatin1String("records");
            reader.skipSpace();
            if (isType && reader.peek() == '"') {
                QStringView type;
                if (!reader.readString(&type, &scratch))
                    return false;
                frame->type = type.toString();
                continue;
            }
            const char16_t *start = reader.position();
            if (!reader.skipValue(1))
                return false;
            if (isType)
                frame->type.clear();
            else if (isRecords)
                frame->records = QStringView(start, reader.position() - start);
        } while (reader.take(','));
        if (!reader.take('}'))
            return false;
    }
    reader.skipSpace();
    return reader.atEnd();
}

QByteArray tickLinesFromRecordsText(QStringView records, int *recordCount, int *kept)
{
    QByteArray out;
    int count = 0;
    int lines = 0;
    JsonReader reader(records);
    if (reader.take('[') && !reader.take(']')) {
        QString scratch[TickRecord::FieldCount];
        QString nameScratch;
        do {
            ++count;
            reader.skipSpace();
            if (reader.peek() != '{') {
                if (!reader.skipValue(1))
                    break;
                continue;
            }
            TickRecord record;
            if (!readRecord(reader, &record, scratch, &nameScratch))
                break;
            if (appendTickLine(record, out))
                ++lines;
        } while (reader.take(','));
    }
    if (recordCount)
        *recordCount = count;
    if (kept)
        *kept = lines;
    return out;
}
