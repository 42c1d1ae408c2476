// Shared course code: highlights the current page in the navigation and, on
// pages that do not talk to the shell themselves, answers the window's close
// request (the shell keeps the window open until the page ends the program).
(function () {
    'use strict';
    const here = location.pathname.split('/').pop() || 'index.html';
    document.querySelectorAll('nav a').forEach(function (a) {
        if (a.getAttribute('href') === here)
            a.classList.add('current');
    });
    if (document.body.dataset.ownShell !== undefined || typeof qt === 'undefined'
        || typeof QWebChannel === 'undefined')
        return;
    import('./tamberlin.js').then(async function (sdk) {
        const shell = await sdk.connect();
        shell.on('onApplicationClose', function () { shell.exitApplication(0); });
    }).catch(function (e) { console.warn('course: no shell client: ' + e); });
})();
