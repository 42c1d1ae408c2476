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
#include <tuple>
#include <type_traits>
#include <utility>

#include <QEvent>
#include <QHash>
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

// A page argument read as the dispatcher's method takes it.
template <typename T>
T read(PageCall &call, const QVariant &value, const QString &name)
{
    if constexpr (std::is_same_v<T, QString>)
        return call.text(value, name);
    else if constexpr (std::is_same_v<T, QVariantMap>)
        return call.object(value, name);
    else if constexpr (std::is_same_v<T, QVariantList>)
        return call.list(value, name);
    else if constexpr (std::is_same_v<T, QStringList>)
        return call.texts(value, name);
    else
        return call.whole(value, name);
}

// A page method's parameter names as declared: the refusals name them.
QList<QByteArray> parameterNames(const char *method)
{
    static const QHash<QByteArray, QList<QByteArray>> names = [] {
        QHash<QByteArray, QList<QByteArray>> out;
        const QMetaObject &meta = DesktopBridge::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            out.insert(meta.method(i).name(), meta.method(i).parameterNames());
        return out;
    }();
    return names.value(method);
}

template <typename... Params, std::size_t... I>
void forwardRead(PageCall &call, JSInterface *dispatcher,
                 void (JSInterface::*target)(const QString &, Params...), const QVariant *values,
                 const QList<QByteArray> &names, std::index_sequence<I...>)
{
    // Braces: read left to right, so a refusal names the first wrong argument.
    const std::tuple<std::decay_t<Params>...> args{read<std::decay_t<Params>>(
        call, values[I], QString::fromLatin1(names.value(int(I) + 1)))...};
    if (call.accepted())
        std::apply([&](const auto &...a) { (dispatcher->*target)(call.uuid(), a...); }, args);
}

// One page call: its arguments checked and read as the dispatcher's method
// takes them, then passed on, or the call refused under failure.
template <typename... Params, typename... Raw>
void forward(DesktopBridge *bridge, const char *method, JSInvoke::_JSInvoke failure,
             void (JSInterface::*target)(const QString &, Params...), const QVariant &uuid,
             const Raw &...raw)
{
    static_assert(sizeof...(Params) == sizeof...(Raw), "one page argument per parameter");
    PageCall call(bridge, method, failure, uuid);
    const QVariant values[] = {raw..., QVariant()};
    forwardRead(call, bridge->dispatcher(), target, values, parameterNames(method),
                std::index_sequence_for<Params...>());
}

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
    forward(this, __func__, JSInvoke::initializeError, &JSInterface::initialize, uuid);
}

void DesktopBridge::finalize(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::finalizeError, &JSInterface::finalize, uuid);
}

void DesktopBridge::initializePlugin(const QVariant &uuid, const QVariant &pluginName,
                                     const QVariant &params)
{
    forward(this, __func__, JSInvoke::initializePluginFail, &JSInterface::initializePlugin,
            uuid, pluginName, params);
}

void DesktopBridge::fsItemsInfo(const QVariant &uuid, const QVariant &paths)
{
    forward(this, __func__, JSInvoke::fsItemsInfoFinish, &JSInterface::fsItemsInfo, uuid, paths);
}

void DesktopBridge::fsItemsDelete(const QVariant &uuid, const QVariant &paths)
{
    forward(this, __func__, JSInvoke::fsItemsDeleteFinish, &JSInterface::fsItemsDelete,
            uuid, paths);
}

void DesktopBridge::fsItemsCopy(const QVariant &uuid, const QVariant &paths)
{
    forward(this, __func__, JSInvoke::fsItemsCopyFinish, &JSInterface::fsItemsCopy, uuid, paths);
}

void DesktopBridge::fsItemsList(const QVariant &uuid, const QVariant &paths)
{
    forward(this, __func__, JSInvoke::fsItemsListDone, &JSInterface::fsItemsList, uuid, paths);
}

void DesktopBridge::fsContentsRootPath(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::fsContentsRootPathFinish, &JSInterface::fsContentsRootPath,
            uuid);
}

void DesktopBridge::getOpenFileName(const QVariant &uuid, const QVariant &title,
                                    const QVariant &dir, const QVariant &filter)
{
    forward(this, __func__, JSInvoke::getOpenFileNameError, &JSInterface::getOpenFileName,
            uuid, title, dir, filter);
}

