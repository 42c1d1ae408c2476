// Type declarations of tamberlin.js, the page client of the shell's API.

export interface CallOptions {
    /** Rejects with code 'timeout' when no callback of the call came for this many ms
     *  (0: none). Default: the client's, except for calls with progress (none). */
    timeout?: number;
    /** Progress callbacks of this call, until it ends. */
    onProgress?: (data: Payload, name: string) => void;
}

/** A callback's payload; `uuid` is the call's. */
export interface Payload {
    uuid?: string;
    [key: string]: any;
}

/** A call in flight: a Promise that also knows its wire uuid. */
export interface Call<T = Payload> extends Promise<T> {
    readonly uuid: string;
}

export declare class TamberlinError extends Error {
    /** The failure callback's `code`; 'timeout' | 'aborted' | 'unavailable' from the client; 606 for
     *  arguments refused (by the client, before sending, or by the shell); null when the shell sent none. */
    code: number | string | null;
    message: string;
    method?: string;
    /** The failure callback's name, e.g. 'dbSqlFail'. */
    callback?: string;
    /** The failure callback's payload. */
    data?: Payload;
}

export type EventName = 'networkStatusChange' | 'applicationStateChanged' | 'applicationEvent'
    | 'onApplicationClose' | 'barcodeScanned' | 'cameraClose';
export declare const EVENTS: EventName[];
export declare const METHOD_NAMES: string[];
/** The largest call the client sends (Qt keeps a message in 128 MiB: about 64 Mi characters of text). */
export declare const MAX_MESSAGE_BYTES: number;

export type PluginName = 'Application' | 'Storage' | 'Network' | 'FileDownloader' | 'FileSystem'
    | 'Hardware' | 'Zip' | 'Archive' | 'AudioPlayer' | 'AudioRecorder' | 'Camera';

export interface FileChoice extends Payload { filepath: string; filename: string; filedir: string; size: number; }
export interface DownloadProgress extends Payload { file_name: string; file_path: string; total: number; progress: number; }
export interface DownloadDone extends Payload { file_name: string; file_path: string; downloaded_path: string; }
export interface UnzipProgress extends Payload { file_path: string; target_path: string; total: number; progress: number; }
export interface UnzipDone extends Payload { file_path: string; target_path: string; extracted_path: string; }
export interface DataPayload<T> extends Payload { data: T; }
/** data: the entry as text; an entry that is not UTF-8 text (a NUL, bytes that are not UTF-8)
 *  comes as Base64 with base64: true. code 610: too large for one answer (data ""). */
export interface ZipReadItem { code: number; data: string; base64?: true; }

export declare class Tamberlin {
    constructor(shell: any, options?: { timeout?: number });
    /** The web channel's shellInterface object. */
    readonly shell: any;
    /** Default time-out in ms of calls without progress (0: none). */
    timeout: number;

    /** Any page method by name, arguments without the uuid. */
    call(method: string, args?: any[], options?: CallOptions): Call;
    /** Subscribes to an unsolicited notice; returns the unsubscribe function. */
    on(name: EventName | string, fn: (data: Payload, name: string) => void): () => void;
    off(name: EventName | string, fn: (data: Payload, name: string) => void): void;
    once(name: EventName | string): Promise<Payload>;

    initialize(options?: CallOptions): Call<{ version: { semver: string } }>;
    finalize(options?: CallOptions): Call;
    initializePlugin(pluginName: PluginName | string, params?: object, options?: CallOptions): Call;

    applicationInfo(options?: CallOptions): Call<{ dir_path: string; file_path: string; name: string; display_name: string }>;
    getApplicationState(options?: CallOptions): Call<{ state_code: number }>;
    setApplicationState(state: string, options?: CallOptions): Call<{ result: boolean }>;
    openUrlPlatformDef(url: string, options?: CallOptions): Call<{ result: boolean }>;
    /** Rejects (606) and sends nothing when exitCode is not a whole number. */
    exitApplication(exitCode?: number): Promise<void>;
    stateChanged(state: number): Promise<void>;
    onWindowClose(): Promise<void>;

    getOpenFileName(title: string, dir: string, filter: string, options?: CallOptions): Call<FileChoice>;
    getSaveFileName(title: string, dir: string, filter: string, options?: CallOptions): Call<FileChoice>;

