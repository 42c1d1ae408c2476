// The service explorer: one panel per service of the shell, each built on
// the page client library (js/tamberlin.js, copied in when the course is
// packed). Every call is a Promise; failures carry the shell's code.
import { connect } from './tamberlin.js';

const $ = (id) => document.getElementById(id);
const show = (id, text, cls = '') => { $(id).textContent = text; $(id).className = 'out ' + cls; };
const kb = (n) => (n >= 1073741824 ? (n / 1073741824).toFixed(1) + ' GB'
    : n >= 1048576 ? (n / 1048576).toFixed(1) + ' MB' : Math.ceil(n / 1024) + ' kB');
const stateNames = { 0: 'suspended', 1: 'hidden', 2: 'inactive', 4: 'active' };

// Runs a panel's action; a failure is shown in the panel, not lost.
function act(button, out, action) {
    $(button).addEventListener('click', async () => {
        $(button).disabled = true;
        try {
            await action();
        } catch (e) {
            show(out, (e.code !== undefined && e.code !== null ? '[' + e.code + '] ' : '') + e.message, 'bad');
        } finally {
            $(button).disabled = false;
        }
    });
}

function logEvent(text) {
    const item = document.createElement('li');
    item.textContent = new Date().toLocaleTimeString() + '  ' + text;
    $('event-log').prepend(item);
    while ($('event-log').children.length > 6)
        $('event-log').lastChild.remove();
}

function table(rows) {
    if (!rows.length)
        return 'no rows';
    const columns = Object.keys(rows[0]);
    return [columns.join(' | ')].concat(rows.map((r) => columns.map((c) => r[c]).join(' | '))).join('\n');
}

