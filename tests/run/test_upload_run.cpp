#include "api/Http.h"
#include "run/UploadRun.h"
#include "tests/support/FakeWindow.h"
#include "tests/support/TestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

using testsupport::FakeWindow;

namespace {

QString progress(const QString &name)
{
    return testsupport::progressStatus(name);
}

} // namespace

/** Whole upload runs, from the button's press to the last status, against the stub server. */
class TestUploadRun : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void noFolderSendsNothing();
    void blankSettingsAreSentAsTheyStand();
    void failedTokenEndsBeforeTheFolderIsRead();
    void uploadsInNameOrderAndWritesReport();
    void singleImage();
    void folderWithoutImages();
    void unreadableEntriesEndTheRun_data();
    void unreadableEntriesEndTheRun();
    void failureInTheMiddleKeepsEarlierIconsAndWritesNoReport();
    void serverFailureEndsTheRun();
    void missingDesktopIsAnErrorAfterTheUploads();
    void serverUrlEditAppliesFromTheNextFile();
    void closedWindowStillFinishesTheRun();
    void twoWindowsRunSideBySide();

private:
    QString addImage(const QString &name, QColor color = Qt::red);
    QByteArray report() const;

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<StubServer> m_server;
    std::unique_ptr<FakeWindow> m_window;
};

void TestUploadRun::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_home->path()).mkdir("Desktop"));
    qputenv("HOME", QFile::encodeName(m_home->path()));
    m_folder = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<StubServer>();
    QVERIFY(m_server->listen());
    m_window = std::make_unique<FakeWindow>();
    m_window->url = m_server->urlText();
    m_window->folder = m_folder->path();
}

QString TestUploadRun::addImage(const QString &name, QColor color)
{
    QImage image(40, 20, QImage::Format_ARGB32);
    image.fill(color);
    return testsupport::writeImage(*m_folder, name, image);
}

QByteArray TestUploadRun::report() const
{
    QFile file(m_home->filePath("Desktop/velk_icon_upload_results.csv"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestUploadRun::noFolderSendsNothing()
{
    m_window->folder.clear();
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));
    QCOMPARE(m_window->statuses, QStringList{"No folder selected."});
    QVERIFY(m_window->uploadingChanges.isEmpty());
    QCOMPARE(m_server->requests().size(), 0);
}

void TestUploadRun::blankSettingsAreSentAsTheyStand()
{
    m_server->setClientCredentials("id", "secret");
    m_window->id = "   ";
    m_window->secret = " ";
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));

    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(m_server->requests().first().body, "client_id=%20%20%20&client_secret=%20&grant_type=client_credentials");
    QCOMPARE(m_window->statuses.size(), 2);
    QVERIFY2(m_window->statuses.last().startsWith("Error: Failed to get bearer token. HTTP 401. "),
             qPrintable(m_window->statuses.last()));
    QCOMPARE(m_window->uploadingChanges, (QList<bool>{true, false}));
}

void TestUploadRun::failedTokenEndsBeforeTheFolderIsRead()
{
    m_window->folder = m_folder->filePath("does-not-exist");
    m_server->queueReply("POST", "/api/v1/oauth/token", StubReply::json(200, "{}"));
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));
    QCOMPARE(m_window->statuses,
             (QStringList{"Getting bearer token...", "Error: No access_token returned by Velk Pro."}));
    QCOMPARE(m_window->uploadingChanges, (QList<bool>{true, false}));
}

