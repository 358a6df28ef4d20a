#include "tests/hardening/RunFixture.h"

#include "run/UploadRun.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <algorithm>

RunFixture::RunFixture()
    : home(std::make_unique<QTemporaryDir>())
    , folder(std::make_unique<QTemporaryDir>())
    , server(std::make_unique<StubServer>())
    , window(std::make_unique<testsupport::FakeWindow>())
{
    if (!home->isValid() || !folder->isValid() || !QDir(home->path()).mkdir(QStringLiteral("Desktop")))
        qFatal("cannot set up the run's folders");
    qputenv("HOME", QFile::encodeName(home->path()));
    earlierReport = "Original File Name,Icon ID,Uploaded Icon Name,Icon URL\n\"old.png\",\"1\",\"old.png\",\"u\"\n";
    QFile report(reportPath());
    if (!report.open(QIODevice::WriteOnly) || report.write(earlierReport) != earlierReport.size())
        qFatal("cannot write the earlier report");
    if (!server->listen())
        qFatal("the stub server cannot listen");
    window->url = server->urlText();
    window->folder = folder->path();
}

RunFixture::~RunFixture() = default;

QString RunFixture::addImage(const QString &name, QSize size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(QColor(200, 40, 90));
    return testsupport::writeImage(*folder, name, image);
}

QString RunFixture::addFile(const QString &name, const QByteArray &bytes)
{
    return testsupport::writeFile(*folder, name, bytes);
}

QString RunFixture::desktopPath() const
{
    return home->filePath(QStringLiteral("Desktop"));
}

QString RunFixture::reportPath() const
{
    return home->filePath(QStringLiteral("Desktop/velk_icon_upload_results.csv"));
}

void RunFixture::run()
{
    testsupport::runTask(uploadIcons(window.get(), *window, *http));
}

void RunFixture::setTimeout(std::chrono::milliseconds timeout)
{
    http = std::make_unique<HttpClient>(timeout);
}

namespace {

/** Where two texts first differ, with a little of each around it, for a failure message. */
QString firstDifference(const QString &actual, const QString &expected)
{
    qsizetype at = 0;
    while (at < actual.size() && at < expected.size() && actual.at(at) == expected.at(at))
        ++at;
    return QStringLiteral("status differs at %1 of %2 characters (expected %3):\n  actual:   \"%4\"\n  expected: \"%5\"")
        .arg(at)
        .arg(actual.size())
        .arg(expected.size())
        .arg(actual.mid(std::max<qsizetype>(0, at - 40), 120), expected.mid(std::max<qsizetype>(0, at - 40), 120));
}

} // namespace

void RunFixture::verifyFailedRun(const QString &message)
{
    QVERIFY(!window->statuses.isEmpty());
    const QString expected = QStringLiteral("Error: ") + message;
    QVERIFY2(window->statuses.last() == expected, qPrintable(firstDifference(window->statuses.last(), expected)));
    verifyNothingWritten();
}

void RunFixture::verifyFailedRun(const QRegularExpression &message)
{
    QVERIFY(!window->statuses.isEmpty());
    const QString last = window->statuses.last();
    QVERIFY2(last.startsWith(QLatin1String("Error: ")), qPrintable(last.left(500)));
    const QRegularExpression anchored(QRegularExpression::anchoredPattern(message.pattern()), message.patternOptions());
    QVERIFY2(anchored.match(last.mid(7)).hasMatch(),
             qPrintable(QStringLiteral("status \"%1\" does not match \"%2\"").arg(last.left(500), message.pattern())));
    verifyNothingWritten();
}

void RunFixture::verifyNothingWritten()
{
    QCOMPARE(window->uploadingChanges, (QList<bool>{true, false}));
    QVERIFY(!window->uploading);

    if (!hasDesktop) {
        QVERIFY(!QFile::exists(desktopPath()));
        return;
    }
    QFile report(reportPath());
    QVERIFY(report.open(QIODevice::ReadOnly));
    QCOMPARE(report.readAll(), earlierReport);
    const QStringList entries = QDir(desktopPath()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(entries, QStringList{QStringLiteral("velk_icon_upload_results.csv")});
}

void RunFixture::verifyHealthyRerun(StubServer *healthyServer)
{
    StubServer *target = healthyServer ? healthyServer : server.get();
    if (!hasDesktop) {
        QVERIFY(QDir(home->path()).mkdir(QStringLiteral("Desktop")));
        hasDesktop = true;
    }
    window->url = target->urlText();
    window->onStatus = nullptr;
    window->clearRecord();
    const int iconsBefore = target->iconCount();
    run();

    const int images = int(QDir(window->folder).entryList(QDir::Files).size());
    const QString summary = QStringLiteral("Upload complete. Uploaded %1 icon image(s). CSV saved to: %2")
                                .arg(images)
                                .arg(QDir::toNativeSeparators(reportPath()));
    QCOMPARE(window->statuses.last(), summary);
    QCOMPARE(window->uploadingChanges, (QList<bool>{true, false}));
    QCOMPARE(target->iconCount(), iconsBefore + images);
    QFile report(reportPath());
    QVERIFY(report.open(QIODevice::ReadOnly));
    QCOMPARE(report.readAll().count('\n'), images + 1);
}
