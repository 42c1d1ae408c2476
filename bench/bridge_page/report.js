// Reports the page's load event to the benchmark, then ends the program:
// the shell through its bridge, the baseline program (no bridge) by closing
// its window.
window.addEventListener('load', function () {
    const report = window.TEST_CONFIG.report;
    fetch(report + '/log', { method: 'POST', body: 'loaded' }).then(function () {
        if (window.qt && qt.webChannelTransport) {
            new QWebChannel(qt.webChannelTransport, function (channel) {
                channel.objects.shellInterface.exitApplication('bench', 0);
            });
        } else {
            window.close();
        }
    });
});
