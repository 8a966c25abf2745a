#include <QtTest>
#include <QApplication>
#include <QRandomGenerator>

#include "crypto/aescipher.h"
#include "testenv.h"

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// SP 800-38A plaintext (four blocks), shared by every mode and key size.
const char *const Sp800Plain = "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51 "
                               "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
const char *const Sp800Iv = "000102030405060708090a0b0c0d0e0f";
const char *const Key128 = "2b7e151628aed2a6abf7158809cf4f3c";
const char *const Key192 = "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b";
const char *const Key256 = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";

QByteArray randomBytes(int n, char avoidLast = 0)
{
    QByteArray bytes(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    // Keeps zero/ISO stripping unambiguous: the text itself must not end in a padding-like byte.
    if (n > 0 && (bytes.at(n - 1) == avoidLast || bytes.at(n - 1) == 0 || quint8(bytes.at(n - 1)) == 0x80))
        bytes[n - 1] = 'x';
    return bytes;
}

} // namespace

class tst_crypto : public QObject
{
    Q_OBJECT
private slots:
    void knownVectors_data()
    {
        QTest::addColumn<int>("keySize");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("iv");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");

        // FIPS-197 appendix C: one block, ECB.
        const QByteArray fipsPlain = hex("00112233445566778899aabbccddeeff");
        QTest::newRow("fips197-128") << 0 << 0 << hex("000102030405060708090a0b0c0d0e0f") << QByteArray()
                                     << fipsPlain << hex("69c4e0d86a7b0430d8cdb78070b4c55a");
        QTest::newRow("fips197-192") << 1 << 0 << hex("000102030405060708090a0b0c0d0e0f1011121314151617")
                                     << QByteArray() << fipsPlain << hex("dda97ca4864cdfe06eaf70a0ec0d7191");
        QTest::newRow("fips197-256") << 2 << 0
                                     << hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")
                                     << QByteArray() << fipsPlain << hex("8ea2b7ca516745bfeafc49904b496089");

        // SP 800-38A appendix F.
        const QByteArray p = hex(Sp800Plain);
        const QByteArray iv = hex(Sp800Iv);
        struct Row { const char *name; int keySize; int mode; const char *key; const char *cipher; };
        const Row rows[] = {
            {"ecb-128", 0, 0, Key128, "3ad77bb40d7a3660a89ecaf32466ef97 f5d3d58503b9699de785895a96fdbaaf 43b1cd7f598ece23881b00e3ed030688 7b0c785e27e8ad3f8223207104725dd4"},
            {"cbc-128", 0, 1, Key128, "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2 73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
            {"cfb-128", 0, 2, Key128, "3b3fd92eb72dad20333449f8e83cfb4a c8a64537a0b3a93fcde3cdad9f1ce58b 26751f67a3cbb140b1808cf187a4f4df c04b05357c5d1c0eeac4c66f9ff7f2e6"},
            {"ofb-128", 0, 3, Key128, "3b3fd92eb72dad20333449f8e83cfb4a 7789508d16918f03f53c52dac54ed825 9740051e9c5fecf64344f7a82260edcc 304c6528f659c77866a510d9c1d6ae5e"},
            {"ecb-192", 1, 0, Key192, "bd334f1d6e45f25ff712a214571fa5cc 974104846d0ad3ad7734ecb3ecee4eef ef7afd2270e2e60adce0ba2face6444e 9a4b41ba738d6c72fb16691603c18e0e"},
            {"cbc-192", 1, 1, Key192, "4f021db243bc633d7178183a9fa071e8 b4d9ada9ad7dedf4e5e738763f69145a 571b242012fb7ae07fa9baac3df102e0 08b0e27988598881d920a9e64f5615cd"},
            {"cfb-192", 1, 2, Key192, "cdc80d6fddf18cab34c25909c99a4174 67ce7f7f81173621961a2b70171d3d7a 2e1e8a1dd59b88b1c8e60fed1efac4c9 c05f9f9ca9834fa042ae8fba584b09ff"},
            {"ofb-192", 1, 3, Key192, "cdc80d6fddf18cab34c25909c99a4174 fcc28b8d4c63837c09e81700c1100401 8d9a9aeac0f6596f559c6d4daf59a5f2 6d9f200857ca6c3e9cac524bd9acc92a"},
            {"ecb-256", 2, 0, Key256, "f3eed1bdb5d2a03c064b5a7e3db181f8 591ccb10d410ed26dc5ba74a31362870 b6ed21b99ca6f4f9f153e7b1beafed1d 23304b7a39f9f3ff067d8d8f9e24ecc7"},
            {"cbc-256", 2, 1, Key256, "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d 39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"},
            {"cfb-256", 2, 2, Key256, "dc7e84bfda79164b7ecd8486985d3860 39ffed143b28b1c832113c6331e5407b df10132415e54b92a13ed0a8267ae2f9 75a385741ab9cef82031623d55b1e471"},
            {"ofb-256", 2, 3, Key256, "dc7e84bfda79164b7ecd8486985d3860 4febdc6740d20b3ac88f6ad82a4fb08d 71ab47a086e86eedf39d1c5bba97c408 0126141d67f37be8538f5a8be740e484"},
        };
        for (const Row &row : rows)
            QTest::newRow(row.name) << row.keySize << row.mode << hex(row.key) << (row.mode == 0 ? QByteArray() : iv)
                                    << p << hex(row.cipher);
    }
    void knownVectors()
    {
        QFETCH(int, keySize);
        QFETCH(int, mode);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, iv);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        const AesCipher aes(keySize, mode, AesCipher::ZERO);
        QCOMPARE(aes.encrypt(plain, key, iv).toHex(), cipher.toHex());
        QCOMPARE(aes.decrypt(cipher, key, iv).toHex(), plain.toHex());
    }

