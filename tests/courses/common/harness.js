// Harness of the end-to-end courses (loaded by common/head.js): a page calls
// T.run(async () => { ... }); findings go to the test's report server and the
// page ends the program with exitApplication(uuid, failures).
(function () {
    'use strict';
    const config = window.TEST_CONFIG || {};
    const pending = {};
    const listeners = {};
    // One post after another: tests compare the order of what pages report.
    let lastPost = Promise.resolve();
    let sequence = 0;

    const T = { failures: 0, shell: null, config: config };

    T.log = function (text) {
        if (!config.report)
            return Promise.resolve();
        lastPost = lastPost.then(function () {
            return fetch(config.report + '/log', { method: 'POST', body: String(text) })
                .catch(function () {});
        });
        return lastPost;
    };

    T.fail = function (label) {
        T.failures++;
        T.log('FAIL ' + label);
    };

    T.check = function (condition, label, detail) {
        if (condition)
            T.log('ok ' + label);
        else
            T.fail(label + (detail || ''));
        return !!condition;
    };

    // Keys in one order: payloads compare whole, whatever order they came in.
    const canonical = (value) => JSON.stringify(value, (key, v) => (!v || typeof v !== 'object'
        || Array.isArray(v) ? v : Object.fromEntries(Object.keys(v).sort().map((k) => [k, v[k]]))));

    T.equal = function (actual, expected, label) {
        const a = canonical(actual);
        const e = canonical(expected);
        return T.check(a === e, label, ': got ' + a + ', expected ' + e);
    };

    T.uuid = function () {
        sequence++;
        return 'uuid-' + sequence + '-' + Math.random().toString(16).slice(2, 10);
    };

    // Calls a method with a fresh uuid; resolves with the first callback of that
    // uuid, {name, data}, or with callUntil the first named in endNames (the
    // ones before it in result.progress).
    T.call = (method, ...args) => T.callUntil(null, method, ...args);
    T.callUntil = function (endNames, method, ...args) {
        const uuid = T.uuid();
        return new Promise(function (resolve, reject) {
            if (typeof T.shell[method] !== 'function') {
                reject(new Error('shellInterface has no method ' + method));
                return;
            }
            pending[uuid] = { resolve: resolve, endNames: endNames, progress: [] };
            T.shell[method](uuid, ...args);
        });
    };

    // T.call that checks the callback's name and resolves with its data.
    T.expect = async function (name, method, ...args) {
        const r = await T.call(method, ...args);
        T.equal(r.name, name, method + ' ' + JSON.stringify(args).slice(0, 60));
        return r.data;
    };

    // Unsolicited callbacks (no uuid, or not ours).
    T.on = function (name, fn) {
        (listeners[name] = listeners[name] || []).push(fn);
    };

    // What promise settles with, or late once ms have passed.
    T.deadline = function (promise, ms, late) {
        return Promise.race([promise, new Promise(function (resolve) { setTimeout(resolve, ms, late); })]);
    };

    // An XMLHttpRequest GET: {status, text}, {error: true, status}, or {timeout: true} after 20 s.
    T.get = function (url) {
        return T.deadline(new Promise(function (resolve) {
            const r = new XMLHttpRequest();
            r.open('GET', url);
            r.onload = function () { resolve({ status: r.status, text: r.responseText }); };
            r.onerror = function () { resolve({ error: true, status: r.status }); };
            r.send();
        }), 20000, { timeout: true });
    };

    // Blocks until the test releases name (ReportServer::release).
    T.wait = function (name) {
        return fetch(config.report + '/wait?name=' + encodeURIComponent(name))
            .then(function (r) { return r.text(); });
    };

    function dispatch(name, data) {
        const uuid = data && data.uuid;
        const call = uuid && pending[uuid];
        if (call) {
            if (call.endNames && call.endNames.indexOf(name) < 0) {
                call.progress.push({ name: name, data: data });
                return;
            }
            delete pending[uuid];
            call.resolve({ name: name, data: data, progress: call.progress });
            return;
        }
        (listeners[name] || []).slice().forEach(function (fn) { fn(data); });
    }

    T.connect = function () {
        return new Promise(function (resolve) {
            new QWebChannel(qt.webChannelTransport, function (channel) {
                T.shell = channel.objects.shellInterface;
                T.shell.invokeJSCall.connect(dispatch);
                resolve(T.shell);
            });
        });
    };

    T.run = function (body) {
        const start = async function () {
            try {
                await T.connect();
                await body(T);
            } catch (e) {
                T.fail('exception: ' + (e && e.stack ? e.stack : e));
            }
            if (!T.shell)
                return;
            // Resolves once every earlier message has reached the server too.
            await T.log('done ' + T.failures + ' failure(s)');
            T.shell.exitApplication(T.uuid(), T.failures);
        };
        if (document.readyState === 'complete')
            start();
        else
            window.addEventListener('load', start);
    };

    window.addEventListener('error', function (e) {
        T.fail('page error: ' + e.message + ' at ' + e.filename + ':' + e.lineno);
    });
    ['log', 'warn', 'error'].forEach(function (level) {
        const original = console[level].bind(console);
        console[level] = function (...args) {
            original(...args);
            T.log('console.' + level + ': ' + args.join(' '));
        };
    });

    window.T = T;
})();
