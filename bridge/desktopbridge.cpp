#include "bridge/desktopbridge.h"

#include "app/pathsmanager.h"
#include "app/settingsmanager.h"
#include "bridge/constants.h"
#include "bridge/jsinterface.h"
#include "content/archiveaccessmanager.h"
#include "content/interceptorfactory.h"
#include "content/requestinterceptor.h"
#include "content/urlscheme.h"

#include <cmath>
#include <limits>

#include <QEvent>
#include <QMetaMethod>
#include <QMetaType>
#include <QLoggingCategory>
#include <QQuickWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>

Q_LOGGING_CATEGORY(lcDesktopBridge, "DesktopBridge")

namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;

namespace {

enum class Kind { Null, Text, Number, Bool, Object, List, Other };

Kind kindOf(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return Kind::Null;
    case QMetaType::QString:
        return Kind::Text;
    case QMetaType::Bool:
        return Kind::Bool;
    case QMetaType::Double:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return Kind::Number;
    case QMetaType::QVariantMap:
        return Kind::Object;
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return Kind::List;
    default:
        return Kind::Other;
    }
}

// Worded as the client library words its own refusals.
QString describe(const QVariant &value)
{
    switch (kindOf(value)) {
    case Kind::Text:
        return value.toString().size() <= 40
            ? QStringLiteral("the text \"%1\"").arg(value.toString())
            : QStringLiteral("text");
    case Kind::Number:
        return QStringLiteral("the number ") + value.toString();
    case Kind::Bool:
        return QStringLiteral("the value ") + value.toString();
    case Kind::Object:
        return QStringLiteral("an object");
    case Kind::List:
        return QStringLiteral("a list");
    default:
        return QStringLiteral("a value of type ") + QLatin1String(value.typeName());
    }
}

// One page call. Arguments are read as leniently as the channel converts
// them (text also from a number or true/false; null is the empty value), but
// an argument the channel would have emptied refuses the call: its failure
// callback gets code 606 and a message naming the method and the argument.
class PageCall
{
public:
    PageCall(DesktopBridge *bridge, const char *method, JSInvoke::_JSInvoke failure,
             const QVariant &uuid)
        : m_bridge(bridge), m_method(QLatin1String(method)), m_failure(failure), m_rawUuid(uuid)
    {
        m_uuid = text(uuid, "uuid");
    }

    QString uuid() const { return m_uuid; }

    QString text(const QVariant &value, const QString &name)
    {
        const Kind kind = kindOf(value);
        if (kind == Kind::Text || kind == Kind::Number || kind == Kind::Bool)
            return value.toString();
        if (kind != Kind::Null)
            refuse(name, "text", value);
        return {};
    }

    QVariantMap object(const QVariant &value, const QString &name)
    {
        const Kind kind = kindOf(value);
        if (kind != Kind::Object && kind != Kind::Null)
            refuse(name, "an object", value);
        return value.toMap();
    }

    QVariantList list(const QVariant &value, const QString &name)
    {
        const Kind kind = kindOf(value);
        if (kind != Kind::List && kind != Kind::Null)
            refuse(name, "a list", value);
        return value.toList();
    }

    // A list of text; one text stands for a list of one, as the channel has it.
    QStringList texts(const QVariant &value, const QString &name)
    {
        const Kind kind = kindOf(value);
        if (kind == Kind::Text)
            return {value.toString()};
        if (kind != Kind::List && kind != Kind::Null) {
            refuse(name, "a list of text", value);
            return {};
        }
        QStringList out;
        const QVariantList items = value.toList();
        for (int i = 0; i < items.size(); ++i)
            out.append(text(items.at(i), QStringLiteral("%1[%2]").arg(name).arg(i)));
        return out;
    }

    // The channel would make 0 of anything it cannot read as a number.
    int whole(const QVariant &value, const QString &name)
    {
        const Kind kind = kindOf(value);
        bool ok = kind == Kind::Null;
        int out = 0;
        if (kind == Kind::Number) {
            const double number = value.toDouble();
            ok = std::isfinite(number) && number == std::floor(number)
                && number >= std::numeric_limits<int>::min()
                && number <= std::numeric_limits<int>::max();
            out = ok ? int(number) : 0;
        } else if (kind == Kind::Text) {
            out = value.toString().toInt(&ok);
        }
        if (!ok)
            refuse(name, "a whole number", value);
        return out;
    }

