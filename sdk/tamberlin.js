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

// Per method: [arguments, success callbacks, failure callbacks, progress
// callbacks]. An argument is its name, with "?" when it may be left out and
// ":kind" when it is not text (object, list, texts: a list of text; any: not
// used by the shell). A call ends with its first success or failure
// callback; progress callbacks reach options.onProgress until then.
const METHODS = {
    initialize: [[], 'initializeDone', 'initializeError'],
    finalize: [[], 'finalizeDone', 'finalizeError'],
    initializePlugin: [['pluginName', 'params?:object'], 'initializePluginDone', 'initializePluginFail'],

    applicationInfo: [[], 'applicationInfoDone'],
    getApplicationState: [[], 'getApplicationStateFinish'],
    setApplicationState: [['state:any'], 'setApplicationStateFinish'],
    openUrlPlatformDef: [['url'], 'openUrlPlatformDefFinish'],

    getOpenFileName: [['title', 'dir', 'filter'], 'getOpenFileNameFinish', 'getOpenFileNameError'],
    getSaveFileName: [['title', 'dir', 'filter'], 'getSaveFileNameFinish', 'getSaveFileNameError'],

    fsItemsInfo: [['paths:object'], 'fsItemsInfoFinish'],
    fsItemsDelete: [['paths:object'], 'fsItemsDeleteFinish'],
    fsItemsCopy: [['paths:object'], 'fsItemsCopyFinish'],
    fsItemsList: [['paths:object'], 'fsItemsListDone'],
    fsContentsRootPath: [[], 'fsContentsRootPathFinish'],

    saveDBItem: [['key', 'value'], 'saveDBItemDone', 'saveDBItemError'],
    saveDBItems: [['items:object'], 'saveDBItemsDone', 'saveDBItemsError'],
    loadDBItem: [['key'], 'loadDBItemDone', 'loadDBItemError'],
    loadDBItems: [['keys:texts'], 'loadDBItemsDone', 'loadDBItemsError'],
    removeDBItems: [['keys:texts'], 'removeDBItemsFinish', 'removeDBItemsError'],
    getDBKeys: [['pattern'], 'getDBKeysFinish', 'getDBKeysError'],
    dbSql: [['query', 'data?:list'], 'dbSqlDone', 'dbSqlFail'],
    dbSqlBatch: [['query', 'data:list'], 'dbSqlBatchDone', 'dbSqlBatchFail'],
    dbTransaction: [[], 'dbTransactionFinish', 'dbTransactionError'],
    dbCommit: [[], 'dbCommitFinish', 'dbCommitError'],
    dbRollback: [[], 'dbRollbackFinish', 'dbRollbackError'],

    downloadFile: [['url', 'relFilePath', 'fileName'], 'fileDownloadFinish', 'fileDownloadError',
                   'fileDownloadStart fileDownloadProgress'],
    // Answered on the abort's own uuid; the download itself then ends with
    // fileDownloadError code 5 on its uuid.
    abortDownloadFile: [[], 'fileDownloadAbort', 'fileDownloadError'],
    checkNetworkStatus: [['host?:any'], 'networkStatusChange'],

    playMedia: [['url'], 'playMediaDone', 'playMediaError', 'playMediaStarted mediaStatusChanged'],
    mediaStatus: [[], 'mediaStatusDone'],
    setMediaStatus: [['status:object'], 'setMediaStatusDone', 'setMediaStatusError'],
    recordAudio: [['url'], 'recordAudioDone', 'recordAudioError',
                  'recordAudioStarted audioRecordStatusChanged'],
    audioRecordStatus: [[], 'audioRecordStatusDone'],
    setAudioRecordStatus: [['status:object'], 'setAudioRecordStatusDone', 'setAudioRecordStatusError'],
    audioRecordSettings: [[], 'audioRecordSettingsDone'],
    setAudioRecordSettings: [['settings:object'], 'setAudioRecordSettingsDone',
                             'setAudioRecordSettingsError', 'audioRecordSettingsChanged'],

    startCamera: [[], 'startCameraDone', 'startCameraFail'],
    stopCamera: [[], 'stopCameraDone', 'stopCameraFail'],
    setCameraText: [['text'], 'setCameraTextDone'],

    getUSBDevices: [[], 'getUSBDevicesDone', 'getUSBDevicesFail'],
    getMountedDevices: [[], 'getMountedDevicesDone'],

    zipAddFiles: [['archivePath', 'mode', 'files:object'], 'zipAddFilesDone', 'zipAddFilesFail'],
    zipReadFiles: [['archivePath', 'filesPaths:object'], 'zipReadFilesDone', 'zipReadFilesFail'],
    zipCompressDirectory: [['archivePath', 'dirPath'], 'zipCompressDirectoryDone',
                           'zipCompressDirectoryFail'],
    zipListContents: [['archivePath'], 'zipListContentsDone', 'zipListContentsFail'],
    zipExtractFiles: [['archivePath', 'paths:object'], 'zipExtractFilesDone', 'zipExtractFilesFail'],
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
    // 'unavailable' for what this module detects, 606 for arguments it
    // refuses to send (as the shell refuses them); null when the callback
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

// Arguments are checked before they are sent: the channel drops a call
// whose argument count is wrong, or whose message is too large, without an
// answer, and hands the shell empty values for arguments of the wrong kind.
// The kinds and the messages are the shell's own (it refuses what reaches
// it the same way); null stands for the empty value of every kind.
const WORDS = { text: 'text', object: 'an object', list: 'a list', texts: 'a list of text',
                whole: 'a whole number' };
const ACCEPTS = {
    text: (v) => ['string', 'number', 'boolean'].includes(typeof v),
    object: (v) => typeof v === 'object' && !Array.isArray(v),
    list: (v) => Array.isArray(v),
    texts: (v) => typeof v === 'string', // a list is checked item by item
    whole: (v) => (typeof v === 'number' || (typeof v === 'string' && /^[+-]?\d+$/.test(v)))
        && Number.isInteger(Number(v)) && Number(v) >= -2147483648 && Number(v) <= 2147483647,
    any: () => true,
};
// Qt 5 keeps a message in at most 128 MiB, text at two bytes a character:
// about 64 Mi characters in all (64 Mi - 1 Ki pass, 64 Mi are dropped).
export const MAX_MESSAGE_BYTES = 128 * 1024 * 1024 - 64 * 1024;

function describe(v) {
    if (typeof v === 'string')
        return v.length <= 40 ? 'the text "' + v + '"' : 'text';
    if (typeof v === 'number')
        return 'the number ' + v;
    if (typeof v === 'boolean')
        return 'the value ' + v;
    if (Array.isArray(v))
        return 'a list';
    if (v === undefined)
        return 'nothing';
    return typeof v === 'object' ? 'an object' : 'a ' + typeof v;
}

function kindError(method, name, kind, value) {
    if (value === null)
        return null;
    // Functions would be taken by qwebchannel.js as its own callback.
    if (!['function', 'symbol', 'bigint', 'undefined'].includes(typeof value)) {
        if (kind === 'texts' && Array.isArray(value)) {
            for (let i = 0; i < value.length; i++) {
                const error = kindError(method, name + '[' + i + ']', 'text', value[i]);
                if (error)
                    return error;
            }
            return null;
        }
        if (ACCEPTS[kind](value))
            return null;
    }
    return method + ': ' + name + ' must be ' + (WORDS[kind] || 'a value') + ', got ' + describe(value);
}

// Roughly what Qt 5 makes of the arguments in memory.
function wireBytes(v) {
    if (typeof v === 'string')
        return 8 + 2 * v.length;
    if (v === null || typeof v !== 'object')
        return 16;
    if (Array.isArray(v))
        return v.reduce((n, item) => n + wireBytes(item), 16);
    return Object.keys(v).reduce((n, k) => n + 8 + 2 * k.length + wireBytes(v[k]), 16);
}

// The wire arguments of a call, or a TamberlinError refusing it.
function wireArgs(method, params, args) {
    const refuse = (message) => new TamberlinError(606, message, { method });
    const names = params.map((p) => p.name).join(', ');
    if (args.length > params.length)
        return refuse(method + ': too many arguments (it takes ' + (names || 'no arguments')
                      + ', then an options object)');
    const wire = [];
    for (let i = 0; i < params.length; i++) {
        const { name, kind, optional } = params[i];
        let value = args[i];
        if (value === undefined) {
            if (!optional)
                return refuse(method + ': ' + name + ' is missing');
            value = kind === 'object' ? {} : kind === 'list' ? [] : '';
        }
        const error = kindError(method, name, kind, value);
        if (error)
            return refuse(error);
        wire.push(value);
    }
    if (wireBytes(wire) > MAX_MESSAGE_BYTES)
        return refuse(method + ': the arguments are too large to send (at most about 64 Mi '
                      + 'characters of text in all)');
    return wire;
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
    // call's `uuid`. Arguments the shell cannot take reject at once with
    // code 606, and nothing is sent.
    call(method, args = [], options = {}) {
        const shape = METHODS[method];
        const uuid = makeUuid();
        let promise;
        const wire = shape ? wireArgs(method, PARAMS[method], args) : null;
        if (!shape || typeof this.shell[method] !== 'function') {
            promise = Promise.reject(new TamberlinError('unavailable',
                'the shell offers no method ' + method, { method }));
        } else if (wire instanceof TamberlinError) {
            promise = Promise.reject(wire);
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

    // Calls without an answer of their own; a refused argument rejects
    // (code 606) and nothing is sent.
    exitApplication(exitCode = 0) {
        const error = kindError('exitApplication', 'exitCode', 'whole', exitCode);
        if (error)
            return Promise.reject(new TamberlinError(606, error, { method: 'exitApplication' }));
        this.shell.exitApplication(makeUuid(), exitCode);
        return Promise.resolve();
    }

    // target: the archiveUnzip call's Promise or its uuid; that call then
    // rejects with code 'aborted'.
    abortArchiveUnzip(target) {
        const uuid = typeof target === 'string' ? target : target && target.uuid;
        if (typeof uuid !== 'string') {
            return Promise.reject(new TamberlinError(606, 'abortArchiveUnzip: target must be an '
                + 'archiveUnzip call or its uuid, got ' + describe(target),
                { method: 'abortArchiveUnzip' }));
        }
        this.shell.abortArchiveUnzip(uuid);
        return Promise.resolve();
    }

    // The shell calls these itself; offered for completeness.
    stateChanged(state) {
        const error = kindError('stateChanged', 'state', 'whole', state);
        if (error)
            return Promise.reject(new TamberlinError(606, error, { method: 'stateChanged' }));
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
            // The shell refuses bad arguments of a method without a failure
            // callback under its one callback, with code 606 and a message.
            const answer = call.done.includes(name);
            const refused = answer && data.code === 606 && typeof data.message === 'string';
            const ok = answer && !refused;
            if (answer || call.fail.includes(name)) {
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

const PARAMS = {};
for (const [method, shape] of Object.entries(METHODS)) {
    PARAMS[method] = shape[0].map((declared) => {
        const [name, kind = 'text'] = declared.split(':');
        return { name: name.replace('?', ''), kind, optional: name.endsWith('?') };
    });
}

const OPTION_KEYS = ['timeout', 'onProgress'];
function isOptions(v, strict) {
    return v !== null && typeof v === 'object' && !Array.isArray(v)
        && (!strict || Object.keys(v).every((k) => OPTION_KEYS.includes(k)));
}

// One method per page method: the wire's arguments after the uuid, then an
// optional options object {timeout, onProgress}. Arguments left out at the
// end may be replaced by the options object where the method takes no
// object there (dbSql(query, {timeout: 5})); such an object holds option
// keys only. The options object is never sent.
for (const [method, params] of Object.entries(PARAMS)) {
    Tamberlin.prototype[method] = function (...args) {
        let at = args.length - 1;
        const early = at >= 0 && at < params.length && params[at].kind !== 'object'
            && isOptions(args[at], true);
        if (!early)
            at = params.length;
        const options = isOptions(args[at], false) ? args[at] : {};
        const data = args.slice(0, at);
        // Anything after the options object, or in its place, is one too many.
        if (args.length > at + 1 || ![undefined, options].includes(args[at]))
            data.push(...args.slice(at));
        return this.call(method, data, options);
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
    return new Promise((resolve, reject) => {
        new Channel(transport, (channel) => {
            const shell = channel.objects && channel.objects.shellInterface;
            if (!shell || !shell.invokeJSCall) {
                reject(new TamberlinError('unavailable',
                    'the web channel offers no shellInterface: run the page in the shell'));
                return;
            }
            resolve(new Tamberlin(shell, options));
        });
    });
}

export default connect;
