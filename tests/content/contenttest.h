#pragma once

// Fixtures of the content tests: folder trees, zip and kelcab archives, and an
// in-memory archive that records what it is asked.

#include "content/archiveaccessmanager.h"
#include "content/archiveexception.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <kelcab/archive.h>

#include <quazip/quacrc32.h>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <memory>

namespace ContentTest {

using Files = QMap<QString, QByteArray>;

inline bool writeTree(const QString &dir, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = dir + QLatin1Char('/') + it.key();
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size())
            return false;
    }
    return true;
}

// A non-empty password encrypts every entry; method 0 stores, 8 deflates.
inline bool writeZip(const QString &zipPath, const Files &files, const QByteArray &password = {},
                     int method = 8)
{
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QuaZipFile file(&zip);
        QuaZipNewInfo info(it.key());
        const quint32 crc = QuaCrc32().calculate(it.value());
        const bool opened = file.open(QIODevice::WriteOnly, info,
                                      password.isEmpty() ? nullptr : password.constData(), crc,
                                      method, method ? 6 : 0);
        if (!opened || file.write(it.value()) != it.value().size())
            return false;
        file.close();
        if (file.getZipError() != UNZ_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

// Packs dir (its own name becoming the archive's root folder) into path.
inline bool writeKelcab(const QString &dir, const QString &path)
{
    std::unique_ptr<kelcab::Archive> archive(kelcab::Archive::makeAndSave(path, QDir(dir)));
    return archive != nullptr && QFileInfo(path).size() > 0;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Exact lookups; records every path exists() is asked about, or throws.
class FakeArchive : public ArchiveAccessManager
{
public:
    explicit FakeArchive(const Files &files = {}) : m_files(files) {}

    bool exists(const QString &path) override
    {
        QMutexLocker lock(&m_mutex);
        m_asked.append(path);
        if (throwOnExists)
            throw ArchiveException(-1, QStringLiteral("lookup failed"));
        return m_files.contains(path);
    }
    QByteArray read(const QString &path) override { return m_files.value(path); }
    QIODevice *open(const QString &path) override
    {
        if (!m_files.contains(path))
            return nullptr;
        auto *buffer = new QBuffer;
        buffer->setData(m_files.value(path));
        buffer->open(QIODevice::ReadOnly);
        return buffer;
    }

    QStringList asked() const
    {
        QMutexLocker lock(&m_mutex);
        return m_asked;
    }

    bool throwOnExists = false;

private:
    Files m_files;
    mutable QMutex m_mutex;
    QStringList m_asked;
};

} // namespace ContentTest
