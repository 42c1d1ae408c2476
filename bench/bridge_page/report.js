// Reports the page's load event to the benchmark, then ends the shell (the
// baseline program has no bridge and is ended by the runner).
window.addEventListener('load', function () {
    const report = window.TEST_CONFIG.report;
    fetch(report + '/log', { method: 'POST', body: 'loaded' }).then(function () {
        if (window.qt && qt.webChannelTransport) {
            new QWebChannel(qt.webChannelTransport, function (channel) {
                channel.objects.shellInterface.exitApplication('bench', 0);
            });
        }
    });
});