    // False, once the page has been answered, when an argument was refused.
    bool accepted() const
    {
        if (m_error.isEmpty())
            return true;
        qCWarning(lcDesktopBridge).noquote() << "refused a call:" << m_error;
        using Constants::key;
        // An unreadable uuid goes back as it came: the page may still match it.
        const QVariant uuid = m_uuidRefused ? m_rawUuid : QVariant(m_uuid);
        emit m_bridge->invokeJSCall(Constants::callback(m_failure),
                                    {{key(Other::uuid), uuid},
                                     {key(Other::code), Constants::Code::BadArguments},
                                     {key(Other::message), m_error}});
        return false;
    }

private:
    void refuse(const QString &name, const char *expected, const QVariant &got)
    {
        if (!m_error.isEmpty())
            return;
        m_uuidRefused = name == QLatin1String("uuid");
        m_error = QStringLiteral("%1: %2 must be %3, got %4")
                      .arg(m_method, name, QLatin1String(expected), describe(got));
    }

    DesktopBridge *m_bridge;
    QString m_method;
    JSInvoke::_JSInvoke m_failure;
    QVariant m_rawUuid;
    QString m_uuid;
    QString m_error;
    bool m_uuidRefused = false;
};

} // namespace

DesktopBridge::DesktopBridge(QObject *parent) : QObject(parent)
{
    registerKelzipScheme();
    m_archive = createArchiveManager(SettingsManager::instance()->archiveFilePath());
    setUp();

    QQuickWebEngineProfile *profile = QQuickWebEngineProfile::defaultProfile();
    const QString storage = PathsManager::instance()->get(Constants::PathManager::localStoragePath);
    profile->setCachePath(storage);
    profile->setPersistentStoragePath(storage);

    m_interceptor = createRequestInterceptor(m_archive);
    profile->setUrlRequestInterceptor(m_interceptor);
    startInArchive();
}

// The start page is a file URL that the interceptor moves into the archive.
// Asking for the archive URL at once spares the web engine that cross-scheme
// redirect, which costs a renderer switch (about a sixth of the start-up);
// the page ends at the same URL either way. The web view reads the start URL
// after this constructor, since it is created after the bridge.
void DesktopBridge::startInArchive()
{
    if (!qobject_cast<RequestInterceptor *>(m_interceptor))
        return;
    PathsManager *paths = PathsManager::instance();
    const QString key = Constants::name(Constants::PathManager::wrapperStartupPath);
    const QUrl start(paths->get(key));
    const std::optional<QUrl> target =
        RequestInterceptor::redirectFor(QByteArrayLiteral("GET"), start, m_archive);
    if (target)
        paths->set(key, target->toString());
}

DesktopBridge::DesktopBridge(ArchiveAccessManager *archive, QObject *parent)
    : QObject(parent), m_archive(archive)
{
    setUp();
}

void DesktopBridge::setUp()
{
    m_jsInterface = new JSInterface(m_archive, this);
    connect(m_jsInterface, &JSInterface::invokeJSCall, this, &DesktopBridge::onInvokeJS);
    connect(this, &DesktopBridge::applicationEvent, m_jsInterface, &JSInterface::applicationEvent);
}

// Everything that reads the archive goes before the archive: the web
// engine's I/O thread through the interceptor, pool tasks through the
// plugins.
DesktopBridge::~DesktopBridge()
{
    if (m_interceptor) {
        QQuickWebEngineProfile *profile = QQuickWebEngineProfile::defaultProfile();
        profile->setUrlRequestInterceptor(nullptr);
        delete m_interceptor;
        m_interceptor = nullptr;
    }
    delete m_jsInterface;
    m_jsInterface = nullptr;
    delete m_archive;
    m_archive = nullptr;
}

QMap<QString, int> DesktopBridge::pageMethods()
{
    QMap<QString, int> methods;
    const QMetaObject &meta = staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        const QString name = QString::fromLatin1(method.name());
        if (method.access() == QMetaMethod::Public && method.methodType() != QMetaMethod::Signal
            && !methods.contains(name)) // the channel offers the first of overloads only
            methods.insert(name, method.parameterCount());
    }
    return methods;
}

bool DesktopBridge::event(QEvent *event)
{
    if (event->type() == QEvent::DeferredDelete) {
        qCWarning(lcDesktopBridge) << "refused to delete the bridge through deleteLater";
        return true;
    }
    return QObject::event(event);
}

void DesktopBridge::onInvokeJS(QString functionName, QVariantMap params)
{
    emit invokeJSCall(functionName, params);
}