void DesktopBridge::getSaveFileName(const QVariant &uuid, const QVariant &title,
                                    const QVariant &dir, const QVariant &filter)
{
    forward(this, __func__, JSInvoke::getSaveFileNameError, &JSInterface::getSaveFileName,
            uuid, title, dir, filter);
}

void DesktopBridge::openUrlPlatformDef(const QVariant &uuid, const QVariant &url)
{
    forward(this, __func__, JSInvoke::openUrlPlatformDefFinish, &JSInterface::openUrlPlatformDef,
            uuid, url);
}

void DesktopBridge::exitApplication(const QVariant &uuid, const QVariant &exitCode)
{
    forward(this, __func__, JSInvoke::exitApplicationError, &JSInterface::exitApplication,
            uuid, exitCode);
}

void DesktopBridge::applicationInfo(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::applicationInfoDone, &JSInterface::applicationInfo, uuid);
}

void DesktopBridge::setApplicationState(const QVariant &uuid, const QVariant &state)
{
    PageCall call(this, "setApplicationState", JSInvoke::setApplicationStateFinish, uuid);
    if (call.accepted()) // the state is not used: any value will do
        m_jsInterface->setApplicationState(call.uuid(), state.toString());
}

void DesktopBridge::getApplicationState(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::getApplicationStateFinish, &JSInterface::getApplicationState,
            uuid);
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
    forward(this, __func__, JSInvoke::playMediaError, &JSInterface::playMedia, uuid, url);
}

void DesktopBridge::setMediaStatus(const QVariant &uuid, const QVariant &status)
{
    forward(this, __func__, JSInvoke::setMediaStatusError, &JSInterface::setMediaStatus,
            uuid, status);
}

void DesktopBridge::mediaStatus(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::mediaStatusDone, &JSInterface::mediaStatus, uuid);
}

void DesktopBridge::recordAudio(const QVariant &uuid, const QVariant &url)
{
    forward(this, __func__, JSInvoke::recordAudioError, &JSInterface::recordAudio, uuid, url);
}

void DesktopBridge::audioRecordSettings(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::audioRecordSettingsDone, &JSInterface::audioRecordSettings,
            uuid);
}

void DesktopBridge::setAudioRecordSettings(const QVariant &uuid, const QVariant &settings)
{
    forward(this, __func__, JSInvoke::setAudioRecordSettingsError,
            &JSInterface::setAudioRecordSettings, uuid, settings);
}

void DesktopBridge::audioRecordStatus(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::audioRecordStatusDone, &JSInterface::audioRecordStatus, uuid);
}

void DesktopBridge::setAudioRecordStatus(const QVariant &uuid, const QVariant &status)
{
    forward(this, __func__, JSInvoke::setAudioRecordStatusError, &JSInterface::setAudioRecordStatus,
            uuid, status);
}

void DesktopBridge::dbSql(const QVariant &uuid, const QVariant &query, const QVariant &data)
{
    forward(this, __func__, JSInvoke::dbSqlFail, &JSInterface::dbSql, uuid, query, data);
}

void DesktopBridge::dbSqlBatch(const QVariant &uuid, const QVariant &query, const QVariant &data)
{
    forward(this, __func__, JSInvoke::dbSqlBatchFail, &JSInterface::dbSqlBatch, uuid, query, data);
}

void DesktopBridge::dbTransaction(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::dbTransactionError, &JSInterface::dbTransaction, uuid);
}

void DesktopBridge::dbCommit(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::dbCommitError, &JSInterface::dbCommit, uuid);
}

void DesktopBridge::dbRollback(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::dbRollbackError, &JSInterface::dbRollback, uuid);
}

void DesktopBridge::saveDBItem(const QVariant &uuid, const QVariant &key, const QVariant &value)
{
    forward(this, __func__, JSInvoke::saveDBItemError, &JSInterface::saveDBItem, uuid, key, value);
}

void DesktopBridge::saveDBItems(const QVariant &uuid, const QVariant &items)
{
    forward(this, __func__, JSInvoke::saveDBItemsError, &JSInterface::saveDBItems, uuid, items);
}

