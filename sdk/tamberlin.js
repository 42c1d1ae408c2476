// Promise-based client of the shell's page API (`shellInterface`).
// Plain ES module, no build step:
//   import { connect } from './tamberlin.js';
//   const shell = await connect();
//   const info = await shell.applicationInfo();
// The wire contract is the shell's: every method takes a uuid first and is
// answered through the invokeJSCall signal by callbacks that carry it back.
// This module makes the uuids, matches the callbacks to their call by uuid
// (so concurrent calls may be answered in any order), and turns each call
// into a Promise.

// Per method: [argument names, success callbacks, failure callbacks,
// progress callbacks]. A call ends with its first success or failure
// callback; progress callbacks reach options.onProgress until then.
const METHODS = {
    initialize: [[], 'initializeDone'],
    finalize: [[], 'finalizeDone'],
    initializePlugin: [['pluginName', 'params'], 'initializePluginDone', 'initializePluginFail'],

    applicationInfo: [[], 'applicationInfoDone'],
    getApplicationState: [[], 'getApplicationStateFinish'],
    setApplicationState: [['state'], 'setApplicationStateFinish'],
    openUrlPlatformDef: [['url'], 'openUrlPlatformDefFinish'],

    getOpenFileName: [['title', 'dir', 'filter'], 'getOpenFileNameFinish', 'getOpenFileNameError'],
    getSaveFileName: [['title', 'dir', 'filter'], 'getSaveFileNameFinish', 'getSaveFileNameError'],

    fsItemsInfo: [['paths'], 'fsItemsInfoFinish'],
    fsItemsDelete: [['paths'], 'fsItemsDeleteFinish'],
    fsItemsCopy: [['paths'], 'fsItemsCopyFinish'],
    fsItemsList: [['paths'], 'fsItemsListDone'],
    fsContentsRootPath: [[], 'fsContentsRootPathFinish'],

    saveDBItem: [['key', 'value'], 'saveDBItemDone', 'saveDBItemError'],
    saveDBItems: [['items'], 'saveDBItemsDone', 'saveDBItemsError'],
    loadDBItem: [['key'], 'loadDBItemDone', 'loadDBItemError'],
    loadDBItems: [['keys'], 'loadDBItemsDone', 'loadDBItemsError'],
    removeDBItems: [['keys'], 'removeDBItemsFinish', 'removeDBItemsError'],
    getDBKeys: [['pattern'], 'getDBKeysFinish', 'getDBKeysError'],
    dbSql: [['query', 'data'], 'dbSqlDone', 'dbSqlFail'],
    dbSqlBatch: [['query', 'data'], 'dbSqlBatchDone', 'dbSqlBatchFail'],
    dbTransaction: [[], 'dbTransactionFinish', 'dbTransactionError'],
    dbCommit: [[], 'dbCommitFinish', 'dbCommitError'],
    dbRollback: [[], 'dbRollbackFinish', 'dbRollbackError'],

    downloadFile: [['url', 'relFilePath', 'fileName'], 'fileDownloadFinish', 'fileDownloadError',
                   'fileDownloadStart fileDownloadProgress'],
    // Answered on the abort's own uuid; the download itself then ends with
    // fileDownloadError code 5 on its uuid.
    abortDownloadFile: [[], 'fileDownloadAbort'],
    checkNetworkStatus: [['host'], 'networkStatusChange'],

    playMedia: [['url'], 'playMediaDone', 'playMediaError', 'playMediaStarted mediaStatusChanged'],
    mediaStatus: [[], 'mediaStatusDone'],
    setMediaStatus: [['status'], 'setMediaStatusDone', 'setMediaStatusError'],
    recordAudio: [['url'], 'recordAudioDone', 'recordAudioError',
                  'recordAudioStarted audioRecordStatusChanged'],
    audioRecordStatus: [[], 'audioRecordStatusDone'],
    setAudioRecordStatus: [['status'], 'setAudioRecordStatusDone', 'setAudioRecordStatusError'],
    audioRecordSettings: [[], 'audioRecordSettingsDone'],
    setAudioRecordSettings: [['settings'], 'setAudioRecordSettingsDone',
                             'setAudioRecordSettingsError', 'audioRecordSettingsChanged'],

    startCamera: [[], 'startCameraDone', 'startCameraFail'],
    stopCamera: [[], 'stopCameraDone', 'stopCameraFail'],
    setCameraText: [['text'], 'setCameraTextDone'],

    getUSBDevices: [[], 'getUSBDevicesDone', 'getUSBDevicesFail'],
    getMountedDevices: [[], 'getMountedDevicesDone'],

    zipAddFiles: [['archivePath', 'mode', 'files'], 'zipAddFilesDone', 'zipAddFilesFail'],
    zipReadFiles: [['archivePath', 'filesPaths'], 'zipReadFilesDone', 'zipReadFilesFail'],
    zipCompressDirectory: [['archivePath', 'dirPath'], 'zipCompressDirectoryDone',
                           'zipCompressDirectoryFail'],
    zipListContents: [['archivePath'], 'zipListContentsDone', 'zipListContentsFail'],
    zipExtractFiles: [['archivePath', 'paths'], 'zipExtractFilesDone', 'zipExtractFilesFail'],
    archiveUnzip: [['zipPath', 'targetPath'], 'archiveUnzipFinish',
                   'archiveUnzipError archiveUnzipAbort', 'archiveUnzipProgress'],
};