void TestUploadRun::uploadsInNameOrderAndWritesReport()
{
    addImage("b.png");
    addImage("A.png");
    addImage("c.GIF");
    testsupport::writeFile(*m_folder, "notes.txt", "not an icon");
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));

    const QString csvPath = QDir::toNativeSeparators(m_home->filePath("Desktop/velk_icon_upload_results.csv"));
    QCOMPARE(m_window->statuses, (QStringList{"Getting bearer token...", progress("A.png"), progress("b.png"),
                                             progress("c.GIF"),
                                             "Upload complete. Uploaded 3 icon image(s). CSV saved to: " + csvPath}));
    QCOMPARE(m_window->uploadingChanges, (QList<bool>{true, false}));

    // Token, then an upload and its lookup per file, in order.
    QStringList trail;
    for (const StubRequest &request : m_server->requests())
        trail.append(QString::fromLatin1(request.method + ' ' + request.path()));
    QCOMPARE(trail, (QStringList{"POST /api/v1/oauth/token", "POST /api/v1/icon", "GET /api/v1/icon/1",
                                 "POST /api/v1/icon", "GET /api/v1/icon/2", "POST /api/v1/icon", "GET /api/v1/icon/3"}));
    QCOMPARE(m_server->iconName(1), "A.png");
    QCOMPARE(m_server->iconName(3), "c.png");

    const QString base = m_server->urlText();
    QCOMPARE(report(), "Original File Name,Icon ID,Uploaded Icon Name,Icon URL\n"
                       "\"A.png\",\"1\",\"A.png\",\"" + base.toUtf8() + "/icons/1.png\"\n"
                       "\"b.png\",\"2\",\"b.png\",\"" + base.toUtf8() + "/icons/2.png\"\n"
                       "\"c.GIF\",\"3\",\"c.png\",\"" + base.toUtf8() + "/icons/3.png\"\n");
}

void TestUploadRun::singleImage()
{
    addImage("only.jpg");
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));
    QVERIFY2(m_window->statuses.last().startsWith("Upload complete. Uploaded 1 icon image(s). CSV saved to: "),
             qPrintable(m_window->statuses.last()));
}

void TestUploadRun::folderWithoutImages()
{
    testsupport::writeFile(*m_folder, "photo.tiff", "II*\0");
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));
    QCOMPARE(m_window->statuses, (QStringList{"Getting bearer token...",
                                             "No supported image files found. Supported types: PNG, JPG, JPEG, GIF."}));
    QCOMPARE(m_window->uploadingChanges, (QList<bool>{true, false}));
    QCOMPARE(m_server->requests().size(), 1); // the token request was made
    QVERIFY(!QFile::exists(m_home->filePath("Desktop/velk_icon_upload_results.csv")));
}

void TestUploadRun::unreadableEntriesEndTheRun_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("isFolder");
    QTest::newRow("subfolder named like an image") << "set.png" << true;
    QTest::newRow("hidden file that is no image") << "._icon.png" << false;
}

void TestUploadRun::unreadableEntriesEndTheRun()
{
    QFETCH(QString, entry);
    QFETCH(bool, isFolder);
    addImage("z.png");
    if (isFolder)
        QVERIFY(QDir(m_folder->path()).mkdir(entry));
    else
        testsupport::writeFile(*m_folder, entry, QByteArray(64, '\x05'));
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));

    QCOMPARE(m_window->statuses.last(), "Error: Could not open image: " + entry);
    QCOMPARE(m_window->uploadingChanges, (QList<bool>{true, false}));
    QCOMPARE(m_server->iconCount(), 0);
    QVERIFY(report().isEmpty());
}

void TestUploadRun::failureInTheMiddleKeepsEarlierIconsAndWritesNoReport()
{
    for (const char *name : {"1.png", "2.png", "4.png", "5.png"})
        addImage(name);
    testsupport::writeFile(*m_folder, "3.png", "\x89PNG\r\n\x1a\n truncated");
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));

    QCOMPARE(m_window->statuses.last(), "Error: Could not open image: 3.png");
    QCOMPARE(m_server->iconCount(), 2);
    QVERIFY(report().isEmpty());
    QCOMPARE(m_window->uploadingChanges, (QList<bool>{true, false}));
}

