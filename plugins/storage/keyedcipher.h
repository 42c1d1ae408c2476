#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>

// Obfuscation of stored values with a key built into the program. It keeps
// values from being read at a glance in the database file; it does not
// protect them from anyone who can read the program.
//
// Layout: version (3), flags, then the body enciphered by a chained XOR with
// the eight key bytes. The body is 0x78, a big-endian qChecksum of the
// payload, and the payload (qCompress'ed at level 9 when that is shorter).
class KeyedCipher
{
public:
    enum Flag : quint8 { Compressed = 0x01, Checksum = 0x02, Hash = 0x04 };
    enum class CompressionMode { Auto };
    enum class ProtectionMode { Checksum };
    static constexpr quint8 Version = 3;

    explicit KeyedCipher(quint64 key);

    QByteArray encrypt(const QByteArray &plain) const;
    // Empty for anything that is not a well-formed cipher text of this key;
    // ok (when given) tells that apart from an empty plain text.
    QByteArray decrypt(const QByteArray &cipher, bool *ok = nullptr) const;

    // Base64 (Latin-1) of encrypt(UTF-8 of text).
    QString encryptText(const QString &text) const;
    // Empty when text does not decrypt, and then ok (when given) is false.
    QString decryptText(const QString &text, bool *ok = nullptr) const;

private:
    quint64 m_key;
    std::array<quint8, 8> m_keyBytes;
    CompressionMode m_compression = CompressionMode::Auto;
    ProtectionMode m_protection = ProtectionMode::Checksum;
};