void DesktopBridge::initialize(const QVariant &uuid)
{
    PageCall call(this, "initialize", JSInvoke::initializeError, uuid);
    if (call.accepted())
        m_jsInterface->initialize(call.uuid());
}

void DesktopBridge::finalize(const QVariant &uuid)
{
    PageCall call(this, "finalize", JSInvoke::finalizeError, uuid);
    if (call.accepted())
        m_jsInterface->finalize(call.uuid());
}

void DesktopBridge::initializePlugin(const QVariant &uuid, const QVariant &pluginName,
                                     const QVariant &params)
{
    PageCall call(this, "initializePlugin", JSInvoke::initializePluginFail, uuid);
    const QString pluginNameArg = call.text(pluginName, "pluginName");
    const QVariantMap paramsArg = call.object(params, "params");
    if (call.accepted())
        m_jsInterface->initializePlugin(call.uuid(), pluginNameArg, paramsArg);
}

void DesktopBridge::fsItemsInfo(const QVariant &uuid, const QVariant &paths)
{
    PageCall call(this, "fsItemsInfo", JSInvoke::fsItemsInfoFinish, uuid);
    const QVariantMap pathsArg = call.object(paths, "paths");
    if (call.accepted())
        m_jsInterface->fsItemsInfo(call.uuid(), pathsArg);
}

void DesktopBridge::fsItemsDelete(const QVariant &uuid, const QVariant &paths)
{
    PageCall call(this, "fsItemsDelete", JSInvoke::fsItemsDeleteFinish, uuid);
    const QVariantMap pathsArg = call.object(paths, "paths");
    if (call.accepted())
        m_jsInterface->fsItemsDelete(call.uuid(), pathsArg);
}

void DesktopBridge::fsItemsCopy(const QVariant &uuid, const QVariant &paths)
{
    PageCall call(this, "fsItemsCopy", JSInvoke::fsItemsCopyFinish, uuid);
    const QVariantMap pathsArg = call.object(paths, "paths");
    if (call.accepted())
        m_jsInterface->fsItemsCopy(call.uuid(), pathsArg);
}

void DesktopBridge::fsItemsList(const QVariant &uuid, const QVariant &paths)
{
    PageCall call(this, "fsItemsList", JSInvoke::fsItemsListDone, uuid);
    const QVariantMap pathsArg = call.object(paths, "paths");
    if (call.accepted())
        m_jsInterface->fsItemsList(call.uuid(), pathsArg);
}

void DesktopBridge::fsContentsRootPath(const QVariant &uuid)
{
    PageCall call(this, "fsContentsRootPath", JSInvoke::fsContentsRootPathFinish, uuid);
    if (call.accepted())
        m_jsInterface->fsContentsRootPath(call.uuid());
}

void DesktopBridge::getOpenFileName(const QVariant &uuid, const QVariant &title,
                                    const QVariant &dir, const QVariant &filter)
{
    PageCall call(this, "getOpenFileName", JSInvoke::getOpenFileNameError, uuid);
    const QString titleArg = call.text(title, "title");
    const QString dirArg = call.text(dir, "dir");
    const QString filterArg = call.text(filter, "filter");
    if (call.accepted())
        m_jsInterface->getOpenFileName(call.uuid(), titleArg, dirArg, filterArg);
}

void DesktopBridge::getSaveFileName(const QVariant &uuid, const QVariant &title,
                                    const QVariant &dir, const QVariant &filter)
{
    PageCall call(this, "getSaveFileName", JSInvoke::getSaveFileNameError, uuid);
    const QString titleArg = call.text(title, "title");
    const QString dirArg = call.text(dir, "dir");
    const QString filterArg = call.text(filter, "filter");
    if (call.accepted())
        m_jsInterface->getSaveFileName(call.uuid(), titleArg, dirArg, filterArg);
}

void DesktopBridge::openUrlPlatformDef(const QVariant &uuid, const QVariant &url)
{
    PageCall call(this, "openUrlPlatformDef", JSInvoke::openUrlPlatformDefFinish, uuid);
    const QString urlArg = call.text(url, "url");
    if (call.accepted())
        m_jsInterface->openUrlPlatformDef(call.uuid(), urlArg);
}

void DesktopBridge::exitApplication(const QVariant &uuid, const QVariant &exitCode)
{
    PageCall call(this, "exitApplication", JSInvoke::exitApplicationError, uuid);
    const int exitCodeArg = call.whole(exitCode, "exitCode");
    if (call.accepted())
        m_jsInterface->exitApplication(call.uuid(), exitCodeArg);
}

