// Shared course code: navigation highlight and the connection to the shell.
(function () {
    'use strict';
    const here = location.pathname.split('/').pop() || 'index.html';
    document.querySelectorAll('nav a').forEach(function (a) {
        if (a.getAttribute('href') === here)
            a.classList.add('current');
    });

    // Course.shell resolves to the shell's page object, or to null when the
    // page is opened in an ordinary browser.
    window.Course = {
        shell: new Promise(function (resolve) {
            if (typeof QWebChannel === 'undefined' || typeof qt === 'undefined') {
                resolve(null);
                return;
            }
            new QWebChannel(qt.webChannelTransport, function (channel) {
                const shell = channel.objects.shellInterface;
                const waiting = {};
                let next = 0;
                shell.invokeJSCall.connect(function (name, data) {
                    const done = data && waiting[data.uuid];
                    if (done) {
                        delete waiting[data.uuid];
                        done({ name: name, data: data });
                    } else if (name === 'onApplicationClose') {
                        if (confirm('Leave the course?'))
                            shell.exitApplication('exit', 0);
                    }
                });
                // call('method', args...) -> Promise of {name, data}
                shell.call = function (method, ...args) {
                    const uuid = 'demo-' + (++next);
                    return new Promise(function (ok) {
                        waiting[uuid] = ok;
                        shell[method](uuid, ...args);
                    });
                };
                resolve(shell);
            });
        })
    };
})();
