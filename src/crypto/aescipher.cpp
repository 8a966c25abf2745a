#include "aescipher.h"

#include <QtEndian>

#include <algorithm>

namespace {

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
quint8 gmul(quint8 a, quint8 b)
{
    quint8 product = 0;
    while (b) {
        if (b & 1)
            product ^= a;
        a = quint8((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return product;
}

quint8 rotl8(quint8 x, int n)
{
    return quint8((x << n) | (x >> (8 - n)));
}

quint32 rotr32(quint32 x, int n)
{
    return (x >> n) | (x << (32 - n));
}

quint32 word(quint8 b0, quint8 b1, quint8 b2, quint8 b3)
{
    return (quint32(b0) << 24) | (quint32(b1) << 16) | (quint32(b2) << 8) | quint32(b3);
}

// The S-boxes and the round tables that fold SubBytes, ShiftRows and
// MixColumns into four lookups per column; built once from the field arithmetic.
struct Tables
{
    quint8 sbox[256];
    quint8 invSbox[256];
    quint32 te[4][256];
    quint32 td[4][256];

    Tables()
    {
        // Powers and logarithms of the generator 3 give the multiplicative inverses.
        quint8 power[255];
        quint8 log[256] = {};
        quint8 x = 1;
        for (int i = 0; i < 255; ++i) {
            power[i] = x;
            log[x] = quint8(i);
            x = gmul(x, 3);
        }
        for (int i = 0; i < 256; ++i) {
            const quint8 inverse = i == 0 ? 0 : power[(255 - log[i]) % 255];
            const quint8 s = inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^ rotl8(inverse, 3)
                             ^ rotl8(inverse, 4) ^ 0x63;
            sbox[i] = s;
            invSbox[s] = quint8(i);
        }
        for (int i = 0; i < 256; ++i) {
            const quint8 s = sbox[i];
            const quint8 v = invSbox[i];
            te[0][i] = word(gmul(s, 2), s, s, gmul(s, 3));
            td[0][i] = word(gmul(v, 14), gmul(v, 9), gmul(v, 13), gmul(v, 11));
            for (int t = 1; t < 4; ++t) {
                te[t][i] = rotr32(te[0][i], 8 * t);
                td[t][i] = rotr32(td[0][i], 8 * t);
            }
        }
    }
};

const Tables &tables()
{
    static const Tables t;
    return t;
}

constexpr int MaxRounds = 14;

struct Schedule
{
    quint32 enc[4 * (MaxRounds + 1)];
    quint32 dec[4 * (MaxRounds + 1)];
    int rounds;
};

quint32 subWord(const Tables &t, quint32 w)
{
    return word(t.sbox[w >> 24], t.sbox[(w >> 16) & 0xff], t.sbox[(w >> 8) & 0xff], t.sbox[w & 0xff]);
}

// Key expansion, then the decryption schedule of the equivalent inverse cipher
// (round keys reversed, InvMixColumns applied to the inner ones).
void expandKey(const uchar *key, int keyWords, int rounds, Schedule &schedule, bool withDecryption)
{
    const Tables &t = tables();
    const int total = 4 * (rounds + 1);
    quint32 *w = schedule.enc;
    schedule.rounds = rounds;
    for (int i = 0; i < keyWords; ++i)
        w[i] = qFromBigEndian<quint32>(key + 4 * i);
    quint8 rcon = 1;
    for (int i = keyWords; i < total; ++i) {
        quint32 temp = w[i - 1];
        if (i % keyWords == 0) {
            temp = subWord(t, (temp << 8) | (temp >> 24)) ^ (quint32(rcon) << 24);
            rcon = gmul(rcon, 2);
        } else if (keyWords > 6 && i % keyWords == 4) {
            temp = subWord(t, temp);
        }
        w[i] = w[i - keyWords] ^ temp;
    }
    if (!withDecryption)
        return;
    quint32 *d = schedule.dec;
    for (int round = 0; round <= rounds; ++round) {
        for (int c = 0; c < 4; ++c) {
            const quint32 k = w[4 * (rounds - round) + c];
            if (round == 0 || round == rounds) {
                d[4 * round + c] = k;
            } else {
                // td[] already contains InvSubBytes, so feed it SubBytes of the key byte.
                d[4 * round + c] = t.td[0][t.sbox[k >> 24]] ^ t.td[1][t.sbox[(k >> 16) & 0xff]]
                                   ^ t.td[2][t.sbox[(k >> 8) & 0xff]] ^ t.td[3][t.sbox[k & 0xff]];
            }
        }
    }
}

void encryptBlock(const Tables &t, const Schedule &schedule, quint32 s[4])
{
    const quint32 *rk = schedule.enc;
    quint32 s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
    for (int round = 1; round < schedule.rounds; ++round) {
        rk += 4;
        const quint32 t0 = t.te[0][s0 >> 24] ^ t.te[1][(s1 >> 16) & 0xff] ^ t.te[2][(s2 >> 8) & 0xff] ^ t.te[3][s3 & 0xff] ^ rk[0];
        const quint32 t1 = t.te[0][s1 >> 24] ^ t.te[1][(s2 >> 16) & 0xff] ^ t.te[2][(s3 >> 8) & 0xff] ^ t.te[3][s0 & 0xff] ^ rk[1];
        const quint32 t2 = t.te[0][s2 >> 24] ^ t.te[1][(s3 >> 16) & 0xff] ^ t.te[2][(s0 >> 8) & 0xff] ^ t.te[3][s1 & 0xff] ^ rk[2];
        const quint32 t3 = t.te[0][s3 >> 24] ^ t.te[1][(s0 >> 16) & 0xff] ^ t.te[2][(s1 >> 8) & 0xff] ^ t.te[3][s2 & 0xff] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk += 4;
    const quint8 *sb = t.sbox;
    s[0] = word(sb[s0 >> 24], sb[(s1 >> 16) & 0xff], sb[(s2 >> 8) & 0xff], sb[s3 & 0xff]) ^ rk[0];
    s[1] = word(sb[s1 >> 24], sb[(s2 >> 16) & 0xff], sb[(s3 >> 8) & 0xff], sb[s0 & 0xff]) ^ rk[1];
    s[2] = word(sb[s2 >> 24], sb[(s3 >> 16) & 0xff], sb[(s0 >> 8) & 0xff], sb[s1 & 0xff]) ^ rk[2];
    s[3] = word(sb[s3 >> 24], sb[(s0 >> 16) & 0xff], sb[(s1 >> 8) & 0xff], sb[s2 & 0xff]) ^ rk[3];
}

void decryptBlock(const Tables &t, const Schedule &schedule, quint32 s[4])
{
    const quint32 *rk = schedule.dec;
    quint32 s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
    for (int round = 1; round < schedule.rounds; ++round) {
        rk += 4;
        const quint32 t0 = t.td[0][s0 >> 24] ^ t.td[1][(s3 >> 16) & 0xff] ^ t.td[2][(s2 >> 8) & 0xff] ^ t.td[3][s1 & 0xff] ^ rk[0];
        const quint32 t1 = t.td[0][s1 >> 24] ^ t.td[1][(s0 >> 16) & 0xff] ^ t.td[2][(s3 >> 8) & 0xff] ^ t.td[3][s2 & 0xff] ^ rk[1];
        const quint32 t2 = t.td[0][s2 >> 24] ^ t.td[1][(s1 >> 16) & 0xff] ^ t.td[2][(s0 >> 8) & 0xff] ^ t.td[3][s3 & 0xff] ^ rk[2];
        const quint32 t3 = t.td[0][s3 >> 24] ^ t.td[1][(s2 >> 16) & 0xff] ^ t.td[2][(s1 >> 8) & 0xff] ^ t.td[3][s0 & 0xff] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk += 4;
    const quint8 *ib = t.invSbox;
    s[0] = word(ib[s0 >> 24], ib[(s3 >> 16) & 0xff], ib[(s2 >> 8) & 0xff], ib[s1 & 0xff]) ^ rk[0];
    s[1] = word(ib[s1 >> 24], ib[(s0 >> 16) & 0xff], ib[(s3 >> 8) & 0xff], ib[s2 & 0xff]) ^ rk[1];
    s[2] = word(ib[s2 >> 24], ib[(s1 >> 16) & 0xff], ib[(s0 >> 8) & 0xff], ib[s3 & 0xff]) ^ rk[2];
    s[3] = word(ib[s3 >> 24], ib[(s2 >> 16) & 0xff], ib[(s1 >> 8) & 0xff], ib[s0 & 0xff]) ^ rk[3];
}

void load(const char *p, quint32 s[4])
{
    for (int i = 0; i < 4; ++i)
        s[i] = qFromBigEndian<quint32>(p + 4 * i);
}

void store(const quint32 s[4], char *p)
{
    for (int i = 0; i < 4; ++i)
        qToBigEndian<quint32>(s[i], p + 4 * i);
}

} // namespace

AesCipher::AesCipher(int keySize, int mode, int padding, QObject *parent)
    : QObject(parent), m_mode(mode), m_padding(padding)
{
    switch (keySize) {
    case AES_192:
        m_keyLength = 24;
        m_rounds = 12;
        break;
    case AES_256:
        m_keyLength = 32;
        m_rounds = 14;
        break;
    default:
        m_keyLength = 16;
        m_rounds = 10;
        break;
    }
}

QByteArray AesCipher::encrypt(const QByteArray &plain, const QByteArray &key, const QByteArray &iv) const
{
    if (key.size() != m_keyLength || m_mode < ECB || m_mode > OFB || m_padding < ZERO || m_padding > ISO)
        return QByteArray();
    if (m_mode != ECB && iv.size() != BlockSize)
        return QByteArray();

    const int p = (BlockSize - plain.size() % BlockSize) % BlockSize;
    QByteArray text = plain;
    if (m_padding == ZERO) {
        text.append(p, '\0');
    } else if (m_padding == PKCS7) {
        const int n = p == 0 ? BlockSize : p;
        text.append(n, char(n));
    } else if (p > 0) {
        text.append(char(0x80));
        text.append(p - 1, '\0');
    }

    const Tables &t = tables();
    Schedule schedule;
    expandKey(reinterpret_cast<const uchar *>(key.constData()), m_keyLength / 4, m_rounds, schedule, false);

    quint32 chain[4] = {};
    if (m_mode != ECB)
        load(iv.constData(), chain);
    char *data = text.data();
    for (int offset = 0; offset < text.size(); offset += BlockSize) {
        quint32 block[4];
        load(data + offset, block);
        switch (m_mode) {
        case ECB:
            encryptBlock(t, schedule, block);
            break;
        case CBC:
            for (int i = 0; i < 4; ++i)
                block[i] ^= chain[i];
            encryptBlock(t, schedule, block);
            std::copy(block, block + 4, chain);
            break;
        case CFB:
            encryptBlock(t, schedule, chain);
            for (int i = 0; i < 4; ++i)
                chain[i] = block[i] ^= chain[i];
            break;
        case OFB:
            encryptBlock(t, schedule, chain);
            for (int i = 0; i < 4; ++i)
                block[i] ^= chain[i];
            break;
        }
        store(block, data + offset);
    }
    return text;
}

QByteArray AesCipher::decrypt(const QByteArray &cipher, const QByteArray &key, const QByteArray &iv) const
{
    if (key.size() != m_keyLength || m_mode < ECB || m_mode > OFB)
        return QByteArray();
    if (m_mode != ECB && iv.size() != BlockSize)
        return QByteArray();
    if (cipher.size() % BlockSize != 0)
        return QByteArray();
    if (cipher.isEmpty())
        return QByteArray("");

    const Tables &t = tables();
    Schedule schedule;
    const bool inverse = m_mode == ECB || m_mode == CBC; // CFB and OFB only run the cipher forwards
    expandKey(reinterpret_cast<const uchar *>(key.constData()), m_keyLength / 4, m_rounds, schedule, inverse);

    QByteArray text(cipher.size(), Qt::Uninitialized);
    const char *in = cipher.constData();
    char *out = text.data();
    quint32 chain[4] = {};
    if (m_mode != ECB)
        load(iv.constData(), chain);
    for (int offset = 0; offset < cipher.size(); offset += BlockSize) {
        quint32 block[4];
        load(in + offset, block);
        switch (m_mode) {
        case ECB:
            decryptBlock(t, schedule, block);
            break;
        case CBC: {
            quint32 saved[4];
            std::copy(block, block + 4, saved);
            decryptBlock(t, schedule, block);
            for (int i = 0; i < 4; ++i)
                block[i] ^= chain[i];
            std::copy(saved, saved + 4, chain);
            break;
        }
        case CFB: {
            encryptBlock(t, schedule, chain);
            for (int i = 0; i < 4; ++i) {
                const quint32 c = block[i];
                block[i] ^= chain[i];
                chain[i] = c;
            }
            break;
        }
        case OFB:
            encryptBlock(t, schedule, chain);
            for (int i = 0; i < 4; ++i)
                block[i] ^= chain[i];
            break;
        }
        store(block, out + offset);
    }
    return text;
}

QByteArray AesCipher::stripPadding(const QByteArray &bytes) const
{
    int end = bytes.size();
    switch (m_padding) {
    case ZERO:
        while (end > 0 && bytes.at(end - 1) == '\0')
            --end;
        return bytes.left(end);
    case PKCS7: {
        // Only a well-formed padding is removed: a stray last byte must not
        // cut away up to 255 bytes of real data.
        if (bytes.isEmpty())
            return bytes;
        const int n = quint8(bytes.at(end - 1));
        if (n < 1 || n > BlockSize || n > end)
            return bytes;
        for (int i = end - n; i < end; ++i) {
            if (quint8(bytes.at(i)) != n)
                return bytes;
        }
        return bytes.left(end - n);
    }
    case ISO:
        while (end > 0 && bytes.at(end - 1) == '\0')
            --end;
        if (end > 0 && quint8(bytes.at(end - 1)) == 0x80)
            return bytes.left(end - 1);
        return bytes;
    default:
        return bytes;
    }
}
