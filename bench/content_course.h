#pragma once

// The course of the content benchmarks: several hundred real web files from
// the corpus (bench/make-corpus.sh) plus generated PNG images, and an
// index.html that requests all of them at once, text by XMLHttpRequest and
// images as <img>, and reports how long the last answer took.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStringList>

#include <cstdio>

namespace ContentBench {

// The course is built from the corpus: false, and says so, when it is missing.
inline bool corpusPresent(const QString &corpus)
{
    if (QFileInfo::exists(corpus + QStringLiteral("/lib/typescript")))
        return true;
    fprintf(stderr, "no corpus at %s: run bench/make-corpus.sh\n", qPrintable(corpus));
    return false;
}

constexpr int kSmallFiles = 400;
constexpr int kImages = 30;

struct Course
{
    QStringList texts;
    QStringList images;
    qint64 bytes = 0;
};

inline bool copyFile(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    return QFile::copy(from, to);
}

// Real web files from the corpus: every big TypeScript library script and
// an even spread of the small files of three.js and Monaco.
// harness: the page reports through tests/courses/common/harness.js (the
// real program) instead of its title (an in-process page).
inline Course buildCourse(const QString &corpus, const QString &webapp, bool harness = false)
{
    Course course;
    const QStringList kinds{"*.js", "*.mjs", "*.css", "*.html", "*.json", "*.woff", "*.woff2",
                            "*.ttf"};
    QStringList small;
    for (const QString &pkg : {QStringLiteral("three"), QStringLiteral("monaco-editor")}) {
        QDirIterator it(corpus + "/lib/" + pkg, kinds, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString f = it.next();
            if (QFileInfo(f).size() < 200 * 1024)
                small.append(f);
        }
    }
    small.sort();
    QStringList chosen;
    const int step = qMax(1, small.size() / kSmallFiles);
    for (int i = 0; i < small.size() && chosen.size() < kSmallFiles; i += step)
        chosen.append(small.at(i));
    QDirIterator big(corpus + "/lib/typescript/lib", {"*.js"}, QDir::Files);
    while (big.hasNext())
        chosen.append(big.next());

    for (const QString &f : qAsConst(chosen)) {
        const QString rel = QStringLiteral("lib/") + QDir(corpus + "/lib").relativeFilePath(f);
        if (copyFile(f, webapp + '/' + rel)) {
            course.texts.append(rel);
            course.bytes += QFileInfo(f).size();
        }
    }
    QRandomGenerator gen(7);
    for (int i = 0; i < kImages; ++i) {
        QImage image(256, 256, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = (x * 3 + y) % 64 < 32 ? gen.generate() : 0xff2060a0u;
        }
        const QString rel = QStringLiteral("img/slide%1.png").arg(i);
        QDir().mkpath(webapp + "/img");
        image.save(webapp + '/' + rel);
        course.images.append(rel);
        course.bytes += QFileInfo(webapp + '/' + rel).size();
    }

    const QByteArray lists = "const TEXTS = "
        + QJsonDocument(QJsonArray::fromStringList(course.texts)).toJson(QJsonDocument::Compact)
        + ";\nconst IMAGES = "
        + QJsonDocument(QJsonArray::fromStringList(course.images)).toJson(QJsonDocument::Compact)
        + ";\n";
    const QByteArray loader = R"(
let failed = 0;
function text(src, run) {
    return new Promise(function (resolve) {
        const x = new XMLHttpRequest();
        x.open('GET', src + run);
        x.onload = function () { if (!x.responseText.length) failed++; resolve(); };
        x.onerror = function () { failed++; resolve(); };
        x.send();
    });
}
function image(src, run) {
    return new Promise(function (resolve) {
        const i = new Image();
        i.onload = function () { if (i.naturalWidth !== 256) failed++; resolve(); };
        i.onerror = function () { failed++; resolve(); };
        i.src = src + run;
    });
}
// Resolves with the milliseconds from the first request to the last answer.
function loadAll(run) {
    const start = performance.now();
    return Promise.all(TEXTS.map(function (s) { return text(s, run); })
                       .concat(IMAGES.map(function (s) { return image(s, run); })))
        .then(function () { return performance.now() - start; });
}
)";
    const QByteArray report = harness ? QByteArray(R"(
T.run(async function (T) {
    const ms = await loadAll('');
    await T.log('timing ' + ms.toFixed(1) + ' ' + failed);
});
)")
                                      : QByteArray(R"(
loadAll(location.search).then(function (ms) {
    document.title = 'done ' + ms.toFixed(1) + ' ' + failed;
});
)");
    const QByteArray head = harness ? QByteArray("<script src=\"common/qwebchannel.js\"></script>\n"
                                                 "<script src=\"config.js\"></script>\n"
                                                 "<script src=\"common/harness.js\"></script>\n")
                                    : QByteArray();
    const QByteArray page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\">\n"
        "<title>loading</title>\n" + head + "</head><body><script>\n" + lists + loader + report
        + "</script></body></html>\n";
    QFile index(webapp + "/index.html");
    index.open(QIODevice::WriteOnly);
    index.write(page);
    course.texts.append(QStringLiteral("index.html"));
    course.bytes += page.size();
    return course;
}

// reveal.js's demo (bench/make-corpus.sh), a real third-party presentation,
// with a benchmark's report: its start page gets the report scripts before
// its end, laid over the presentation in `overlay`. Returns the overlay's
// folder, empty when the presentation is missing.
inline QString stagePresentation(const QString &presentation, const QString &overlay,
                                 const QString &reportScript)
{
    QFile page(presentation + QStringLiteral("/index.html"));
    if (!page.open(QIODevice::ReadOnly))
        return QString();
    QByteArray html = page.readAll();
    const int end = html.lastIndexOf("</body>");
    if (end < 0)
        return QString();
    html.insert(end, "<script src=\"common/qwebchannel.js\"></script><script src=\"config.js\"></script>"
                     "<script src=\"report.js\"></script>\n");
    QFile staged(overlay + QStringLiteral("/index.html"));
    if (!QDir().mkpath(overlay) || !staged.open(QIODevice::WriteOnly) || staged.write(html) != html.size()
        || !QFile::copy(reportScript, overlay + QStringLiteral("/report.js")))
        return QString();
    return overlay;
}

} // namespace ContentBench
