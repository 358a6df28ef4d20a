#pragma once

#include "api/Http.h"
#include "tests/support/FakeWindow.h"
#include "tools/stub-server/StubServer.h"

#include <QByteArray>
#include <QImage>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>

#include <memory>

/**
 * One whole upload run, set up for a fault: a home folder with a Desktop
 * that already holds an earlier report, a folder of icons, a stub server
 * and a window pointed at it. After the faulty run, verifyFailedRun()
 * checks how it ended and verifyHealthyRerun() that the window is ready for
 * the next run. Both report through QtTest; callers return when
 * QTest::currentTestFailed().
 */
class RunFixture
{
public:
    RunFixture();
    ~RunFixture();

    /** A small opaque image, written in the format the name's extension implies. */
    QString addImage(const QString &name, QSize size = QSize(40, 20));
    QString addFile(const QString &name, const QByteArray &bytes);
    QString desktopPath() const;
    QString reportPath() const;

    /** Runs uploadIcons to its end, as the window's button does. */
    void run();
    /** Runs later runs through a client of their own with this timeout. */
    void setTimeout(std::chrono::milliseconds timeout);

    /**
     * The run ended with "Error: " and exactly message (or a message that
     * pattern matches whole), the busy flag went true then false, the
     * earlier report is untouched and nothing else appeared on the Desktop.
     */
    void verifyFailedRun(const QString &message);
    void verifyFailedRun(const QRegularExpression &pattern);

    /**
     * Runs again against healthyServer (the fixture's own when null) and
     * checks that every image of the folder was uploaded and reported.
     */
    void verifyHealthyRerun(StubServer *healthyServer = nullptr);

    /** The busy flag's changes and the Desktop, after a failed run. */
    void verifyNothingWritten();

    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<StubServer> server;
    std::unique_ptr<testsupport::FakeWindow> window;
    std::unique_ptr<HttpClient> http = std::make_unique<HttpClient>();
    QByteArray earlierReport;
    bool hasDesktop = true;
};