    fsItemsInfo(paths: Record<string, string>, options?: CallOptions): Call;
    fsItemsDelete(paths: Record<string, string>, options?: CallOptions): Call;
    fsItemsCopy(paths: Record<string, { from: string; to: string; location?: string; type?: string }>, options?: CallOptions): Call;
    fsItemsList(paths: Record<string, { path: string }>, options?: CallOptions): Call;
    fsContentsRootPath(options?: CallOptions): Call<{ home_path: string; download_path: string; contents_root_path: string; wrapper_access_path: string; documents_path: string }>;

    saveDBItem(key: string, value: string, options?: CallOptions): Call;
    saveDBItems(items: Record<string, any>, options?: CallOptions): Call;
    loadDBItem(key: string, options?: CallOptions): Call<{ data?: string }>;
    loadDBItems(keys: string[], options?: CallOptions): Call<DataPayload<Record<string, string>>>;
    removeDBItems(keys: string[], options?: CallOptions): Call;
    getDBKeys(pattern: string, options?: CallOptions): Call<DataPayload<string[]>>;
    /** dbSql(query, options) runs query without data. */
    dbSql(query: string, data?: any[], options?: CallOptions): Call<DataPayload<Record<string, any>[]>>;
    dbSql(query: string, options?: CallOptions): Call<DataPayload<Record<string, any>[]>>;
    dbSqlBatch(query: string, data: any[][], options?: CallOptions): Call<DataPayload<Record<string, any>[][]>>;
    dbTransaction(options?: CallOptions): Call;
    dbCommit(options?: CallOptions): Call;
    dbRollback(options?: CallOptions): Call;

    /** Progress: fileDownloadStart, fileDownloadProgress. */
    downloadFile(url: string, relFilePath: string, fileName: string, options?: CallOptions): Call<DownloadDone>;
    /** Resolves on fileDownloadAbort; the running download rejects with code 5. */
    abortDownloadFile(options?: CallOptions): Call<{ file_name: string; file_path: string }>;
    checkNetworkStatus(host?: string, options?: CallOptions): Call<{ status: 'online' | 'offline' }>;
    checkNetworkStatus(options?: CallOptions): Call<{ status: 'online' | 'offline' }>;

    /** Progress: playMediaStarted, mediaStatusChanged. */
    playMedia(url: string, options?: CallOptions): Call;
    mediaStatus(options?: CallOptions): Call;
    setMediaStatus(status: object, options?: CallOptions): Call;
    /** Progress: recordAudioStarted, audioRecordStatusChanged. */
    recordAudio(url: string, options?: CallOptions): Call<{ outputLocation: string }>;
    audioRecordStatus(options?: CallOptions): Call;
    setAudioRecordStatus(status: object, options?: CallOptions): Call;
    audioRecordSettings(options?: CallOptions): Call;
    /** Progress: audioRecordSettingsChanged. */
    setAudioRecordSettings(settings: object, options?: CallOptions): Call;

    startCamera(options?: CallOptions): Call;
    stopCamera(options?: CallOptions): Call;
    setCameraText(text: string, options?: CallOptions): Call;

    getUSBDevices(options?: CallOptions): Call<{ devices: Array<{ idVendor: string; idProduct: string; serialNumber: string; product: string; manufacturer: string }> }>;
    getMountedDevices(options?: CallOptions): Call<{ devices: Array<Record<string, any>> }>;

    zipAddFiles(archivePath: string, mode: 'create' | 'add' | string, files: Record<string, { type?: 'raw' | 'path'; path: string; data: string }>, options?: CallOptions): Call;
    /** One ZipReadItem per key of filesPaths (besides uuid). */
    zipReadFiles(archivePath: string, filesPaths: Record<string, string>, options?: CallOptions): Call;
    zipCompressDirectory(archivePath: string, dirPath: string, options?: CallOptions): Call;
    zipListContents(archivePath: string, options?: CallOptions): Call<DataPayload<Array<{ crc: number; zipPath: string; isDir: boolean; comment: string; compressedSize: number; uncompressedSize: number }>>>;
    zipExtractFiles(archivePath: string, paths: Record<string, { source: string; target: string }>, options?: CallOptions): Call;
    /** Progress: archiveUnzipProgress; rejects with code 'aborted' after abortArchiveUnzip. */
    archiveUnzip(zipPath: string, targetPath: string, options?: CallOptions): Call<UnzipDone>;
    abortArchiveUnzip(target: Call<any> | string): Promise<void>;
}

export declare function connect(options?: { timeout?: number; QWebChannel?: any; transport?: any }): Promise<Tamberlin>;
export default connect;
