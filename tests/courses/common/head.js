// The head every test page shares, in its order: Qt's channel, the test's
// TEST_CONFIG, then the harness. Written while the page is parsed, so the
// page's own scripts run after all three.
['common/qwebchannel.js', 'config.js', 'common/harness.js'].forEach(function (src) {
    document.write('<script src="' + src + '"><\/script>');
});
