#pragma once

// Wire vocabulary. The enumerator names are the texts the page, the
// configuration file and the path registry depend on: never rename one.

#include <QMetaEnum>
#include <QObject>
#include <QString>

namespace Constants {

namespace JSInvoke {
Q_NAMESPACE
enum _JSInvoke {
    initializeDone, initializeError, finalizeDone, finalizeError,
    initializePluginDone, initializePluginFail, applicationInfoDone,
    applicationStateChanged, setApplicationStateFinish, getApplicationStateFinish,
    onKeyReleased, fileDownloadStart, fileDownloadFinish, fileDownloadProgress,
    fileDownloadError, fileDownloadAbort, archiveUnzipFinish, archiveUnzipProgress,
    archiveUnzipError, archiveUnzipAbort, zipAddFilesFail, zipAddFilesDone,
    zipReadFilesFail, zipReadFilesDone, zipCompressDirectoryFail,
    zipCompressDirectoryDone, zipListContentsFail, zipListContentsDone,
    zipExtractFilesFail, zipExtractFilesDone, networkStatusChange, ajaxResponse,
    ajaxError, fsItemsListDone, fsItemsInfoFinish, fsItemsDeleteFinish,
    fsContentsRootPathFinish, fsItemsCopyFinish, openVideoFinish, playMediaStarted,
    playMediaDone, playMediaError, mediaStatusChanged, mediaStatusDone,
    setMediaStatusDone, setMediaStatusError, audioRecordStatusDone,
    audioRecordSettingsDone, audioRecordSettingsChanged, audioRecordStatusChanged,
    recordAudioStarted, recordAudioDone, recordAudioError, setAudioRecordStatusDone,
    setAudioRecordStatusError, setAudioRecordSettingsDone, setAudioRecordSettingsError,
    getOpenFileNameFinish, getOpenFileNameError, getSaveFileNameFinish,
    getSaveFileNameError, dbTransactionFinish, dbTransactionError, dbCommitFinish,
    dbCommitError, dbRollbackFinish, dbRollbackError, dbSqlDone, dbSqlFail,
    dbSqlBatchDone, dbSqlBatchFail, saveDBItemDone, saveDBItemError, saveDBItemsDone,
    saveDBItemsError, loadDBItemDone, loadDBItemError, loadDBItemsDone,
    loadDBItemsError, removeDBItemsFinish, removeDBItemsError, getDBKeysFinish,
    getDBKeysError, startCameraFail, startCameraDone, stopCameraFail, stopCameraDone,
    setCameraTextDone, cameraClose, barcodeScanned, getUSBDevicesDone,
    getUSBDevicesFail, getMountedDevicesDone, openUrlPlatformDefFinish,
    onApplicationClose, exitApplicationError
};
Q_ENUM_NS(_JSInvoke)
} // namespace JSInvoke

namespace Other {
Q_NAMESPACE
enum _Other {
    Initialize, temporary, local, uuid, abort_uuid, code, version,
    last_progress_bytes, filepath, file_path, file_name, filename, filedir,
    home_path, homePath, downloaded_path, download_path, downloadPath,
    contents_root_path, contentsPath, wrapper_access_path, wrapperAccessPath,
    documents_path, documentsPath, target_path, extracted_path, devices, name,
    total, progress, status, online, offline, isValid, isReady, rootPath,
    isReadyOnly, displayName, display_name, result, size, exists, existed, isDir,
    isWritable, isReadable, isDeleted, isAvailable, entries, data, raw, path,
    storage, dir_path, state_code, location, type, low, verylow, normal, high,
    veryhigh, add, create, from, to, bytesTotal, bytesAvailable, bytesFree, device,
    tag, errorString, outputLocation, audioInput, audioInputs, state, lastState,
    isMuted, muted, volume, duration, codec, codecs, container, containers,
    defaultAudioInput, codecDescriptions, audioInputsDescriptions, quality, bitRate,
    channelCount, sampleRate, containerDescriptions, media, currentMedia,
    notifyInterval, playbackRate, position, bufferStatus, mediaStatus, isSeekable,
    key_code, crc, zipPath, comment, compressedSize, uncompressedSize, source,
    target, audio, video, stream, files, encrypted, message, base64
};
Q_ENUM_NS(_Other)
} // namespace Other

namespace Plugins {
Q_NAMESPACE
enum _Plugins {
    Storage, Application, Camera, Network, AudioRecorder, AudioPlayer,
    FileDownloader, FileSystem, Hardware, Zip, Archive
};
Q_ENUM_NS(_Plugins)
} // namespace Plugins

namespace PathManager {
Q_NAMESPACE
enum _PathManager {
    homePath, downloadPath, wrapperRootPath, wrapperAccessPath, contentsPath,
    wrapperIndexPath, wrapperArchivePath, configPath, localStorageRootPath,
    localStoragePath, wrapperStartupPath, logsPath, documentsPath
};
Q_ENUM_NS(_PathManager)
} // namespace PathManager

namespace UrlSchema {
Q_NAMESPACE
enum _UrlSchema { file, kelzip };
Q_ENUM_NS(_UrlSchema)
} // namespace UrlSchema

namespace Tag {
Q_NAMESPACE
enum _Tag {
    wrapper, interceptor, RequestInterceptor, ForwardRequestInterceptor,
    archiveManager, zip, kelcab
};
Q_ENUM_NS(_Tag)
} // namespace Tag

namespace Http {
Q_NAMESPACE
enum _Http { HEAD, GET };
Q_ENUM_NS(_Http)
} // namespace Http

// Keys of the page's ajax settings and of its reply.
namespace Network {
Q_NAMESPACE
enum _Network { method, type, headers, response };
Q_ENUM_NS(_Network)
} // namespace Network

// The shell's own codes in a payload's "code". The page sees the numbers
// only; every other code is the operating system's or a library's.
namespace Code {
enum _Code : int {
    Ok = 0,
    DownloadBusy = 601,          // a download is already receiving data
    DownloadNotStored = 602,     // the downloaded file cannot be put in place
    CopyFailed = 605,            // a file copy failed
    BadArguments = 606,          // a call's arguments are invalid
    UnknownPlugin = 607,         // initializePlugin with a name that is no plugin
    DeviceUnavailable = 608,     // recorder or camera: in use, not set up or failing
    DialogCancelled = 609,       // a file dialog was cancelled
    AnswerTooLarge = 610,        // the answer would not fit through the web channel
    ZipInvalidRequest = -102,    // unknown add mode, invalid item, missing source or target
    ZipSourceUnreadable = -104,  // a local file to add cannot be read
    ZipTargetUnwritable = -1000, // an extraction target cannot be written
};
} // namespace Code

// The enumerator's own name, produced through the meta-object. The key texts
// are interned once per enumeration: payload building is on every response.
template <typename E>
QString name(E value)
{
    static const QMetaEnum meta = QMetaEnum::fromType<E>();
    static const QVector<QString> names = [] {
        QVector<QString> out;
        int maxValue = -1;
        for (int i = 0; i < meta.keyCount(); ++i)
            maxValue = qMax(maxValue, meta.value(i));
        out.resize(maxValue + 1);
        for (int i = 0; i < meta.keyCount(); ++i)
            out[meta.value(i)] = QString::fromLatin1(meta.key(i));
        return out;
    }();
    const int v = static_cast<int>(value);
    return (v >= 0 && v < names.size()) ? names.at(v) : QString();
}

// Short forms for the two enumerations used on every page call.
inline QString key(Other::_Other k) { return name(k); }
inline QString callback(JSInvoke::_JSInvoke c) { return name(c); }

} // namespace Constants
