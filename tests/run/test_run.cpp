// Whole upload runs against the stub server: the statuses and the report of
// a good run, and every other way a run ends, a failure at each of its steps
// among them.

#include "core/StopRequest.h"
#include "run/UploadRun.h"
#include "tests/support/TestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QDateTime>
#include <QDir>
#include <QImage>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSslKey>
#include <QTcpServer>
#include <QTest>

#include <functional>
#include <memory>

#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <csignal>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

/** The window as a run sees it: settings and a folder to read, and a record of what the run wrote. */
class Host : public QObject, public UploadHost
{
public:
    QString url, folder;
    QStringList statuses, progress, reports;
    QList<bool> busy;
    std::function<void(const QString &)> onStatus;
    QPointer<StopRequest> stop;

    QString velkURL() const override { return url; }
    QString clientID() const override { return QStringLiteral("client"); }
    QString clientSecret() const override { return QStringLiteral("secret"); }
    QString selectedFolder() const override { return folder; }
    void setStatus(const QString &status) override
    {
        statuses << status;
        if (onStatus)
            onStatus(status);
    }
    void setUploading(bool uploading) override { busy << uploading; }
    void setProgress(int done, int total) override { progress << QStringLiteral("%1/%2").arg(done).arg(total); }
    void reportWritten(const QString &path) override { reports << path; }
    void runStarted(StopRequest &request) override { stop = &request; }
};

QString progressText(const QString &fileName)
{
    return QStringLiteral("Converting and uploading %1...").arg(fileName);
}

/** A small red picture at path: a JPEG, GIF or else PNG, as its extension says. */
void writeImage(const QString &path)
{
    if (path.endsWith(QLatin1String("gif"), Qt::CaseInsensitive)) { // Qt writes no GIF: a 2x1 one
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromHex("47494638396102000100f00000ff000000000021f90400000000002c0000000002000100000202040a003b"));
        return;
    }
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::red);
    const bool jpeg = QFileInfo(path).suffix().startsWith(QLatin1String("jp"), Qt::CaseInsensitive);
    QVERIFY(image.save(path, jpeg ? "JPEG" : "PNG"));
}

/** One run's world: a home with a Desktop that holds an earlier report, a folder, the server and the window. */
struct Run
{
    QTemporaryDir home, folder;
    StubServer server, elsewhere, secure; // secure serves HTTPS once a row sets it up
    Host host;
    std::chrono::milliseconds timeout = HttpClient::DefaultTimeout;
    QString desktop = home.filePath(QStringLiteral("Desktop"));
    QString report = desktop + QStringLiteral("/velk_icon_upload_results.csv");
    std::function<void()> mend; // undoes what a row broke, before the run that must succeed

    Run()
    {
        qputenv("HOME", QFile::encodeName(home.path()));
        QDir().mkpath(desktop);
        QFile earlier(report);
        if (!server.listen() || !elsewhere.listen() || !earlier.open(QIODevice::WriteOnly) || !earlier.write("earlier\n"))
            qFatal("cannot set up a run");
        server.setClientCredentials(host.clientID(), host.clientSecret());
        host.url = server.urlText();
        host.folder = folder.path();
    }

    ~Run()
    {
        if (mend)
            mend();
    }

    void run(HttpClient &http) { testsupport::runTask(uploadIcons(&host, host, http)); }

    /** Stops the run when the server receives the nth request like this one (counted from 1). */
    void stopAt(const QByteArray &method, const QByteArray &path, int nth)
    {
        QObject::connect(&server, &StubServer::requestHandled, &host, [=, this, seen = 0](const StubRequest &request) mutable {
            if (request.method == method && request.path() == path && ++seen == nth)
                host.stop->request();
        });
    }

    /**
     * Leaves no room on the Desktop for the report: a full filesystem of
     * its own where the test may mount one, else a file size limit below
     * the report's. The earlier report stays in place.
     */
    void fillDesktop()
    {
        if (::mount("tmpfs", QFile::encodeName(desktop).constData(), "tmpfs", 0, "size=8k") == 0) {
            QFile earlier(report), filler(desktop + "/filler");
            if (!earlier.open(QIODevice::WriteOnly) || !earlier.write("earlier\n") || !earlier.flush()
                || !filler.open(QIODevice::Unbuffered | QIODevice::WriteOnly))
                qFatal("cannot fill the Desktop");
            while (filler.write(QByteArray(512, 'x')) > 0) { } // to the last byte
            mend = [this] { ::umount(QFile::encodeName(desktop).constData()); };
            return;
        }
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit;
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small = {4, limit.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &small);
        mend = [limit] { ::setrlimit(RLIMIT_FSIZE, &limit); };
    }