void DesktopBridge::loadDBItem(const QVariant &uuid, const QVariant &key)
{
    forward(this, __func__, JSInvoke::loadDBItemError, &JSInterface::loadDBItem, uuid, key);
}

void DesktopBridge::loadDBItems(const QVariant &uuid, const QVariant &keys)
{
    forward(this, __func__, JSInvoke::loadDBItemsError, &JSInterface::loadDBItems, uuid, keys);
}

void DesktopBridge::removeDBItems(const QVariant &uuid, const QVariant &keys)
{
    forward(this, __func__, JSInvoke::removeDBItemsError, &JSInterface::removeDBItems, uuid, keys);
}

void DesktopBridge::getDBKeys(const QVariant &uuid, const QVariant &pattern)
{
    forward(this, __func__, JSInvoke::getDBKeysError, &JSInterface::getDBKeys, uuid, pattern);
}

void DesktopBridge::downloadFile(const QVariant &uuid, const QVariant &url,
                                 const QVariant &relFilePath, const QVariant &fileName)
{
    forward(this, __func__, JSInvoke::fileDownloadError, &JSInterface::downloadFile,
            uuid, url, relFilePath, fileName);
}

void DesktopBridge::abortDownloadFile(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::fileDownloadError, &JSInterface::abortDownloadFile, uuid);
}

void DesktopBridge::checkNetworkStatus(const QVariant &uuid, const QVariant &host)
{
    Q_UNUSED(host) // not used: any value will do
    forward(this, __func__, JSInvoke::networkStatusChange, &JSInterface::checkNetworkStatus, uuid);
}

void DesktopBridge::startCamera(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::startCameraFail, &JSInterface::startCamera, uuid);
}

void DesktopBridge::stopCamera(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::stopCameraFail, &JSInterface::stopCamera, uuid);
}

void DesktopBridge::setCameraText(const QVariant &uuid, const QVariant &text)
{
    forward(this, __func__, JSInvoke::setCameraTextDone, &JSInterface::setCameraText, uuid, text);
}

void DesktopBridge::getUSBDevices(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::getUSBDevicesFail, &JSInterface::getUSBDevices, uuid);
}

void DesktopBridge::getMountedDevices(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::getMountedDevicesDone, &JSInterface::getMountedDevices, uuid);
}

void DesktopBridge::archiveUnzip(const QVariant &uuid, const QVariant &zipPath,
                                 const QVariant &targetPath)
{
    forward(this, __func__, JSInvoke::archiveUnzipError, &JSInterface::archiveUnzip,
            uuid, zipPath, targetPath);
}

void DesktopBridge::abortArchiveUnzip(const QVariant &uuid)
{
    forward(this, __func__, JSInvoke::archiveUnzipError, &JSInterface::abortArchiveUnzip, uuid);
}

void DesktopBridge::zipAddFiles(const QVariant &uuid, const QVariant &archivePath,
                                const QVariant &mode, const QVariant &files)
{
    forward(this, __func__, JSInvoke::zipAddFilesFail, &JSInterface::zipAddFiles,
            uuid, archivePath, mode, files);
}

void DesktopBridge::zipReadFiles(const QVariant &uuid, const QVariant &archivePath,
                                 const QVariant &filesPaths)
{
    forward(this, __func__, JSInvoke::zipReadFilesFail, &JSInterface::zipReadFiles,
            uuid, archivePath, filesPaths);
}

void DesktopBridge::zipCompressDirectory(const QVariant &uuid, const QVariant &archivePath,
                                         const QVariant &dirPath)
{
    forward(this, __func__, JSInvoke::zipCompressDirectoryFail, &JSInterface::zipCompressDirectory,
            uuid, archivePath, dirPath);
}

void DesktopBridge::zipListContents(const QVariant &uuid, const QVariant &archivePath)
{
    forward(this, __func__, JSInvoke::zipListContentsFail, &JSInterface::zipListContents,
            uuid, archivePath);
}

void DesktopBridge::zipExtractFiles(const QVariant &uuid, const QVariant &archivePath,
                                    const QVariant &paths)
{
    forward(this, __func__, JSInvoke::zipExtractFilesFail, &JSInterface::zipExtractFiles,
            uuid, archivePath, paths);
}
