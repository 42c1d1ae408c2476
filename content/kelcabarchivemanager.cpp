#include "content/kelcabarchivemanager.h"

#include <kelcab/archive.h>
#include <kelcab/entry.h>

KelCabArchiveManager::KelCabArchiveManager(const QString &path, QObject *parent)
    : ArchiveAccessManager(parent), m_archive(kelcab::Archive::makeAndLoad(path))
{
}

KelCabArchiveManager::~KelCabArchiveManager() = default;

bool KelCabArchiveManager::exists(const QString &path)
{
    return m_archive && m_archive->find(path).isValid();
}

QByteArray KelCabArchiveManager::read(const QString &path)
{
    QScopedPointer<QIODevice> device(open(path));
    return device ? device->readAll() : QByteArray();
}

QIODevice *KelCabArchiveManager::open(const QString &path)
{
    if (!m_archive)
        return nullptr;
    const kelcab::Entry entry = m_archive->find(path);
    return entry.isValid() ? m_archive->makeReadOnlyDevice(entry) : nullptr;
}

QString KelCabArchiveManager::fileName() const
{
    return m_archive ? m_archive->path() : QString();
}
