// Qt's channel, the test's TEST_CONFIG and the harness, written while the page
// is parsed so that the page's own scripts run after all three.
['common/qwebchannel.js', 'config.js', 'common/harness.js'].forEach(function (src) {
    document.write('<script src="' + src + '"><\/script>');
});
