#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>

class QuaZipFile;
struct QuaZipFileInfo64;

// minizip's unzip neither checks the password nor looks at whether an entry
// is encrypted: given a password it "decrypts" any entry, and a wrong one
// yields garbage. The traditional PKWARE header lets us tell first: its
// twelfth byte, decrypted, repeats the CRC's high byte, or, when the sizes
// follow in a data descriptor, the DOS time's high byte. Writers disagree on
// the latter (minizip and QuaZip keep the CRC), so either is accepted.
constexpr quint16 kEncryptedFlag = 0x1;
constexpr quint16 kDataDescriptorFlag = 0x8;
constexpr int kCryptHeaderSize = 12;
constexpr int UNZ_BADPASSWORD = -106; // not one of minizip's own codes

// Decryption runs over every byte of an encrypted entry: the CRC table is
// built at compile time, not looked up through a guarded static per byte.
constexpr std::array<quint32, 256> makeCrcTable()
{
    std::array<quint32, 256> t{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}
constexpr std::array<quint32, 256> kCrcTable = makeCrcTable();

class PkwareKeys
{
public:
    explicit PkwareKeys(const QByteArray &password)
    {
        for (char c : password)
            update(quint8(c));
    }

    quint8 decrypt(quint8 c)
    {
        const quint32 temp = (m_keys[2] & 0xffff) | 2;
        const quint8 plain = c ^ quint8(((temp * (temp ^ 1)) >> 8) & 0xff);
        update(plain);
        return plain;
    }

    // Decrypts n bytes in place. The keys are copied into locals for the
    // loop: written through a char pointer, which may alias them, members
    // would be stored and reloaded for every byte.
    void decrypt(char *data, qint64 n)
    {
        quint32 k0 = m_keys[0], k1 = m_keys[1], k2 = m_keys[2];
        for (qint64 i = 0; i < n; ++i) {
            const quint32 temp = (k2 & 0xffff) | 2;
            const quint8 plain = quint8(data[i]) ^ quint8((temp * (temp ^ 1)) >> 8);
            data[i] = char(plain);
            k0 = crcByte(k0, plain);
            k1 = (k1 + (k0 & 0xff)) * 134775813u + 1;
            k2 = crcByte(k2, quint8(k1 >> 24));
        }
        m_keys[0] = k0;
        m_keys[1] = k1;
        m_keys[2] = k2;
    }

private:
    static quint32 crcByte(quint32 crc, quint8 b)
    {
        return kCrcTable[(crc ^ b) & 0xff] ^ (crc >> 8);
    }

    void update(quint8 c)
    {
        m_keys[0] = crcByte(m_keys[0], c);
        m_keys[1] = (m_keys[1] + (m_keys[0] & 0xff)) * 134775813u + 1;
        m_keys[2] = crcByte(m_keys[2], quint8(m_keys[1] >> 24));
    }

    quint32 m_keys[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

// True when password opens the encrypted entry that raw (opened raw, not yet
// read) holds.
// keys, made from the password, are then ready for the entry's data.
bool passwordMatches(QuaZipFile &raw, const QuaZipFileInfo64 &info, PkwareKeys &keys);
