#include "plugins/storage/keyedcipher.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QtEndian>

Q_LOGGING_CATEGORY(lcCipher, "Storage")

namespace {

constexpr char kLeadByte = 0x78;

quint16 checksum(const QByteArray &bytes)
{
    return qChecksum(bytes.constData(), uint(bytes.size()));
}

} // namespace

KeyedCipher::KeyedCipher(quint64 key) : m_key(key)
{
    for (int i = 0; i < 8; ++i)
        m_keyBytes[size_t(i)] = quint8(m_key >> (8 * i));
}

QByteArray KeyedCipher::encrypt(const QByteArray &plain) const
{
    quint8 flags = 0;
    QByteArray payload = plain;
    if (m_compression == CompressionMode::Auto) {
        const QByteArray packed = qCompress(plain, 9);
        if (packed.size() < plain.size()) {
            payload = packed;
            flags |= Compressed;
        }
    }

    QByteArray out;
    out.reserve(2 + 1 + 2 + payload.size());
    out.append(char(Version));
    out.append(char(0)); // flags, set below
    out.append(kLeadByte);
    if (m_protection == ProtectionMode::Checksum) {
        flags |= Checksum;
        char field[2];
        qToBigEndian(checksum(payload), field);
        out.append(field, 2);
    }
    out.append(payload);
    out[1] = char(flags);

    quint8 previous = 0;
    auto *body = reinterpret_cast<quint8 *>(out.data()) + 2;
    const int length = out.size() - 2;
    for (int i = 0; i < length; ++i) {
        const quint8 e = body[i] ^ m_keyBytes[size_t(i % 8)] ^ previous;
        body[i] = e;
        previous = e;
    }
    return out;
}

QByteArray KeyedCipher::decrypt(const QByteArray &cipher, bool *ok) const
{
    if (ok)
        *ok = false;
    if (cipher.size() < 3)
        return {};
    if (quint8(cipher.at(0)) != Version) {
        qCWarning(lcCipher, "Invalid version or not a cyphertext.");
        return {};
    }
    const quint8 flags = quint8(cipher.at(1));
    QByteArray body = cipher.mid(2);
    quint8 previous = 0;
    auto *bytes = reinterpret_cast<quint8 *>(body.data());
    for (int i = 0; i < body.size(); ++i) {
        const quint8 e = bytes[i];
        bytes[i] = e ^ m_keyBytes[size_t(i % 8)] ^ previous;
        previous = e;
    }
    body.remove(0, 1); // the lead byte carries nothing

    bool intact = true;
    if (flags & Checksum) {
        if (body.size() < 2)
            return {};
        const quint16 expected = qFromBigEndian<quint16>(body.constData());
        body.remove(0, 2);
        intact = expected == checksum(body);
    } else if (flags & Hash) {
        if (body.size() < 20)
            return {};
        const QByteArray expected = body.left(20);
        body.remove(0, 20);
        intact = expected == QCryptographicHash::hash(body, QCryptographicHash::Sha1);
    }
    if (!intact) {
        qCWarning(lcCipher, "A stored value failed its integrity check.");
        return {};
    }
    // Compressed only when that was shorter, so never to nothing: an empty
    // result is qUncompress refusing the data.
    if (flags & Compressed) {
        body = qUncompress(body);
        if (body.isEmpty())
            return {};
    }
    if (ok)
        *ok = true;
    return body;
}

QString KeyedCipher::encryptText(const QString &text) const
{
    return QString::fromLatin1(encrypt(text.toUtf8()).toBase64());
}

QString KeyedCipher::decryptText(const QString &text, bool *ok) const
{
    const QByteArray plain = decrypt(QByteArray::fromBase64(text.toLatin1()), ok);
    return plain.isEmpty() ? QString() : QString::fromUtf8(plain);
}