    void paddedLengths_data()
    {
        QTest::addColumn<int>("padding");
        QTest::addColumn<int>("plainLength");
        QTest::addColumn<int>("cipherLength");
        const int lengths[] = {0, 1, 15, 16, 17, 31, 32, 33};
        for (int n : lengths) {
            const int roundUp = (n + 15) / 16 * 16;
            QTest::addRow("zero-%d", n) << int(AesCipher::ZERO) << n << roundUp;
            QTest::addRow("iso-%d", n) << int(AesCipher::ISO) << n << roundUp;
            // PKCS#7 always pads, so a whole block of text gains a whole padding block.
            QTest::addRow("pkcs7-%d", n) << int(AesCipher::PKCS7) << n << (n / 16 + 1) * 16;
        }
    }
    void paddedLengths()
    {
        QFETCH(int, padding);
        QFETCH(int, plainLength);
        QFETCH(int, cipherLength);
        const QByteArray key = randomBytes(32);
        const QByteArray iv = randomBytes(16);
        const QByteArray plain = randomBytes(plainLength, char(cipherLength - plainLength));
        const AesCipher aes(AesCipher::AES_256, AesCipher::CBC, padding);
        const QByteArray sealed = aes.encrypt(plain, key, iv);
        QCOMPARE(sealed.size(), cipherLength);
        const QByteArray opened = aes.decrypt(sealed, key, iv);
        QCOMPARE(opened.size(), cipherLength);
        QVERIFY(opened.startsWith(plain));

        const QByteArray pad = opened.mid(plainLength);
        const int p = pad.size();
        for (int i = 0; i < p; ++i) {
            const quint8 byte = quint8(pad.at(i));
            if (padding == AesCipher::PKCS7)
                QCOMPARE(int(byte), p);
            else if (padding == AesCipher::ISO && i == 0)
                QCOMPARE(int(byte), 0x80);
            else
                QCOMPARE(int(byte), 0);
        }
        QCOMPARE(aes.stripPadding(opened), plain);
    }