    /** Serves HTTPS on secure with the certificate and key in the PEM file, and points the window at it. */
    void serveHttps(const QString &pem)
    {
        QFile file(QStringLiteral(VELK_TEST_DATA "/") + pem);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(bytes));
        tls.setPrivateKey(QSslKey(bytes, QSsl::Ec));
        secure.setSslConfiguration(tls);
        secure.setClientCredentials(host.clientID(), host.clientSecret());
        if (!secure.listen())
            qFatal("cannot serve HTTPS");
        host.url = secure.urlText();
    }

    /** The next exchange like this one after the second file's progress is answered with replies. */
    void at(const QByteArray &method, const QByteArray &path, const QList<StubReply> &replies, bool secondFile = true)
    {
        const auto queue = [=, this] {
            for (const StubReply &reply : replies)
                server.queueReply(method, path, reply);
        };
        if (!secondFile)
            return queue();
        host.onStatus = [=](const QString &status) {
            if (status == progressText(QStringLiteral("b.jpg")))
                queue();
        };
    }
};

using Setup = std::function<void(Run &)>;

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("(none)");
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestRun : public QObject
{
    Q_OBJECT

private slots:
    // Files in name order (a name that is not UTF-8 among them), one
    // request at a time in that order, progress for each, the server URL
    // read afresh for every file, and the report in place of the earlier
    // one (and of a link that stood at its name) and of temporary files a
    // crashed write left.
    void goodRun()
    {
        Run run;
        StubServer second;
        QVERIFY(second.listen());
        QDir folder(run.folder.path());
        // Names in collation order, not code-point order (Logo after ab); names
        // that collate the same come out in code-point order, whatever the listing order.
        const QStringList ordered = {"A.png", "AB.png", "Ab.png", "aB.png", "ab.png", "c.GIF", u"caf\uFFFD.png"_qs,
                                     "icon10.png", "icon2.png", "Logo.Jpeg", "x.zip.png"};
        for (const QString &name : ordered + QStringList{"y.png.zip", "photo.tiff", "noext", ".png", "sub/inner.png"}) {
            folder.mkpath(QFileInfo(folder.filePath(name)).path());
            writeImage(folder.filePath(name));
        }
        const QByteArray latin1 = QFile::encodeName(folder.path()) + "/caf\xe9.png";
        QVERIFY(::rename(QFile::encodeName(folder.filePath(ordered[6])).constData(), latin1.constData()) == 0);
        const auto removeLatin1 = qScopeGuard([&] { ::unlink(latin1.constData()); }); // Qt cannot name it
        QFile elsewhere(run.home.filePath("elsewhere.txt"));
        QVERIFY(elsewhere.open(QIODevice::WriteOnly) && elsewhere.write("keep") && elsewhere.flush());
        QVERIFY(QFile::remove(run.report) && QFile::link(elsewhere.fileName(), run.report));
        QFile crashed(run.desktop + "/.velk_icon_upload_results.csv.abcdef.tmp");
        QVERIFY(crashed.open(QIODevice::WriteOnly) && crashed.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));

        // From the third file on, the server URL names the second server.
        second.acceptToken("stub-token-1");
        second.queueReply("GET", "/api/v1/icon/*", StubReply::json(200, "{\"id\":\"x\\\"y\",\"url\":\"http://h/a,b\",\"name\":\"line\\nbreak é\"}"));
        run.host.onStatus = [&](const QString &status) {
            if (status == progressText(ordered[2]))
                run.host.url = second.urlText() + '/';
        };
        run.run(HttpClient::shared());

        QStringList statuses = {"Getting bearer token..."}, progress = {"0/0"};
        QString csv = "Original File Name,Icon ID,Uploaded Icon Name,Icon URL\n";
        for (int i = 0; i < ordered.size(); ++i) {
            statuses << progressText(ordered[i]);
            progress << QStringLiteral("%1/11").arg(i);
            const int id = i < 2 ? i + 1 : i - 1;
            const QString uploaded = QFileInfo(ordered[i]).completeBaseName() + ".png";
            const QString url = (i < 2 ? run.server : second).urlText() + QStringLiteral("/icons/%1.png").arg(id);
            csv += i == 2 ? QStringLiteral("\"Ab.png\",\"x\"\"y\",\"line\nbreak é\",\"http://h/a,b\"\n")
                          : QStringLiteral("\"%1\",\"%2\",\"%3\",\"%4\"\n").arg(ordered[i]).arg(id).arg(uploaded, url);
        }
        statuses << "Upload complete. Uploaded 11 icon image(s). CSV saved to: " + run.report;
        QCOMPARE(run.host.statuses, statuses);
        QCOMPARE(run.host.busy, (QList<bool>{true, false}));
        QCOMPARE(run.host.progress, progress << "11/11");
        QCOMPARE(run.host.reports, QStringList{run.report});
        QStringList requests;
        for (const StubRequest &request : run.server.requests())
            requests << request.method + ' ' + request.target;
        QCOMPARE(requests, QStringList({"POST /api/v1/oauth/token", "POST /api/v1/icon", "GET /api/v1/icon/1", "POST /api/v1/icon", "GET /api/v1/icon/2"}));
        QCOMPARE(run.server.iconCount(), 2);
        QCOMPARE(readAll(run.report), csv);
        QVERIFY(!QFileInfo(run.report).isSymLink());
        QCOMPARE(readAll(elsewhere.fileName()), QStringLiteral("keep"));
        QCOMPARE(QDir(run.desktop).entryList(QDir::Files | QDir::Hidden), QStringList{"velk_icon_upload_results.csv"});

        // Without a home in the environment, the account's home holds the Desktop.
        for (const char *home : std::initializer_list<const char *>{"", nullptr}) {
            home ? qputenv("HOME", home) : qunsetenv("HOME");
            QCOMPARE(resultsCsvPath(), QFile::decodeName(getpwuid(getuid())->pw_dir) + "/Desktop/velk_icon_upload_results.csv");
        }
    }

    // A run whose window goes away carries on unseen with the server URL it
    // read last, and writes its whole report.
    void windowGoneMidway()
    {
        Run run;
        for (const char *name : {"a.png", "b.jpg", "c.gif"})
            writeImage(run.folder.filePath(QLatin1String(name)));
        auto window = std::make_unique<QObject>();
        run.host.onStatus = [&](const QString &status) {
            if (status == progressText(QStringLiteral("b.jpg")))
                window.reset();
        };
        testsupport::runTask(uploadIcons(window.get(), run.host, HttpClient::shared()));
        QCOMPARE(run.host.statuses.last(), progressText(QStringLiteral("b.jpg")));
        QCOMPARE(run.server.iconCount(), 3);
        QCOMPARE(readAll(run.report).count('\n'), 4);
    }

    // How a run over a.png, b.jpg and c.gif ends when something goes wrong;
    // b.jpg is the second file. Icons before a failure stay on the server,
    // no later file is tried, the earlier report stays as it was, and the
    // next run succeeds.
    void endings_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("filesTried");
        QTest::addColumn<int>("iconsStored");
        const QByteArray token = "/api/v1/oauth/token", icon = "/api/v1/icon", lookup = "/api/v1/icon/*";
        const QByteArray html = "<!DOCTYPE html>\n<html><body><h1>Internal Server Error</h1></body></html>\n";
        QByteArray huge;
        while (huge.size() < (5 << 20))
            huge += "Stack frame \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 at module.function(line 42)\n";
        StubReply cutOff = StubReply::json(200, R"({"access_token":"abcdefgh"})");
        cutOff.fault = StubReply::Fault::CloseMidBody;
        const StubReply drop = StubReply::failure(StubReply::Fault::Drop);
        QByteArray euros; // 20 MiB of three-byte characters, of which 16 MiB less one byte are kept
        while (euros.size() < (20 << 20))
            euros += "\xE2\x82\xAC";
        const QString failedB = "Error: Failed to upload b.jpg. HTTP 500. ";
        const auto row = [](const char *name, Setup setup, const QString &expected, int tried, int stored) {
            QTest::newRow(name) << setup << expected << tried << stored;
        };

        row("no folder chosen", [](Run &r) { r.host.folder.clear(); }, "No folder selected.", -1, 0);
        row("no supported image", [](Run &r) {
            for (const QString &name : QDir(r.folder.path()).entryList(QDir::Files))
                QFile::rename(r.folder.filePath(name), r.folder.filePath(name + ".txt"));
        }, "No supported image files found. Supported types: PNG, JPG, JPEG, GIF.", 0, 0);
        row("token refused", [](Run &r) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost);
            r.host.url = QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
        }, "Error: Failed to connect to 127.0.0.1 port * after * ms: Couldn't connect to server", 0, 0);
        row("token 401", [=](Run &r) { r.at("POST", token, {StubReply::text(401, "denied")}, false); },
            "Error: Failed to get bearer token. HTTP 401. denied", 0, 0);
        row("token cut off", [=](Run &r) { r.at("POST", token, {cutOff}, false); }, "Error: Connection closed", 0, 0);
        row("token with a line break", [=](Run &r) { r.at("POST", token, {StubReply::json(200, R"({"access_token":"a\r\nb"})")}, false); },
            "Error: The Authorization header has a line break or another character that a header cannot carry; the request was not sent.", 1, 0);
        row("https", [](Run &r) { r.serveHttps("trusted-127.0.0.1.pem"); }, "Upload complete. Uploaded 3 icon image(s). CSV saved to: %REPORT%", 3, 3);
        row("https self-signed", [](Run &r) { r.serveHttps("self-signed-127.0.0.1.pem"); },
            "Error: SSL certificate problem: self-signed certificate", 0, 0);
        row("token sent elsewhere", [=](Run &r) { r.at("POST", token, {StubReply::redirect(307, r.elsewhere.urlText().toUtf8() + "/steal")}, false); },
            "Error: The server redirected the request to %ELSEWHERE%. Redirects to another server are not followed.", 0, 0);
        for (const QByteArray origin : {"http://localhost:", "https://127.0.0.1:"}) { // the same port
            row(origin.startsWith("https") ? "token sent to another scheme" : "token sent to another host", [=](Run &r) {
                r.at("POST", token, {StubReply::redirect(307, origin + QByteArray::number(r.server.port()) + "/steal")}, false);
            }, "Error: The server redirected the request to " + origin + "%PORT%. Redirects to another server are not followed.", 0, 0);
        }
        row("folder gone", [](Run &r) { QDir(r.folder.path()).removeRecursively(); },
            "Error: Could not read the folder %FOLDER%: No such file or directory.", 0, 0);
        row("upload dropped", [=](Run &r) { r.at("POST", icon, {drop}); }, "Error: Empty reply from server", 2, 1);
        row("upload 500 page", [=](Run &r) { r.at("POST", icon, {StubReply{500, {{"Content-Type", "text/html"}}, html}}); },
            failedB + QString::fromUtf8(html), 2, 1);
        row("upload 5 MB error", [=](Run &r) { r.at("POST", icon, {StubReply::text(500, huge)}); }, failedB + QString::fromUtf8(huge), 2, 1);
        row("upload 20 MiB error", [=](Run &r) { r.at("POST", icon, {StubReply::text(500, euros)}); },
            failedB + QString::fromUtf8(euros.first((16 << 20) - 1)), 2, 1);
        row("upload redirected 20 times", [=](Run &r) { r.at("POST", icon, QList<StubReply>(20, StubReply::redirect(307, icon))); },
            "Upload complete. Uploaded 3 icon image(s). CSV saved to: %REPORT%", 3, 3);
        row("upload redirect loop", [=](Run &r) { r.at("POST", icon, QList<StubReply>(21, StubReply::redirect(307, icon))); },
            "Error: Too many redirects.", 2, 1);
        row("image not decodable", [](Run &r) {
            QFile file(r.folder.filePath("b.jpg"));
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write("just some notes\n");
        }, "Error: Could not open image: b.jpg", 2, 1);
        row("lookup never answers", [=](Run &r) {
            r.timeout = 1s;
            r.at("GET", lookup, {StubReply::failure(StubReply::Fault::NeverAnswer)});
        },
            "Error: The request timed out.", 2, 2);
        row("lookup 500 cut off", [=](Run &r) {
            StubReply reply = StubReply::text(500, QByteArray(100'000, 'x'));
            reply.fault = StubReply::Fault::CloseMidBody;
            r.at("GET", lookup, {reply});
        }, "Error: Connection closed", 2, 2);
        row("lookup 500 not UTF-8", [=](Run &r) { r.at("GET", lookup, {StubReply::text(500, "\xff\xfe")}); },
            "Error: Failed to look up icon ID 2. HTTP 500. ", 2, 2);
        row("lookup 5 MB not JSON", [=](Run &r) { r.at("GET", lookup, {StubReply::json(200, QByteArray(5 << 20, 'x'))}); },
            "Error: The server's reply is not valid JSON (illegal value at offset 1).", 2, 2);
        row("lookup over 16 MiB", [=](Run &r) { r.at("GET", lookup, {StubReply::json(200, QByteArray((16 << 20) + 1, ' '))}); },
            "Error: The server's reply is larger than 16 MiB.", 2, 2);
        row("lookup trickles", [=](Run &r) {
            r.timeout = 300ms;
            r.at("GET", lookup, {StubReply{200, {}, QByteArray(1000, ' '), {}, StubReply::Fault::Trickle}});
        }, "Error: The request timed out.", 2, 2);
        row("no Desktop", [](Run &r) { QDir(r.desktop).removeRecursively(); },
            "Error: Could not save the results to %REPORT%: No such file or directory", 3, 3);
        row("full disk", [](Run &r) { r.fillDesktop(); }, "Error: Could not save the results to %REPORT%: *", 3, 3);
        row("stopped while the token is awaited", [=](Run &r) {
            r.timeout = 2s;
            r.at("POST", token, {StubReply::failure(StubReply::Fault::NeverAnswer)}, false);
            r.stopAt("POST", token, 1);
        }, "Upload stopped. No icons were uploaded.", 0, 0);
        row("stopped while a.png converts", [](Run &r) {
            r.host.onStatus = [&r](const QString &status) {
                if (status == progressText(QStringLiteral("a.png")))
                    r.host.stop->request();
            };
        }, "Upload stopped. No icons were uploaded.", 1, 0);
        row("stopped while b.jpg converts", [](Run &r) {
            r.host.onStatus = [&r](const QString &status) {
                if (status == progressText(QStringLiteral("b.jpg")))
                    r.host.stop->request();
            };
        }, "Upload stopped. Uploaded 1 of 3 icon image(s). CSV saved to: %REPORT%", 2, 1);
        row("stopped while b.jpg uploads", [=](Run &r) { r.stopAt("POST", icon, 2); },
            "Upload stopped. Uploaded 2 of 3 icon image(s). CSV saved to: %REPORT%", 2, 2);
    }

    void endings()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, expected);
        QFETCH(int, filesTried);
        QFETCH(int, iconsStored);
        Run run;
        const QStringList files = {"a.png", "b.jpg", "c.gif"};
        for (const QString &name : files)
            writeImage(run.folder.filePath(name));
        setup(run);
        HttpClient http(run.timeout, QStringLiteral(VELK_TEST_DATA "/test-ca.crt"));
        run.run(http);

        QStringList statuses;
        if (filesTried >= 0)
            statuses << "Getting bearer token...";
        for (int i = 0; i < filesTried; ++i)
            statuses << progressText(files[i]);
        // The last status as expected, where "*" stands for any text.
        expected.replace("%ELSEWHERE%", run.elsewhere.urlText()).replace("%FOLDER%", run.folder.path()).replace("%REPORT%", run.report).replace("%PORT%", QString::number(run.server.port()));
        if (expected.contains('*')) {
            const QRegularExpression pattern('^' + QRegularExpression::escape(expected).replace("\\*", ".*") + '$');
            QVERIFY2(pattern.match(run.host.statuses.last()).hasMatch(), qPrintable(run.host.statuses.last()));
            statuses << run.host.statuses.last();
        } else {
            if (expected.startsWith("Upload stopped"))
                statuses << "Stopping...";
            statuses << expected;
        }
        QCOMPARE(run.host.statuses, statuses);
        QCOMPARE(run.host.busy, filesTried < 0 ? QList<bool>() : (QList<bool>{true, false}));
        // Progress shows while the run is busy; only a written report is
        // announced, and it lists every icon stored; else the earlier report
        // stays whole and nothing else is left beside it.
        QCOMPARE(run.host.progress.value(0), filesTried < 0 ? QString() : QStringLiteral("0/0"));
        const bool written = expected.contains("CSV saved to");
        QCOMPARE(run.host.reports.size(), int(written));
        QCOMPARE(run.server.iconCount() + run.secure.iconCount(), iconsStored);
        QCOMPARE(run.elsewhere.connectionCount(), 0);
        if (written)
            QCOMPARE(readAll(run.report).count('\n'), iconsStored + 1);
        else if (QFile::exists(run.desktop))
            QCOMPARE(readAll(run.report), QStringLiteral("earlier\n"));
        if (QFile::exists(run.desktop))
            QCOMPARE(QDir(run.desktop).entryList(QDir::Files | QDir::Hidden).filter("velk"), QStringList{"velk_icon_upload_results.csv"});

        // Nothing of the failure lingers: the same client serves a good run.
        if (run.mend)
            std::exchange(run.mend, nullptr)();
        QDir().mkpath(run.folder.path());
        QDir().mkpath(run.desktop);
        for (const QString &name : files)
            writeImage(run.folder.filePath(name));
        run.host.statuses.clear();
        run.host.onStatus = nullptr;
        run.host.url = run.server.urlText();
        run.host.folder = run.folder.path();
        run.run(http);
        QCOMPARE(run.host.statuses.last(), "Upload complete. Uploaded 3 icon image(s). CSV saved to: " + run.report);
    }
};

QTEST_GUILESS_MAIN(TestRun)
#include "test_run.moc"