async function start() {
    let shell;
    try {
        shell = await connect({ timeout: 30000 });
    } catch (e) {
        $('status').textContent = 'Open this course in Tamberlin to use its services (' + e.message + ').';
        $('status').classList.add('bad');
        return;
    }

    // Application: protocol, program, state, and the events held back until
    // the Application plugin is initialised.
    shell.on('onApplicationClose', () => {
        logEvent('close requested');
        if (confirm('Leave the course?'))
            shell.exitApplication(0);
    });
    shell.on('applicationStateChanged', (d) => {
        $('app-state').textContent = stateNames[d.state_code] || d.state_code;
        logEvent('window ' + (stateNames[d.state_code] || d.state_code));
    });
    shell.on('applicationEvent', (d) => logEvent('URI handed over: ' + d.url));
    shell.on('networkStatusChange', (d) => {
        $('net-status').textContent = d.status;
        logEvent('network ' + d.status);
    });
    const init = await shell.initialize();
    await shell.initializePlugin('Application', {});
    const info = await shell.applicationInfo();
    const state = await shell.getApplicationState();
    $('app-version').textContent = init.version.semver;
    $('app-file').textContent = info.file_path;
    $('app-state').textContent = stateNames[state.state_code] || state.state_code;
    act('app-open', 'app-state', async () => {
        const r = await shell.openUrlPlatformDef($('app-url').value);
        logEvent((r.result ? 'opened ' : 'could not open ') + $('app-url').value);
    });

    // The course's chime, copied out of the archive: the audio and zip
    // panels work on files in the contents folder.
    const roots = await shell.fsContentsRootPath();
    const copy = await shell.fsItemsCopy({
        chime: { from: '/webapp/media/chime.wav', to: 'explorer/chime.wav', location: 'local' } });
    const chime = copy.chime.filepath;
    const work = copy.chime.filedir;

    // Storage: items and SQL on one database.
    await shell.initializePlugin('Storage', {});
    const visits = Number((await shell.loadDBItem('explorer.visits')).data || 0) + 1;
    await shell.saveDBItem('explorer.visits', String(visits));
    await shell.dbSql('CREATE TABLE IF NOT EXISTS visits(at TEXT)', []);
    await shell.dbSql('INSERT INTO visits VALUES (?)', [new Date().toISOString()]);
    $('visits').textContent = visits;
    $('sql-query').value = 'SELECT at FROM visits ORDER BY at DESC LIMIT 3';
    act('kv-save', 'kv-out', async () => {
        await shell.saveDBItem($('kv-key').value, $('kv-value').value);
        show('kv-out', 'saved ' + $('kv-key').value, 'ok');
    });
    act('kv-load', 'kv-out', async () => {
        const r = await shell.loadDBItem($('kv-key').value);
        show('kv-out', r.data === undefined ? 'no such key' : $('kv-key').value + ' = ' + r.data);
    });
    act('kv-keys', 'kv-out', async () => show('kv-out', (await shell.getDBKeys('')).data.join(', ')));
    act('sql-run', 'sql-out', async () => show('sql-out', table((await shell.dbSql($('sql-query').value, [])).data)));

    // Files and dialogs.
    const describe = (f) => f.filename + ' (' + kb(f.size) + ') in ' + f.filedir;
    act('file-open', 'file-out', async () =>
        show('file-out', describe(await shell.getOpenFileName('Open a file', roots.home_path, 'All files (*)'))));
    act('file-save', 'file-out', async () =>
        show('file-out', describe(await shell.getSaveFileName('Save as', roots.documents_path, 'Text (*.txt)'))));
    act('file-list', 'file-out', async () => {
        const r = await shell.fsItemsList({ d: { path: roots.download_path } });
        const names = r.d.entries.map((e) => e.file_path.split('/').pop() + (e.isDir ? '/' : ''));
        show('file-out', names.length ? names.length + ' items: ' + names.slice(0, 8).join(', ') : 'the folder is empty');
    });

    // Zip: a few hundred small entries, so unpacking shows its progress.
    const archive = work + '/sample.zip';
    act('zip-make', 'zip-out', async () => {
        const files = { chime: { type: 'path', path: 'media/chime.wav', data: chime } };
        for (let i = 1; i <= 400; i++)
            files['p' + i] = { path: 'pages/page-' + i + '.txt', data: 'Page ' + i + '\n'.repeat(40) };
        await shell.zipAddFiles(archive, 'create', files);
        const list = await shell.zipListContents(archive);
        show('zip-out', 'sample.zip: ' + list.data.length + ' entries', 'ok');
    });
    act('zip-unzip', 'zip-out', async () => {
        const call = shell.archiveUnzip(archive, work + '/unpacked', {
            onProgress: (d) => { $('zip-progress').max = d.total || 1; $('zip-progress').value = d.progress; },
        });
        $('zip-abort').disabled = false;
        $('zip-abort').onclick = () => shell.abortArchiveUnzip(call);
        try {
            show('zip-out', 'unpacked into ' + (await call).extracted_path, 'ok');
        } finally {
            $('zip-abort').disabled = true;
        }
    });

    // Network status, now and as it changes.
    $('net-status').textContent = (await shell.checkNetworkStatus('')).status;
    act('net-check', 'net-status', async () => {
        $('net-status').textContent = (await shell.checkNetworkStatus('')).status;
    });

    // Downloads, into the download folder, with progress and abort.
    act('dl-start', 'dl-out', async () => {
        const url = $('dl-url').value;
        const name = url.split('/').pop() || 'download';
        $('dl-progress').value = 0;
        $('dl-abort').disabled = false;
        $('dl-abort').onclick = () => shell.abortDownloadFile();
        show('dl-out', 'connecting…');
        try {
            const done = await shell.downloadFile(url, roots.download_path, name, {
                timeout: 0,
                onProgress: (d) => {
                    $('dl-progress').max = d.total || 1;
                    $('dl-progress').value = d.total ? d.progress : 0;
                    show('dl-out', kb(d.progress) + (d.total ? ' of ' + kb(d.total) : ''));
                },
            });
            $('dl-progress').value = $('dl-progress').max;
            show('dl-out', 'saved ' + done.downloaded_path, 'ok');
        } finally {
            $('dl-abort').disabled = true;
        }
    });

    // Audio: the chime, and a recording of the default input.
    let recorderReady = false;
    const recording = work + '/recording.wav';
    const playing = (media) => async () => {
        $('audio-stop').disabled = false;
        $('audio-stop').onclick = () => shell.setMediaStatus({ state: 0 });
        show('audio-out', 'playing ' + media.split('/').pop());
        try {
            await shell.playMedia(media, { timeout: 0, onProgress: (d) => {
                if (d.duration) $('audio-progress').max = d.duration;
                if (d.position !== undefined) $('audio-progress').value = d.position;
            } });
            show('audio-out', 'played ' + media.split('/').pop(), 'ok');
        } finally {
            $('audio-stop').disabled = true;
        }
    };
    act('audio-play', 'audio-out', playing(chime));
    act('audio-replay', 'audio-out', playing(recording));
    act('audio-record', 'audio-out', async () => {
        if (!recorderReady) {
            await shell.initializePlugin('AudioRecorder', {});
            await shell.setAudioRecordSettings({ container: 'audio/x-wav', codec: 'audio/x-raw' });
            recorderReady = true;
        }
        $('audio-stop').disabled = false;
        $('audio-stop').onclick = () => shell.setAudioRecordStatus({ state: 0 });
        show('audio-out', 'recording… press Stop');
        try {
            await shell.recordAudio(recording, { timeout: 0, onProgress: (d) => {
                if (d.duration !== undefined) show('audio-out', 'recording ' + (d.duration / 1000).toFixed(1) + ' s');
            } });
            show('audio-out', 'recorded ' + recording.split('/').pop(), 'ok');
            $('audio-replay').disabled = false;
        } finally {
            $('audio-stop').disabled = true;
        }
    });

    // Camera: the shell's view covers the page until its back button.
    let cameraReady = false;
    shell.on('barcodeScanned', (d) => {
        show('cam-out', 'scanned ' + d.tag, 'ok');
        shell.setCameraText('Scanned ' + d.tag);
    });
    shell.on('cameraClose', () => shell.stopCamera().catch(() => {}));
    act('cam-start', 'cam-out', async () => {
        if (!cameraReady) {
            await shell.initializePlugin('Camera', {});
            cameraReady = true;
        }
        await shell.setCameraText('Hold a CODE 128 barcode in the red frame');
        await shell.startCamera();
        show('cam-out', 'camera running');
    });

    // Devices.
    act('dev-usb', 'dev-out', async () => {
        const r = await shell.getUSBDevices();
        show('dev-out', r.devices.length ? r.devices.map((d) => d.idVendor + ':' + d.idProduct).join(', ')
                                         : 'no USB devices');
    });
    act('dev-mounts', 'dev-out', async () => {
        const r = await shell.getMountedDevices();
        show('dev-out', r.devices.map((d) => d.rootPath + ' ' + kb(d.bytesAvailable) + ' free').join('\n'));
    });

    logEvent('connected; window ' + $('app-state').textContent + ', network ' + $('net-status').textContent);
    $('sql-run').click();
    $('status').textContent = 'Connected to ' + (info.display_name || info.name)
        + ' · every panel calls the shell through js/tamberlin.js';
    $('status').classList.add('ok');
}

start().catch((e) => {
    $('status').textContent = 'The explorer stopped: ' + e.message;
    $('status').classList.add('bad');
});
