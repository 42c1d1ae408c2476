#pragma once

#include <QMutex>
#include <QString>

#include <quazip/quazip.h>

#include <memory>
#include <vector>

// Archive handles, each opened once and used by one reader at a time: opening
// an entry is then a seek to its record, not an open of the archive file and
// a read of its end record. Shared with the devices, which give their handle
// back when they are done, so it outlives a manager destroyed before them.
class ZipHandlePool
{
public:
    explicit ZipHandlePool(const QString &path) : m_path(path) {}

    // A handle with a current file, or null when the archive cannot be opened
    // (error then holds QuaZip's code).
    std::unique_ptr<QuaZip> take(int *error)
    {
        {
            QMutexLocker lock(&m_mutex);
            if (!m_idle.empty()) {
                std::unique_ptr<QuaZip> zip = std::move(m_idle.back());
                m_idle.pop_back();
                return zip;
            }
        }
        auto zip = std::make_unique<QuaZip>(m_path);
        // goToFirstFile gives the QuaZip a current file; a position then
        // moves the reader to an entry without walking the directory.
        if (!zip->open(QuaZip::mdUnzip) || !zip->goToFirstFile()) {
            *error = zip->getZipError();
            return nullptr;
        }
        return zip;
    }

    void giveBack(std::unique_ptr<QuaZip> zip)
    {
        QMutexLocker lock(&m_mutex);
        // Enough for the readers that run at once; more would only hold
        // file descriptors.
        if (m_idle.size() < kMaxIdle)
            m_idle.push_back(std::move(zip));
    }

private:
    static constexpr size_t kMaxIdle = 8;
    const QString m_path;
    QMutex m_mutex;
    std::vector<std::unique_ptr<QuaZip>> m_idle;
};

// Holds the QuaZip of an entry device. A base listed before its QuaZipFile is
// built before it and destroyed after it: QuaZipFile's destructor closes the
// entry through the QuaZip, so the QuaZip must still be there. (As a member
// it was gone by then, and a close that failed on a CRC error closed once
// more through freed memory.) A handle whose entry closed cleanly goes back
// to the pool; one that saw an error is dropped.
struct ZipHandle
{
    ZipHandle(std::unique_ptr<QuaZip> zip, std::shared_ptr<ZipHandlePool> pool)
        : handle(std::move(zip)), pool(std::move(pool))
    {
    }
    ~ZipHandle()
    {
        if (reusable && pool && handle)
            pool->giveBack(std::move(handle));
    }
    std::unique_ptr<QuaZip> handle;
    std::shared_ptr<ZipHandlePool> pool;
    bool reusable = false;
};