    void unusableInputsGiveEmpty_data()
    {
        QTest::addColumn<int>("keySize");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("keyLength");
        QTest::addColumn<int>("ivLength");
        QTest::addColumn<int>("textLength");
        QTest::addColumn<bool>("encryptWorks");
        QTest::addColumn<bool>("decryptWorks");

        QTest::newRow("256 with 31-byte key") << 2 << 1 << 31 << 16 << 32 << false << false;
        QTest::newRow("256 with 33-byte key") << 2 << 1 << 33 << 16 << 32 << false << false;
        QTest::newRow("256 with 16-byte key") << 2 << 0 << 16 << 0 << 32 << false << false;
        QTest::newRow("192 with 32-byte key") << 1 << 0 << 32 << 0 << 32 << false << false;
        QTest::newRow("128 with empty key") << 0 << 0 << 0 << 0 << 32 << false << false;
        QTest::newRow("unknown size acts as 128") << 7 << 0 << 16 << 0 << 32 << true << true;
        QTest::newRow("unknown size rejects 32-byte key") << 7 << 0 << 32 << 0 << 32 << false << false;
        QTest::newRow("cbc with 15-byte iv") << 2 << 1 << 32 << 15 << 32 << false << false;
        QTest::newRow("cbc with 17-byte iv") << 2 << 1 << 32 << 17 << 32 << false << false;
        QTest::newRow("cfb without iv") << 2 << 2 << 32 << 0 << 32 << false << false;
        QTest::newRow("ofb without iv") << 0 << 3 << 16 << 0 << 32 << false << false;
        QTest::newRow("ecb ignores the iv") << 2 << 0 << 32 << 5 << 32 << true << true;
        QTest::newRow("ragged ciphertext 17") << 2 << 1 << 32 << 16 << 17 << true << false;
        QTest::newRow("ragged ciphertext 1") << 0 << 3 << 16 << 16 << 1 << true << false;
        QTest::newRow("unknown mode") << 2 << 9 << 32 << 16 << 32 << false << false;
    }
    void unusableInputsGiveEmpty()
    {
        QFETCH(int, keySize);
        QFETCH(int, mode);
        QFETCH(int, keyLength);
        QFETCH(int, ivLength);
        QFETCH(int, textLength);
        QFETCH(bool, encryptWorks);
        QFETCH(bool, decryptWorks);
        const AesCipher aes(keySize, mode, AesCipher::ISO);
        const QByteArray key = randomBytes(keyLength);
        const QByteArray iv = randomBytes(ivLength);
        const QByteArray text = randomBytes(textLength);
        QCOMPARE(!aes.encrypt(text, key, iv).isEmpty(), encryptWorks);
        QCOMPARE(!aes.decrypt(text, key, iv).isEmpty(), decryptWorks);
    }