// Notices the shell sends on its own. barcodeScanned and cameraClose carry
// the uuid of the camera's initializePlugin call, which has ended by then;
// networkStatusChange is also the answer of checkNetworkStatus.
export const EVENTS = ['networkStatusChange', 'applicationStateChanged', 'applicationEvent',
                       'onApplicationClose', 'barcodeScanned', 'cameraClose'];

export class TamberlinError extends Error {
    // code: the failure callback's `code`; 'timeout', 'aborted' or
    // 'unavailable' for what this module detects; null when the callback
    // carries none (storage failures).
    constructor(code, message, details = {}) {
        super(message);
        this.name = 'TamberlinError';
        this.code = code;
        this.method = details.method;
        this.callback = details.callback;
        this.data = details.data;
    }
}

let sequence = 0;
function makeUuid() {
    if (globalThis.crypto && typeof globalThis.crypto.randomUUID === 'function')
        return globalThis.crypto.randomUUID();
    sequence++;
    return 'tb-' + Date.now().toString(36) + '-' + sequence + '-'
        + Math.random().toString(16).slice(2, 10);
}

function words(text) {
    return text ? text.split(' ') : [];
}

function failureOf(method, callback, data) {
    if (callback === 'archiveUnzipAbort')
        return new TamberlinError('aborted', method + ' was aborted', { method, callback, data });
    const code = data && data.code !== undefined ? data.code : null;
    let message = data && (typeof data.message === 'string' ? data.message : data.errorString);
    if (!message && data && data.message !== undefined)
        message = JSON.stringify(data.message);
    if (!message)
        message = method + ' failed (' + callback + (code === null ? '' : ', code ' + code) + ')';
    return new TamberlinError(code, message, { method, callback, data });
}

export class Tamberlin {
    // shell: the web channel's shellInterface object. options.timeout: the
    // default time-out of every call in ms (0 or absent: none).
    constructor(shell, options = {}) {
        this.shell = shell;
        this.timeout = options.timeout || 0;
        this._pending = new Map();
        this._listeners = new Map();
        shell.invokeJSCall.connect((name, data) => this._dispatch(name, data));
    }

    // Calls any page method by name: args without the uuid. Resolves with
    // the success callback's payload; the returned Promise carries the
    // call's `uuid`.
    call(method, args = [], options = {}) {
        const shape = METHODS[method];
        const uuid = makeUuid();
        let promise;
        if (!shape || typeof this.shell[method] !== 'function') {
            promise = Promise.reject(new TamberlinError('unavailable',
                'the shell offers no method ' + method, { method }));
        } else {
            promise = new Promise((resolve, reject) => {
                const call = {
                    method, resolve, reject,
                    done: words(shape[1]), fail: words(shape[2]), progress: words(shape[3]),
                    onProgress: options.onProgress, timer: null, rearm: null,
                };
                // The client's default leaves out calls with progress (a long
                // download, a paused playback); an explicit time-out counts
                // from the call's last callback.
                const timeout = options.timeout !== undefined ? options.timeout
                    : (call.progress.length ? 0 : this.timeout);
                if (timeout > 0) {
                    call.rearm = () => {
                        clearTimeout(call.timer);
                        call.timer = setTimeout(() => {
                            this._pending.delete(uuid);
                            reject(new TamberlinError('timeout',
                                method + ' got no answer within ' + timeout + ' ms', { method }));
                        }, timeout);
                    };
                    call.rearm();
                }
                this._pending.set(uuid, call);
                const wire = shape[0].map((_, i) => (args[i] === undefined ? null : args[i]));
                this.shell[method](uuid, ...wire);
            });
        }
        promise.uuid = uuid;
        return promise;
    }

