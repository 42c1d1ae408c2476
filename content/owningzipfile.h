#pragma once

#include "content/deliverycheck.h"
#include "content/ziphandlepool.h"

#include <quazip/quazipfile.h>
#include <quazip/unzip.h>

// A QuaZipFile that owns the QuaZip it reads from (each device has its own
// handle on the archive file) and checks what it delivers: minizip checks the
// CRC only when the entry is closed, too late for a reader that has already
// passed the bytes on. Here the read that would deliver the entry's last
// bytes fails instead when the size or the CRC is wrong, and every later
// read fails too.
class OwningZipFile : private ZipHandle, public QuaZipFile
{
public:
    OwningZipFile(std::unique_ptr<QuaZip> zip, std::shared_ptr<ZipHandlePool> pool,
                  const QuaZipFileInfo64 &info)
        : ZipHandle(std::move(zip), std::move(pool))
        , QuaZipFile(handle.get())
        , m_check(info)
    {
    }
    ~OwningZipFile() override
    {
        if (isOpen()) {
            close();
            reusable = !m_failed && !isOpen() && getZipError() == UNZ_OK;
        }
        // A close that fails (CRC error) leaves the device open; the base
        // destructor would try once more.
        if (isOpen())
            QIODevice::close();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failed)
            return -1;
        const qint64 n = QuaZipFile::readData(data, maxSize);
        if (n < 0)
            return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(getZipError()));
        const QString damage = m_check.add(data, n);
        return damage.isEmpty() ? n : fail(damage);
    }

private:
    qint64 fail(const QString &message)
    {
        m_failed = true;
        setErrorString(message);
        return -1;
    }

    DeliveryCheck m_check;
    bool m_failed = false;
};