    void emptyCiphertextDecryptsToEmpty()
    {
        const AesCipher aes(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
        const QByteArray result = aes.decrypt(QByteArray(), randomBytes(32), randomBytes(16));
        QVERIFY(result.isEmpty());
        // Zero and ISO padding add nothing to an empty text.
        QVERIFY(aes.encrypt(QByteArray(), randomBytes(32), randomBytes(16)).isEmpty());
    }

    void roundTripEveryConfiguration_data()
    {
        QTest::addColumn<int>("keySize");
        QTest::addColumn<int>("mode");
        const char *modes[] = {"ecb", "cbc", "cfb", "ofb"};
        for (int k = 0; k < 3; ++k)
            for (int m = 0; m < 4; ++m)
                QTest::addRow("%d-%s", 128 + 64 * k, modes[m]) << k << m;
    }
    void roundTripEveryConfiguration()
    {
        QFETCH(int, keySize);
        QFETCH(int, mode);
        const AesCipher aes(keySize, mode, AesCipher::PKCS7);
        const QByteArray key = randomBytes(aes.keyLength());
        const QByteArray iv = randomBytes(16);
        for (int n : {1, 16, 100, 4099}) {
            const QByteArray plain = randomBytes(n);
            const QByteArray sealed = aes.encrypt(plain, key, iv);
            // Not the padded plaintext passed through: its whole first block, so
            // chance agreement is 2^-128 (a 1-byte text alone would match 1 in 256).
            const int pad = 16 - n % 16;
            const QByteArray firstBlock = (plain + QByteArray(pad, char(pad))).left(16);
            QCOMPARE(sealed.size(), n + pad);
            QVERIFY(sealed.left(16) != firstBlock);
            QCOMPARE(aes.stripPadding(aes.decrypt(sealed, key, iv)), plain);
            // A different IV or key must change the result (chaining modes only for the IV).
            if (mode != AesCipher::ECB)
                QVERIFY(aes.encrypt(plain, key, randomBytes(16)) != sealed);
            QVERIFY(aes.encrypt(plain, randomBytes(aes.keyLength()), iv) != sealed);
        }
    }

    void chainingUsesPreviousBlock()
    {
        // Two equal plaintext blocks encipher equally in ECB only.
        const QByteArray key = randomBytes(32);
        const QByteArray iv = randomBytes(16);
        const QByteArray block = randomBytes(16);
        const QByteArray twice = block + block;
        for (int mode = 0; mode < 4; ++mode) {
            const QByteArray sealed = AesCipher(2, mode, 0).encrypt(twice, key, iv);
            QCOMPARE(sealed.left(16) == sealed.mid(16), mode == AesCipher::ECB);
        }
        // CBC: a damaged ciphertext block garbles its own block and flips one byte in the next only.
        const AesCipher cbc(2, 1, 0);
        const QByteArray plain = randomBytes(64);
        QByteArray sealed = cbc.encrypt(plain, key, iv);
        sealed[16 + 3] = char(sealed.at(16 + 3) ^ 0x01);
        const QByteArray opened = cbc.decrypt(sealed, key, iv);
        QCOMPARE(opened.left(16), plain.left(16));
        QVERIFY(opened.mid(16, 16) != plain.mid(16, 16));
        QCOMPARE(int(quint8(opened.at(32 + 3) ^ plain.at(32 + 3))), 0x01);
        QCOMPARE(opened.mid(48), plain.mid(48));
    }

    void isoPaddingOfThirtyThreeBytes()
    {
        const AesCipher aes(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
        const QByteArray key = randomBytes(32);
        const QByteArray iv = randomBytes(16);
        const QByteArray plain = QByteArray(33, 'q');
        const QByteArray opened = aes.decrypt(aes.encrypt(plain, key, iv), key, iv);
        QCOMPARE(opened, plain + char(0x80) + QByteArray(14, '\0'));
        QCOMPARE(aes.encrypt(QByteArray(32, 'q'), key, iv).size(), 32);
    }

    void stripPadding_data()
    {
        QTest::addColumn<int>("padding");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("zero: trailing zeros go") << 0 << QByteArray("abc\0\0\0", 6) << QByteArray("abc");
        QTest::newRow("zero: inner zeros stay") << 0 << QByteArray("a\0b\0", 4) << QByteArray("a\0b", 3);
        QTest::newRow("zero: all zeros") << 0 << QByteArray(16, '\0') << QByteArray();
        QTest::newRow("pkcs7: three bytes of 3") << 1 << QByteArray("abcde\x03\x03\x03") << QByteArray("abcde");
        QTest::newRow("pkcs7: full block of 16") << 1 << QByteArray(16, '\x10') << QByteArray();
        QTest::newRow("pkcs7: mismatched run kept") << 1 << QByteArray("abcde\x02\x03\x03") << QByteArray("abcde\x02\x03\x03");
        QTest::newRow("pkcs7: last byte 0 kept") << 1 << QByteArray("abc\0", 4) << QByteArray("abc\0", 4);
        QTest::newRow("pkcs7: last byte 17 kept") << 1 << (QByteArray(16, 'a') + QByteArray(17, '\x11')) << (QByteArray(16, 'a') + QByteArray(17, '\x11'));
        QTest::newRow("pkcs7: longer than text kept") << 1 << QByteArray("\x05\x05") << QByteArray("\x05\x05");
        QTest::newRow("pkcs7: empty") << 1 << QByteArray() << QByteArray();
        QTest::newRow("iso: marker and zeros") << 2 << QByteArray("abc\x80\0\0", 6) << QByteArray("abc");
        QTest::newRow("iso: marker alone") << 2 << QByteArray("abc\x80") << QByteArray("abc");
        QTest::newRow("iso: no marker kept") << 2 << QByteArray("abc\0\0", 5) << QByteArray("abc\0\0", 5);
        QTest::newRow("iso: text ending in other byte") << 2 << QByteArray("abc") << QByteArray("abc");
        QTest::newRow("iso: earlier marker ignored") << 2 << QByteArray("a\x80z") << QByteArray("a\x80z");
    }
    void stripPadding()
    {
        QFETCH(int, padding);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QCOMPARE(AesCipher(2, 1, padding).stripPadding(input).toHex(), expected.toHex());
    }

    void largeCbcRoundTrip()
    {
        const AesCipher aes(AesCipher::AES_256, AesCipher::CBC, AesCipher::ISO);
        const QByteArray key = randomBytes(32);
        const QByteArray iv = randomBytes(16);
        const QByteArray plain = randomBytes(1 << 20);
        const QByteArray sealed = aes.encrypt(plain, key, iv);
        QCOMPARE(sealed.size(), plain.size());
        QCOMPARE(aes.decrypt(sealed, key, iv), plain);
    }
};

QM_TEST_MAIN(tst_crypto)
#include "tst_crypto.moc"