void DesktopBridge::applicationInfo(const QVariant &uuid)
{
    PageCall call(this, "applicationInfo", JSInvoke::applicationInfoDone, uuid);
    if (call.accepted())
        m_jsInterface->applicationInfo(call.uuid());
}

void DesktopBridge::setApplicationState(const QVariant &uuid, const QVariant &state)
{
    PageCall call(this, "setApplicationState", JSInvoke::setApplicationStateFinish, uuid);
    if (call.accepted()) // the state is not used: any value will do
        m_jsInterface->setApplicationState(call.uuid(), state.toString());
}

void DesktopBridge::getApplicationState(const QVariant &uuid)
{
    PageCall call(this, "getApplicationState", JSInvoke::getApplicationStateFinish, uuid);
    if (call.accepted())
        m_jsInterface->getApplicationState(call.uuid());
}

void DesktopBridge::stateChanged(int state)
{
    m_jsInterface->applicationStateChanged(state);
}

void DesktopBridge::onWindowClose()
{
    m_jsInterface->onWindowClose();
}

void DesktopBridge::playMedia(const QVariant &uuid, const QVariant &url)
{
    PageCall call(this, "playMedia", JSInvoke::playMediaError, uuid);
    const QString urlArg = call.text(url, "url");
    if (call.accepted())
        m_jsInterface->playMedia(call.uuid(), urlArg);
}

void DesktopBridge::setMediaStatus(const QVariant &uuid, const QVariant &status)
{
    PageCall call(this, "setMediaStatus", JSInvoke::setMediaStatusError, uuid);
    const QVariantMap statusArg = call.object(status, "status");
    if (call.accepted())
        m_jsInterface->setMediaStatus(call.uuid(), statusArg);
}

void DesktopBridge::mediaStatus(const QVariant &uuid)
{
    PageCall call(this, "mediaStatus", JSInvoke::mediaStatusDone, uuid);
    if (call.accepted())
        m_jsInterface->mediaStatus(call.uuid());
}

void DesktopBridge::recordAudio(const QVariant &uuid, const QVariant &url)
{
    PageCall call(this, "recordAudio", JSInvoke::recordAudioError, uuid);
    const QString urlArg = call.text(url, "url");
    if (call.accepted())
        m_jsInterface->recordAudio(call.uuid(), urlArg);
}

void DesktopBridge::audioRecordSettings(const QVariant &uuid)
{
    PageCall call(this, "audioRecordSettings", JSInvoke::audioRecordSettingsDone, uuid);
    if (call.accepted())
        m_jsInterface->audioRecordSettings(call.uuid());
}

void DesktopBridge::setAudioRecordSettings(const QVariant &uuid, const QVariant &settings)
{
    PageCall call(this, "setAudioRecordSettings", JSInvoke::setAudioRecordSettingsError, uuid);
    const QVariantMap settingsArg = call.object(settings, "settings");
    if (call.accepted())
        m_jsInterface->setAudioRecordSettings(call.uuid(), settingsArg);
}

void DesktopBridge::audioRecordStatus(const QVariant &uuid)
{
    PageCall call(this, "audioRecordStatus", JSInvoke::audioRecordStatusDone, uuid);
    if (call.accepted())
        m_jsInterface->audioRecordStatus(call.uuid());
}

void DesktopBridge::setAudioRecordStatus(const QVariant &uuid, const QVariant &status)
{
    PageCall call(this, "setAudioRecordStatus", JSInvoke::setAudioRecordStatusError, uuid);
    const QVariantMap statusArg = call.object(status, "status");
    if (call.accepted())
        m_jsInterface->setAudioRecordStatus(call.uuid(), statusArg);
}

void DesktopBridge::dbSql(const QVariant &uuid, const QVariant &query, const QVariant &data)
{
    PageCall call(this, "dbSql", JSInvoke::dbSqlFail, uuid);
    const QString queryArg = call.text(query, "query");
    const QVariantList dataArg = call.list(data, "data");
    if (call.accepted())
        m_jsInterface->dbSql(call.uuid(), queryArg, dataArg);
}

void DesktopBridge::dbSqlBatch(const QVariant &uuid, const QVariant &query, const QVariant &data)
{
    PageCall call(this, "dbSqlBatch", JSInvoke::dbSqlBatchFail, uuid);
    const QString queryArg = call.text(query, "query");
    const QVariantList dataArg = call.list(data, "data");
    if (call.accepted())
        m_jsInterface->dbSqlBatch(call.uuid(), queryArg, dataArg);
}

