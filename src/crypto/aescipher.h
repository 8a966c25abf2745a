#pragma once

#include <QByteArray>
#include <QObject>

// AES (FIPS-197) with the ECB, CBC, CFB-128 and OFB modes and three paddings.
// The program itself only ever uses AES-256, CBC, ISO/IEC 7816-4 padding.
// Every unusable input (wrong key length, missing IV, ragged ciphertext) gives
// an empty result; there are no error codes.
class AesCipher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AesCipher)
public:
    enum KeySize { AES_128 = 0, AES_192 = 1, AES_256 = 2 };
    enum Mode { ECB = 0, CBC = 1, CFB = 2, OFB = 3 };
    enum Padding { ZERO = 0, PKCS7 = 1, ISO = 2 };

    static constexpr int BlockSize = 16;

    // An unknown key size code behaves as AES-128; an unknown mode makes
    // encrypt/decrypt return empty, an unknown padding makes encrypt return empty.
    explicit AesCipher(int keySize = AES_256, int mode = CBC, int padding = ISO, QObject *parent = nullptr);

    // Pads, then enciphers. The IV is ignored in ECB mode.
    QByteArray encrypt(const QByteArray &plain, const QByteArray &key, const QByteArray &iv = QByteArray()) const;
    // Deciphers; the padding is left in place (see stripPadding).
    QByteArray decrypt(const QByteArray &cipher, const QByteArray &key, const QByteArray &iv = QByteArray()) const;
    // Removes the padding of the configured kind; bytes that do not carry a valid
    // padding of that kind come back unchanged.
    QByteArray stripPadding(const QByteArray &bytes) const;

    int keyLength() const { return m_keyLength; }
    int rounds() const { return m_rounds; }

private:
    int m_keyLength;
    int m_rounds;
    int m_mode;
    int m_padding;
};
