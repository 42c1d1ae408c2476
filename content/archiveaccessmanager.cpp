#include "content/archiveaccessmanager.h"

#include "app/settingsmanager.h"
#include "bridge/constants.h"
#include "content/archiveexception.h"
#include "content/emptyarchivemanager.h"
#include "content/folderarchivemanager.h"
#include "content/interceptorfactory.h"
#include "content/kelcabarchivemanager.h"
#include "content/ziparchiveaccessmanager.h"

#include <QFileInfo>
#include <QLoggingCategory>

#include <exception>

Q_LOGGING_CATEGORY(lcArchive, "ContentArchive")

namespace {
// Why an archive did not open when its reader gives no reason (QuaZip
// reports most such failures with one code): the file itself tells.
QString openFailure(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("the file does not exist");
    if (!info.isFile() || !info.isReadable())
        return QStringLiteral("the file cannot be read");
    return QStringLiteral("it is not an archive of that kind or it is damaged");
}
} // namespace

ArchiveAccessManager *createArchiveManager(const QString &path, const QString &kind)
{
    const bool kelcabKind = kind == Constants::name(Constants::Tag::kelcab);
    try {
        if (kelcabKind) {
            auto *manager = new KelCabArchiveManager(path);
            if (!manager->isLoaded())
                qCCritical(lcArchive).noquote()
                    << "cannot open the kelcab content archive" << path << "-"
                    << openFailure(path) << "- the course will not load";
            return manager;
        }
        return new ZipArchiveAccessManager(path);
    } catch (const ArchiveException &e) {
        qCCritical(lcArchive).noquote()
            << "cannot open the zip content archive" << path << "-" << openFailure(path)
            << "(QuaZip error" << QString::number(e.code) + QLatin1String(") - the course will not load");
    } catch (const std::exception &e) {
        qCCritical(lcArchive).noquote()
            << "cannot read the" << (kelcabKind ? "kelcab" : "zip") << "content archive"
            << path << "-" << e.what() << "- the course will not load";
    }
    return new EmptyArchiveManager;
}

ArchiveAccessManager *createArchiveManager(const QString &path)
{
    using namespace Constants;
    if (!devCourseDir().isEmpty())
        return new FolderArchiveManager(devCourseDir());
    const QString kind = SettingsManager::instance()
                             ->get(name(Tag::wrapper), name(Tag::archiveManager), name(Tag::zip))
                             .toString();
    return createArchiveManager(path, kind);
}