    // Subscribes fn(data, name) to an unsolicited notice; returns the
    // function that ends the subscription.
    on(name, fn) {
        if (!this._listeners.has(name))
            this._listeners.set(name, new Set());
        this._listeners.get(name).add(fn);
        return () => this.off(name, fn);
    }

    off(name, fn) {
        const set = this._listeners.get(name);
        if (set)
            set.delete(fn);
    }

    // The next notice of that name.
    once(name) {
        return new Promise((resolve) => {
            const stop = this.on(name, (data) => {
                stop();
                resolve(data);
            });
        });
    }

    // Calls without an answer of their own.
    exitApplication(exitCode = 0) {
        this.shell.exitApplication(makeUuid(), exitCode);
        return Promise.resolve();
    }

    // target: the archiveUnzip call's Promise or its uuid; that call then
    // rejects with code 'aborted'.
    abortArchiveUnzip(target) {
        this.shell.abortArchiveUnzip(typeof target === 'string' ? target : target.uuid);
        return Promise.resolve();
    }

    // The shell calls these itself; offered for completeness.
    stateChanged(state) {
        this.shell.stateChanged(state);
        return Promise.resolve();
    }

    onWindowClose() {
        this.shell.onWindowClose();
        return Promise.resolve();
    }

    _dispatch(name, data) {
        const uuid = data && data.uuid;
        const call = uuid ? this._pending.get(uuid) : undefined;
        if (call) {
            if (call.progress.includes(name)) {
                if (call.rearm)
                    call.rearm();
                if (call.onProgress) {
                    try {
                        call.onProgress(data, name);
                    } catch (e) {
                        console.error('tamberlin: progress handler of ' + call.method + ': ' + e);
                    }
                }
                return;
            }
            const ok = call.done.includes(name);
            if (ok || call.fail.includes(name)) {
                this._pending.delete(uuid);
                clearTimeout(call.timer);
                if (ok)
                    call.resolve(data);
                else
                    call.reject(failureOf(call.method, name, data));
                return;
            }
        }
        const set = this._listeners.get(name);
        if (!set)
            return;
        for (const fn of [...set]) {
            try {
                fn(data, name);
            } catch (e) {
                console.error('tamberlin: ' + name + ' handler: ' + e);
            }
        }
    }
}

// One method per page method: the wire's arguments after the uuid, then an
// optional options object {timeout, onProgress}.
for (const [method, shape] of Object.entries(METHODS)) {
    const count = shape[0].length;
    Tamberlin.prototype[method] = function (...args) {
        return this.call(method, args.slice(0, count), args[count] || {});
    };
}

export const METHOD_NAMES = Object.keys(METHODS).concat(
    ['exitApplication', 'abortArchiveUnzip', 'stateChanged', 'onWindowClose']);

// Connects through Qt's qwebchannel.js (loaded by the page before this
// module runs). Resolves with a Tamberlin client.
export function connect(options = {}) {
    const Channel = options.QWebChannel || globalThis.QWebChannel;
    const transport = options.transport || (globalThis.qt && globalThis.qt.webChannelTransport);
    if (!Channel || !transport) {
        return Promise.reject(new TamberlinError('unavailable',
            'no web channel: load qwebchannel.js and run the page in the shell'));
    }
    return new Promise((resolve) => {
        new Channel(transport, (channel) => {
            resolve(new Tamberlin(channel.objects.shellInterface, options));
        });
    });
}

export default connect;
