#pragma once

#include "content/deliverycheck.h"
#include "content/pkwarekeys.h"
#include "content/ziphandlepool.h"

#include <QIODevice>

#include <quazip/quazipfile.h>
#include <quazip/unzip.h>

#include <zlib.h>

#include <cstring>
#include <memory>

// An entry read raw and inflated, decrypted and checked here, so that the
// bytes pass through one CRC, not minizip's and ours, and an encrypted entry's
// local header is read once, by the open that checks its password. Checks
// what it delivers with the same DeliveryCheck as OwningZipFile. Stored and
// deflated entries only.
class RawZipEntry : private ZipHandle, public QIODevice
{
public:
    // raw has been opened raw on handle's current entry; keys, when given,
    // have decrypted the entry's twelve-byte header.
    RawZipEntry(std::unique_ptr<QuaZip> zip, std::shared_ptr<ZipHandlePool> pool,
                const QuaZipFileInfo64 &info, std::unique_ptr<PkwareKeys> keys)
        : ZipHandle(std::move(zip), std::move(pool))
        , m_raw(handle.get())
        , m_keys(std::move(keys))
        , m_deflated(info.method == Z_DEFLATED)
        , m_check(info)
    {
    }
    ~RawZipEntry() override
    {
        if (m_deflated && m_inflating)
            inflateEnd(&m_stream);
        if (m_raw.isOpen()) {
            m_raw.close();
            reusable = !m_failed && !m_raw.isOpen() && m_raw.getZipError() == UNZ_OK;
        }
        if (m_raw.isOpen())
            m_raw.QIODevice::close();
    }

    // Opens the raw entry that the handle is at, then this device.
    bool start(QString *error)
    {
        if (!m_raw.isOpen()
            && !m_raw.open(QIODevice::ReadOnly, nullptr, nullptr, true, nullptr)) {
            *error = QString::number(m_raw.getZipError());
            return false;
        }
        if (m_deflated) {
            std::memset(&m_stream, 0, sizeof m_stream);
            if (inflateInit2(&m_stream, -MAX_WBITS) != Z_OK)
                return false;
            m_inflating = true;
        }
        return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    QuaZipFile &raw() { return m_raw; }

    bool isSequential() const override { return true; }
    qint64 size() const override { return m_check.expectedSize; }
    bool atEnd() const override { return !m_failed && m_check.read == m_check.expectedSize; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failed)
            return -1;
        qint64 n = 0;
        if (!m_deflated) {
            n = m_raw.read(data, qMin(maxSize, m_check.expectedSize - m_check.read + 1));
            if (n < 0)
                return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(m_raw.getZipError()));
            if (m_keys)
                m_keys->decrypt(data, n);
        } else {
            n = inflateInto(data, maxSize);
            if (n < 0)
                return -1;
        }
        const QString damage = m_check.add(data, n);
        return damage.isEmpty() ? n : fail(damage);
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 inflateInto(char *data, qint64 maxSize)
    {
        m_stream.next_out = reinterpret_cast<Bytef *>(data);
        m_stream.avail_out = uInt(qMin<qint64>(maxSize, 1 << 30));
        while (m_stream.avail_out > 0 && !m_streamEnded) {
            if (m_stream.avail_in == 0) {
                const qint64 got = m_raw.read(m_input, sizeof m_input);
                if (got < 0)
                    return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(m_raw.getZipError()));
                if (got == 0)
                    break;
                if (m_keys)
                    m_keys->decrypt(m_input, got);
                m_stream.next_in = reinterpret_cast<Bytef *>(m_input);
                m_stream.avail_in = uInt(got);
            }
            const int result = inflate(&m_stream, Z_NO_FLUSH);
            if (result == Z_STREAM_END)
                m_streamEnded = true;
            else if (result != Z_OK && result != Z_BUF_ERROR)
                return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(result));
            else if (result == Z_BUF_ERROR && m_stream.avail_in > 0)
                return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(result));
        }
        return qint64(reinterpret_cast<char *>(m_stream.next_out) - data);
    }

    qint64 fail(const QString &message)
    {
        m_failed = true;
        setErrorString(message);
        return -1;
    }

    QuaZipFile m_raw;
    std::unique_ptr<PkwareKeys> m_keys;
    const bool m_deflated;
    DeliveryCheck m_check;
    z_stream m_stream;
    bool m_inflating = false;
    bool m_streamEnded = false;
    char m_input[64 * 1024];
    bool m_failed = false;
};