void DesktopBridge::dbTransaction(const QVariant &uuid)
{
    PageCall call(this, "dbTransaction", JSInvoke::dbTransactionError, uuid);
    if (call.accepted())
        m_jsInterface->dbTransaction(call.uuid());
}

void DesktopBridge::dbCommit(const QVariant &uuid)
{
    PageCall call(this, "dbCommit", JSInvoke::dbCommitError, uuid);
    if (call.accepted())
        m_jsInterface->dbCommit(call.uuid());
}

void DesktopBridge::dbRollback(const QVariant &uuid)
{
    PageCall call(this, "dbRollback", JSInvoke::dbRollbackError, uuid);
    if (call.accepted())
        m_jsInterface->dbRollback(call.uuid());
}

void DesktopBridge::saveDBItem(const QVariant &uuid, const QVariant &key, const QVariant &value)
{
    PageCall call(this, "saveDBItem", JSInvoke::saveDBItemError, uuid);
    const QString keyArg = call.text(key, "key");
    const QString valueArg = call.text(value, "value");
    if (call.accepted())
        m_jsInterface->saveDBItem(call.uuid(), keyArg, valueArg);
}

void DesktopBridge::saveDBItems(const QVariant &uuid, const QVariant &items)
{
    PageCall call(this, "saveDBItems", JSInvoke::saveDBItemsError, uuid);
    const QVariantMap itemsArg = call.object(items, "items");
    if (call.accepted())
        m_jsInterface->saveDBItems(call.uuid(), itemsArg);
}

void DesktopBridge::loadDBItem(const QVariant &uuid, const QVariant &key)
{
    PageCall call(this, "loadDBItem", JSInvoke::loadDBItemError, uuid);
    const QString keyArg = call.text(key, "key");
    if (call.accepted())
        m_jsInterface->loadDBItem(call.uuid(), keyArg);
}

void DesktopBridge::loadDBItems(const QVariant &uuid, const QVariant &keys)
{
    PageCall call(this, "loadDBItems", JSInvoke::loadDBItemsError, uuid);
    const QStringList keysArg = call.texts(keys, "keys");
    if (call.accepted())
        m_jsInterface->loadDBItems(call.uuid(), keysArg);
}

void DesktopBridge::removeDBItems(const QVariant &uuid, const QVariant &keys)
{
    PageCall call(this, "removeDBItems", JSInvoke::removeDBItemsError, uuid);
    const QStringList keysArg = call.texts(keys, "keys");
    if (call.accepted())
        m_jsInterface->removeDBItems(call.uuid(), keysArg);
}

void DesktopBridge::getDBKeys(const QVariant &uuid, const QVariant &pattern)
{
    PageCall call(this, "getDBKeys", JSInvoke::getDBKeysError, uuid);
    const QString patternArg = call.text(pattern, "pattern");
    if (call.accepted())
        m_jsInterface->getDBKeys(call.uuid(), patternArg);
}

void DesktopBridge::downloadFile(const QVariant &uuid, const QVariant &url,
                                 const QVariant &relFilePath, const QVariant &fileName)
{
    PageCall call(this, "downloadFile", JSInvoke::fileDownloadError, uuid);
    const QString urlArg = call.text(url, "url");
    const QString relFilePathArg = call.text(relFilePath, "relFilePath");
    const QString fileNameArg = call.text(fileName, "fileName");
    if (call.accepted())
        m_jsInterface->downloadFile(call.uuid(), urlArg, relFilePathArg, fileNameArg);
}

void DesktopBridge::abortDownloadFile(const QVariant &uuid)
{
    PageCall call(this, "abortDownloadFile", JSInvoke::fileDownloadError, uuid);
    if (call.accepted())
        m_jsInterface->abortDownloadFile(call.uuid());
}

void DesktopBridge::checkNetworkStatus(const QVariant &uuid, const QVariant &host)
{
    PageCall call(this, "checkNetworkStatus", JSInvoke::networkStatusChange, uuid);
    Q_UNUSED(host) // not used: any value will do
    if (call.accepted())
        m_jsInterface->checkNetworkStatus(call.uuid());
}

void DesktopBridge::startCamera(const QVariant &uuid)
{
    PageCall call(this, "startCamera", JSInvoke::startCameraFail, uuid);
    if (call.accepted())
        m_jsInterface->startCamera(call.uuid());
}