void TestUploadRun::serverFailureEndsTheRun()
{
    addImage("a.png");
    addImage("b.png");
    m_server->queueReply("GET", "/api/v1/icon/*", StubReply::text(404, "no such icon"));
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));

    QCOMPARE(m_window->statuses.last(), "Error: Failed to look up icon ID 1. HTTP 404. no such icon");
    QCOMPARE(m_server->iconCount(), 1); // uploaded before the lookup failed; b.png never tried
    QVERIFY(report().isEmpty());
}

void TestUploadRun::missingDesktopIsAnErrorAfterTheUploads()
{
    QVERIFY(QDir(m_home->filePath("Desktop")).removeRecursively());
    addImage("a.png");
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));

    QVERIFY2(m_window->statuses.last().startsWith("Error: Could not save the results to "), qPrintable(m_window->statuses.last()));
    QCOMPARE(m_server->iconCount(), 1);
    QCOMPARE(m_window->uploadingChanges, (QList<bool>{true, false}));
    QVERIFY(!QFile::exists(m_home->filePath("Desktop")));
}

void TestUploadRun::serverUrlEditAppliesFromTheNextFile()
{
    StubServer second;
    QVERIFY(second.listen());
    addImage("a.png");
    addImage("b.png");
    // The second server takes the token that the first one issued for the run.
    m_server->queueReply("POST", "/api/v1/oauth/token", StubReply::json(200, R"({"access_token":"shared"})"));
    second.acceptToken("shared");
    m_window->onStatus = [&](const QString &status) {
        if (status == progress("a.png"))
            m_window->url = second.urlText() + "/";
    };
    testsupport::runTask(uploadIcons(m_window.get(), *m_window));

    QVERIFY2(m_window->statuses.last().startsWith("Upload complete. Uploaded 2"), qPrintable(m_window->statuses.last()));
    QCOMPARE(m_server->iconCount(), 0);
    QCOMPARE(second.iconCount(), 2);
    QCOMPARE(second.requests().first().header("Authorization"), "Bearer shared");
}

void TestUploadRun::closedWindowStillFinishesTheRun()
{
    addImage("a.png");
    addImage("b.png");
    // The window goes away while the run waits for the first upload; the
    // run must finish without touching it (ASan catches a use after free).
    FakeWindow *window = m_window.release();
    window->onStatus = [window](const QString &status) {
        if (status == progress("a.png"))
            window->deleteLater();
    };
    QPointer<QObject> guard(window);
    testsupport::runTask(uploadIcons(window, *window));
    QVERIFY(guard.isNull());
    QCOMPARE(m_server->iconCount(), 2);
    QVERIFY(report().startsWith("Original File Name"));
}

void TestUploadRun::twoWindowsRunSideBySide()
{
    addImage("a.png");
    addImage("b.png");
    QTemporaryDir otherFolder;
    testsupport::writeImage(otherFolder, "x.png", QImage(8, 8, QImage::Format_RGB32));

    FakeWindow other;
    other.url = m_server->urlText();
    other.folder = otherFolder.path();
    bool firstDone = false;
    bool secondDone = false;
    auto run = [](QObject *owner, UploadHost &host, bool &done) -> QCoro::Task<> {
        co_await uploadIcons(owner, host);
        done = true;
    };
    auto first = run(m_window.get(), *m_window, firstDone);
    auto second = run(&other, other, secondDone);
    QTRY_VERIFY_WITH_TIMEOUT(firstDone && secondDone, 20000);

    QVERIFY2(m_window->statuses.last().startsWith("Upload complete. Uploaded 2 icon image(s)."), qPrintable(m_window->statuses.last()));
    QVERIFY2(other.statuses.last().startsWith("Upload complete. Uploaded 1 icon image(s)."), qPrintable(other.statuses.last()));
    QVERIFY(!other.statuses.contains(progress("a.png")));
    QCOMPARE(m_server->iconCount(), 3);
}

QTEST_GUILESS_MAIN(TestUploadRun)
#include "test_upload_run.moc"
