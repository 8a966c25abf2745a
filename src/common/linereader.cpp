#include "common/linereader.h"

#include <QIODevice>

#include <cstring>

LineReader::LineReader(QIODevice &device)
    : m_device(device)
{
}

bool LineReader::next(const char **begin, const char **end)
{
    for (;;) {
        const char *data = m_buffer.constData();
        const char *nl = m_pos < m_len ? static_cast<const char *>(std::memchr(data + m_pos, '\n', size_t(m_len - m_pos)))
                                       : nullptr;
        if (nl) {
            *begin = data + m_pos;
            *end = nl;
            m_lineStart = m_bufferOffset + m_pos;
            m_pos = int(nl - data) + 1;
            return true;
        }
        if (m_eof || m_failed) {
            if (m_failed || m_pos >= m_len)
                return false;
            *begin = data + m_pos;
            *end = data + m_len;
            m_lineStart = m_bufferOffset + m_pos;
            m_pos = m_len;
            return true;
        }
        // Keep the unfinished line, read the next block behind it.
        if (m_pos > 0) {
            std::memmove(m_buffer.data(), m_buffer.constData() + m_pos, size_t(m_len - m_pos));
            m_bufferOffset += m_pos;
            m_len -= m_pos;
            m_pos = 0;
        }
        if (m_buffer.size() < m_len + BlockBytes)
            m_buffer.resize(m_len + BlockBytes);
        const qint64 got = m_device.read(m_buffer.data() + m_len, BlockBytes);
        if (got < 0)
            m_failed = true;
        else if (got == 0)
            m_eof = true;
        else
            m_len += int(got);
    }
}

bool LineReader::seek(qint64 offset)
{
    m_pos = 0;
    m_len = 0;
    m_bufferOffset = offset;
    m_eof = false;
    m_failed = !m_device.seek(offset);
    return !m_failed;
}
