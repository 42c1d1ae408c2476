// Content checks of index.html. run() resolves with a list of {label, ok,
// detail}; every check has a deadline, so a request left unanswered shows up
// as a failure instead of a hang.
(function () {
    'use strict';

    const DEADLINE_MS = 15000;

    function withDeadline(promise, what) {
        return Promise.race([
            promise,
            new Promise(function (resolve) {
                setTimeout(function () { resolve('timeout: ' + what); }, DEADLINE_MS);
            })
        ]);
    }

    // 'load' or 'error' for a script or image element.
    function loadElement(tag, src) {
        return withDeadline(new Promise(function (resolve) {
            const el = document.createElement(tag);
            el.onload = function () { resolve({ outcome: 'load', el: el }); };
            el.onerror = function () { resolve({ outcome: 'error', el: el }); };
            el.src = src;
            if (tag === 'script')
                document.head.appendChild(el);
        }), src).then(function (r) { return typeof r === 'string' ? { outcome: r } : r; });
    }

    // 'duration:<seconds>' once the metadata is in, 'error:<code>' otherwise.
    function loadMedia(tag, src) {
        return withDeadline(new Promise(function (resolve) {
            const el = document.createElement(tag);
            el.preload = 'auto';
            el.muted = true;
            el.onloadedmetadata = function () { resolve('duration:' + el.duration.toFixed(2)); };
            el.onerror = function () { resolve('error:' + (el.error ? el.error.code : '?')); };
            el.src = src;
            el.load();
        }), src);
    }

    function near(text, seconds) {
        const m = /^duration:([0-9.]+)$/.exec(text);
        return !!m && Math.abs(parseFloat(m[1]) - seconds) < 0.2;
    }

    async function run(options) {
        options = options || {};
        const results = [];
        const check = function (ok, label, detail) {
            results.push({ label: label, ok: !!ok, detail: detail === undefined ? '' : String(detail) });
        };

        if (options.forward)
            check(location.protocol === 'file:', 'page served as a plain file', location.href);
        else
            check(location.protocol === 'kelzip:', 'page served from the archive', location.href);
        check(location.search === '?backend=desktop&platform=win', 'start URL query kept',
              location.search);

        check(window.appLoaded === true, 'script in a subfolder ran');
        const box = document.getElementById('box');
        check(box && getComputedStyle(box).color === 'rgb(1, 2, 3)', 'style sheet applied',
              box && getComputedStyle(box).color);

        const img = await loadElement('img', 'img/pixel.png');
        check(img.outcome === 'load' && img.el.naturalWidth === 3 && img.el.naturalHeight === 2,
              'image has its natural size', img.outcome + ' ' +
              (img.el ? img.el.naturalWidth + 'x' + img.el.naturalHeight : ''));

        const spaced = await loadElement('script', 'a%20b.js');
        check(spaced.outcome === 'load' && window.spacedRan === true, 'name with a space (%20)',
              spaced.outcome);

        const missing = await loadElement('script', 'missing.js');
        check(missing.outcome === 'error', 'missing entry ends in an error, not a hang',
              missing.outcome);

        if (!options.forward) {
            const dots = await loadElement('script', 'js/../js/dots.js');
            check(dots.outcome === 'load', 'dot segments resolve inside the archive', dots.outcome);
            const encoded = await loadElement('script', 'js/%2e%2e/js/dots.js');
            check(encoded.outcome === 'load', 'encoded dot segments resolve inside the archive',
                  encoded.outcome);
            const escape = await loadElement('script', '/../../../../etc/tamberlin-none.js');
            check(escape.outcome === 'error', 'a path above the archive root is not served',
                  escape.outcome);
            // Course scripts read their data with XMLHttpRequest (fetch() needs a
            // CORS-enabled scheme, which kelzip is not).
            const xhr = await withDeadline(new Promise(function (resolve) {
                const request = new XMLHttpRequest();
                request.onload = function () { resolve(request.responseText.trim()); };
                request.onerror = function () { resolve('error'); };
                request.open('GET', 'data/info.json');
                request.send();
            }), 'xhr');
            check(xhr === '{"ok": true}', 'XMLHttpRequest reads an archive entry', xhr);
        }

        const wav = await loadMedia('audio', 'media/tone.wav');
        check(near(wav, 0.5), 'wav audio reaches its duration', wav);
        // Another URL of the same entry, so that no cache in the web engine
        // answers it: the scheme handler serves it from the same copy.
        const again = await loadMedia('audio', 'media/tone.wav?again=1');
        check(near(again, 0.5), 'the same audio loads a second time', again);
        const ogg = await loadMedia('audio', 'media/tone.ogg');
        check(near(ogg, 0.5), 'ogg audio reaches its duration', ogg);
        const webm = await loadMedia('video', 'media/clip.webm');
        check(near(webm, 1.0), 'webm video reaches its duration', webm);
        // Codecs that this web engine build may lack: they must end, either way.
        const mp3 = await loadMedia('audio', 'media/tone.mp3');
        check(mp3.indexOf('timeout') !== 0, 'mp3 request is answered', mp3);
        const mp4 = await loadMedia('video', 'media/clip.mp4');
        check(mp4.indexOf('timeout') !== 0, 'mp4 request is answered', mp4);
        return results;
    }

    window.ContentChecks = { run: run };
})();