void DesktopBridge::stopCamera(const QVariant &uuid)
{
    PageCall call(this, "stopCamera", JSInvoke::stopCameraFail, uuid);
    if (call.accepted())
        m_jsInterface->stopCamera(call.uuid());
}

void DesktopBridge::setCameraText(const QVariant &uuid, const QVariant &text)
{
    PageCall call(this, "setCameraText", JSInvoke::setCameraTextDone, uuid);
    const QString textArg = call.text(text, "text");
    if (call.accepted())
        m_jsInterface->setCameraText(call.uuid(), textArg);
}

void DesktopBridge::getUSBDevices(const QVariant &uuid)
{
    PageCall call(this, "getUSBDevices", JSInvoke::getUSBDevicesFail, uuid);
    if (call.accepted())
        m_jsInterface->getUSBDevices(call.uuid());
}

void DesktopBridge::getMountedDevices(const QVariant &uuid)
{
    PageCall call(this, "getMountedDevices", JSInvoke::getMountedDevicesDone, uuid);
    if (call.accepted())
        m_jsInterface->getMountedDevices(call.uuid());
}

void DesktopBridge::archiveUnzip(const QVariant &uuid, const QVariant &zipPath,
                                 const QVariant &targetPath)
{
    PageCall call(this, "archiveUnzip", JSInvoke::archiveUnzipError, uuid);
    const QString zipPathArg = call.text(zipPath, "zipPath");
    const QString targetPathArg = call.text(targetPath, "targetPath");
    if (call.accepted())
        m_jsInterface->archiveUnzip(call.uuid(), zipPathArg, targetPathArg);
}

void DesktopBridge::abortArchiveUnzip(const QVariant &uuid)
{
    PageCall call(this, "abortArchiveUnzip", JSInvoke::archiveUnzipError, uuid);
    if (call.accepted())
        m_jsInterface->abortArchiveUnzip(call.uuid());
}

void DesktopBridge::zipAddFiles(const QVariant &uuid, const QVariant &archivePath,
                                const QVariant &mode, const QVariant &files)
{
    PageCall call(this, "zipAddFiles", JSInvoke::zipAddFilesFail, uuid);
    const QString archivePathArg = call.text(archivePath, "archivePath");
    const QString modeArg = call.text(mode, "mode");
    const QVariantMap filesArg = call.object(files, "files");
    if (call.accepted())
        m_jsInterface->zipAddFiles(call.uuid(), archivePathArg, modeArg, filesArg);
}

void DesktopBridge::zipReadFiles(const QVariant &uuid, const QVariant &archivePath,
                                 const QVariant &filesPaths)
{
    PageCall call(this, "zipReadFiles", JSInvoke::zipReadFilesFail, uuid);
    const QString archivePathArg = call.text(archivePath, "archivePath");
    const QVariantMap filesPathsArg = call.object(filesPaths, "filesPaths");
    if (call.accepted())
        m_jsInterface->zipReadFiles(call.uuid(), archivePathArg, filesPathsArg);
}

void DesktopBridge::zipCompressDirectory(const QVariant &uuid, const QVariant &archivePath,
                                         const QVariant &dirPath)
{
    PageCall call(this, "zipCompressDirectory", JSInvoke::zipCompressDirectoryFail, uuid);
    const QString archivePathArg = call.text(archivePath, "archivePath");
    const QString dirPathArg = call.text(dirPath, "dirPath");
    if (call.accepted())
        m_jsInterface->zipCompressDirectory(call.uuid(), archivePathArg, dirPathArg);
}

void DesktopBridge::zipListContents(const QVariant &uuid, const QVariant &archivePath)
{
    PageCall call(this, "zipListContents", JSInvoke::zipListContentsFail, uuid);
    const QString archivePathArg = call.text(archivePath, "archivePath");
    if (call.accepted())
        m_jsInterface->zipListContents(call.uuid(), archivePathArg);
}

void DesktopBridge::zipExtractFiles(const QVariant &uuid, const QVariant &archivePath,
                                    const QVariant &paths)
{
    PageCall call(this, "zipExtractFiles", JSInvoke::zipExtractFilesFail, uuid);
    const QString archivePathArg = call.text(archivePath, "archivePath");
    const QVariantMap pathsArg = call.object(paths, "paths");
    if (call.accepted())
        m_jsInterface->zipExtractFiles(call.uuid(), archivePathArg, pathsArg);
}
