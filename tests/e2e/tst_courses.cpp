#include "tests/support/shelltest.h"

#include <QtTest>

// Every row is one course page run end to end; CTest runs each row as its own
// test (tst_courses course:<row>).
class tst_Courses : public QObject
{
    Q_OBJECT
private slots:
    void course_data();
    void course();
};

void tst_Courses::course_data()
{
    using ShellTest::AppFolder;
    QTest::addColumn<QString>("course");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QByteArray>("zipPassword");
    QTest::addColumn<QString>("baseCourse");
    const QString demo = ShellTest::sourceDir() + QStringLiteral("/examples/demo-course/webapp");

    const QString kelcab = QStringLiteral("[wrapper]\narchiveManager=kelcab\n");
    const QString plainZip = QStringLiteral("[wrapper]\nencrypted=false\n");

    QTest::newRow("smoke-kelcab") << "smoke" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                  << QString();
    QTest::newRow("smoke-zip") << "smoke" << int(AppFolder::Zip) << plainZip << QByteArray()
                               << QString();
    // The demo course with a test start page on top that opens its lessons.
    QTest::newRow("demo-kelcab") << "demo" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                 << demo;
}

void tst_Courses::course()
{
    QFETCH(QString, course);
    QFETCH(int, format);
    QFETCH(QString, config);
    QFETCH(QByteArray, zipPassword);
    QFETCH(QString, baseCourse);

    ShellTest::CourseRun run;
    run.course = course;
    run.format = ShellTest::AppFolder::Format(format);
    run.config = config;
    run.zipPassword = zipPassword;
    run.baseCourse = baseCourse;
    const QString failure = ShellTest::runCourse(run);
    if (!failure.isEmpty())
        QFAIL(qPrintable(failure));
}

QTEST_GUILESS_MAIN(tst_Courses)
#include "tst_courses.moc"
