// velk-icon-upload as a script meets it: the built command against the stub
// server, with a home and saved settings of its own. Wherever it uploads,
// the window's run over the same folder, driven in-process, is the
// reference: the same status lines, the same requests and the same report.

#include "core/StopRequest.h"
#include "run/UploadRun.h"
#include "tests/support/TestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QImage>
#include <QPointer>
#include <QScopeGuard>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

/** The window as its run sees it: fixed settings, and the statuses it was shown. */
class Window : public QObject, public UploadHost
{
public:
    QString url, folder, report;
    QStringList statuses;
    QPointer<StopRequest> stop;

    QString velkURL() const override { return url; }
    QString clientID() const override { return QStringLiteral("client"); }
    QString clientSecret() const override { return QStringLiteral("secret"); }
    QString selectedFolder() const override { return folder; }
    void setStatus(const QString &status) override { statuses << status; }
    void setUploading(bool) override {}
    void runStarted(StopRequest &request) override { stop = &request; }
    QString reportPath() const override { return report; }
};

/** One invocation's world: a home with saved settings and an earlier report, a folder, and a server for each run. */
struct World
{
    QTemporaryDir home;
    QString folder = home.filePath("Icons"), desktopReport = home.filePath("Desktop/velk_icon_upload_results.csv");
    QString otherReport = home.filePath("out/report.csv"), secretFile = home.filePath("secret");
    QString wrongUrl; // where no server listens
    StubServer server, windowServer; // the command's and the in-process run's
    QSettings saved{home.filePath(".config/Velk/velk-icon-uploader.conf"), QSettings::IniFormat};
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QByteArray input; // on the command's standard input
    int interruptAt = 0; // SIGINT when the server receives this upload (from 1)
    bool twice = false; // and again 100 ms later, while the run is stopping
    bool terminal = false; // standard error on a terminal
    QByteArray typed; // at the terminal, standard input too, once it stops echoing
    static constexpr QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;

    World()
    {
        QTcpServer closed;
        if (!server.listen() || !windowServer.listen() || !closed.listen(QHostAddress::LocalHost) || !QDir().mkpath(folder)
            || !QDir().mkpath(home.filePath("Desktop")) || !QDir().mkpath(home.filePath("out")))
            qFatal("cannot set up the world");
        wrongUrl = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
        for (StubServer *each : {&server, &windowServer})
            each->setClientCredentials("client", "secret");
        for (const char *name : {"a.png", "b.jpg", "c.png"}) {
            QImage image(40, 20, QImage::Format_RGB32);
            image.fill(Qt::red);
            image.save(folder + '/' + name);
        }
        // Stray bytes before the JPEG's end, as some cameras leave: libjpeg warns of them, and
        // nothing of that may reach standard error.
        QFile jpeg(folder + "/b.jpg");
        if (!jpeg.open(QIODevice::ReadWrite) || !jpeg.seek(jpeg.size() - 2) || jpeg.write("junk\xff\xd9") != 6)
            qFatal("cannot write the stray bytes");
        QFile earlier(desktopReport);
        if (!earlier.open(QIODevice::WriteOnly) || !earlier.write("earlier\n") || !earlier.setPermissions(ownerOnly))
            qFatal("cannot write the earlier report");
        saved.setValue("velkURL", server.urlText());
        saved.setValue("clientID", "client");
        saved.setValue("clientSecret", "secret");
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.filePath(".config"));
        for (const char *name : {"VELK_URL", "VELK_CLIENT_ID", "VELK_CLIENT_SECRET"})
            env.remove(name);
    }

    void breakImage()
    {
        QFile file(folder + "/b.jpg");
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.write("just some notes\n"))
            qFatal("cannot break b.jpg");
    }

    /** Calls then at the nth upload the server receives. */
    static void atUpload(StubServer &server, QObject *context, int nth, std::function<void()> then)
    {
        QObject::connect(&server, &StubServer::requestHandled, context, [=, seen = 0](const StubRequest &request) mutable {
            if (request.method == "POST" && request.path() == "/api/v1/icon" && ++seen == nth)
                then();
        });
    }
};

using Setup = std::function<void(World &)>;

/** Each request as text, with what must differ between two servers and two runs made alike: the port, the boundary. */
QList<QByteArray> requestsOf(const StubServer &server)
{
    QList<QByteArray> texts;
    for (const StubRequest &request : server.requests()) {
        QByteArray text = request.method + ' ' + request.target + '\n';
        for (const auto &[name, value] : request.headers)
            text += name + ": " + value + '\n';
        text += '\n' + request.body;
        const QByteArray type = request.header("Content-Type");
        if (const qsizetype at = type.indexOf("boundary="); at >= 0)
            text.replace(type.mid(at + 9), "BOUNDARY");
        texts << text.replace(QByteArray::number(server.port()), "PORT");
    }
    return texts;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

QStringList linesOf(const QByteArray &output)
{
    QStringList lines = QString::fromUtf8(output).split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void command_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("ending"); // the last lines of standard output; for bad usage, the first of standard error
        QTest::addColumn<int>("uploaded");
        const QString complete = "Upload complete. Uploaded 3 icon image(s). CSV saved to: %DESKTOP%";
        const auto row = [](const char *name, const QStringList &arguments, Setup setup, int exitCode, const QStringList &ending, int uploaded) {
            QTest::newRow(name) << arguments << setup << exitCode << ending << uploaded;
        };
        const Setup nothing = [](World &) {};

        row("saved settings", {"%FOLDER%"}, nothing, 0, {complete}, 3);
        row("quiet", {"--quiet", "%FOLDER%"}, nothing, 0, {complete}, 3);
        row("progress on a terminal", {"%FOLDER%"}, [](World &w) { w.terminal = true; }, 0, {complete}, 3);
        row("report path", {"--report", "%OTHER%", "%FOLDER%"}, nothing, 0,
            {"Upload complete. Uploaded 3 icon image(s). CSV saved to: %OTHER%"}, 3);
        row("no images", {"%FOLDER%"}, [](World &w) {
            for (const QString &name : QDir(w.folder).entryList(QDir::Files))
                QFile::rename(w.folder + '/' + name, w.folder + '/' + name + ".txt");
        }, 3, {"No supported image files found. Supported types: PNG, JPG, JPEG, GIF."}, 0);
        row("token refused", {"%FOLDER%"}, [](World &w) {
            for (StubServer *each : {&w.server, &w.windowServer})
                each->setClientCredentials("client", "another secret");
        }, 1, {R"(Error: Failed to get bearer token. HTTP 401. {"error":"invalid_client"})"}, 0);
        row("broken image", {"%FOLDER%"}, [](World &w) { w.breakImage(); }, 1, {"Error: Could not open image: b.jpg"}, 1);
        row("Ctrl+C midway", {"%FOLDER%"}, [](World &w) { w.interruptAt = 2; }, 130,
            {"Stopping...", "Upload stopped. Uploaded 2 of 3 icon image(s). CSV saved to: %DESKTOP%"}, 2);
        // A second Ctrl+C while a slow server keeps the run stopping ends the process at once (-SIGINT).
        row("Ctrl+C twice", {"%FOLDER%"}, [](World &w) {
            w.interruptAt = 1;
            w.twice = true;
            w.server.setReplyDelay(std::chrono::milliseconds(300));
        }, -SIGINT, {"Stopping..."}, 1);
        // Where the settings come from: an option over the environment over the saved settings.
        row("secret from a file", {"--secret-file", "%SECRET%", "%FOLDER%"}, [](World &w) {
            w.saved.setValue("clientSecret", "saved");
            w.env.insert("VELK_CLIENT_SECRET", "environment");
            QFile file(w.secretFile);
            if (!file.open(QIODevice::WriteOnly) || !file.write("secret\n"))
                qFatal("cannot write the secret file");
        }, 0, {complete}, 3);
        row("secret from standard input", {"--secret-file", "-", "%FOLDER%"}, [](World &w) {
            w.saved.setValue("clientSecret", "saved");
            w.input = "secret\r\n";
        }, 0, {complete}, 3);
        row("secret typed at a prompt", {"--secret-file", "-", "%FOLDER%"}, [](World &w) {
            w.saved.remove("clientSecret");
            w.terminal = true;
            w.typed = "secret\n";
        }, 0, {complete}, 3);
        row("environment over saved settings", {"%FOLDER%"}, [](World &w) {
            w.saved.setValue("velkURL", w.wrongUrl);
            w.saved.setValue("clientID", "saved");
            w.saved.setValue("clientSecret", "saved");
            w.env.insert("VELK_URL", w.server.urlText());
            w.env.insert("VELK_CLIENT_ID", "client");
            w.env.insert("VELK_CLIENT_SECRET", "secret");
        }, 0, {complete}, 3);
        row("options over the environment", {"--server", "%URL%", "--client-id", "client", "%FOLDER%"}, [](World &w) {
            w.env.insert("VELK_URL", w.wrongUrl);
            w.env.insert("VELK_CLIENT_ID", "environment");
        }, 0, {complete}, 3);
        // Nothing is sent in check mode, and none without every setting.
        row("check", {"--check", "%FOLDER%"}, [](World &w) { w.breakImage(); }, 1,
            {"Error: Could not open image: b.jpg", "Check failed. 1 of 3 icon image(s) cannot be converted."}, 0);
        row("check passes without settings", {"--check", "%FOLDER%"}, [](World &w) { w.saved.clear(); }, 0,
            {"Check complete. All 3 icon image(s) convert."}, 0);
        row("no folder", {}, nothing, 2, {"velk-icon-upload: no folder given"}, 0);
        row("no such folder", {"%FOLDER%/none"}, nothing, 2, {"velk-icon-upload: no such folder: %FOLDER%/none"}, 0);
        row("secret as an argument", {"--secret", "secret", "%FOLDER%"}, nothing, 2,
            {"velk-icon-upload: the client secret is never taken from the command line (it would show in the process "
             "list): set VELK_CLIENT_SECRET or give --secret-file FILE"}, 0);
        row("no Desktop", {"%FOLDER%"}, [](World &w) { w.env.insert("HOME", w.home.filePath("out")); }, 2,
            {"velk-icon-upload: cannot write the report to %HOME%/out/Desktop/velk_icon_upload_results.csv: no such folder; give --report FILE"}, 0);
        row("nothing saved", {"%FOLDER%"}, [](World &w) { w.saved.clear(); }, 2,
            {"velk-icon-upload: no server URL: give --server URL, set VELK_URL, or save one in Velk Icon Uploader"}, 0);
        row("no secret saved", {"%FOLDER%"}, [](World &w) { w.saved.remove("clientSecret"); }, 2,
            {"velk-icon-upload: no client secret: give --secret-file FILE, set VELK_CLIENT_SECRET, or save one in Velk Icon Uploader"}, 0);
    }

    void command()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Setup, setup);
        QFETCH(int, exitCode);
        QFETCH(QStringList, ending);
        QFETCH(int, uploaded);
        World w;
        setup(w);
        w.saved.sync();
        const auto fill = [&](QString text) {
            return text.replace("%FOLDER%", w.folder).replace("%DESKTOP%", w.desktopReport).replace("%OTHER%", w.otherReport)
                .replace("%SECRET%", w.secretFile).replace("%URL%", w.server.urlText()).replace("%HOME%", w.home.path());
        };
        for (QString &argument : arguments)
            argument = fill(argument);
        for (QString &line : ending)
            line = fill(line);

        QProcess command;
        command.setProcessEnvironment(w.env);
        const int pty = w.terminal ? ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        const auto closePty = qScopeGuard([pty] { ::close(pty); });
        if (w.terminal) {
            QVERIFY(pty >= 0 && ::grantpt(pty) == 0 && ::unlockpt(pty) == 0);
            const int terminal = ::open(::ptsname(pty), O_RDWR | O_NOCTTY);
            command.setChildProcessModifier([terminal, typed = !w.typed.isEmpty()] {
                ::dup2(terminal, STDERR_FILENO);
                if (typed)
                    ::dup2(terminal, STDIN_FILENO);
            });
            connect(&command, &QProcess::started, [terminal] { ::close(terminal); });
        }
        if (w.interruptAt)
            World::atUpload(w.server, &command, w.interruptAt, [&] {
                ::kill(pid_t(command.processId()), SIGINT);
                if (w.twice)
                    QTimer::singleShot(100, &command, [&] { ::kill(pid_t(command.processId()), SIGINT); });
            });
        command.start(QStringLiteral(VELK_CLI), arguments);
        command.write(w.input);
        command.closeWriteChannel();
        if (!w.typed.isEmpty()) {
            QVERIFY(QTest::qWaitFor([&] {
                termios settings;
                return ::tcgetattr(pty, &settings) == 0 && !(settings.c_lflag & ECHO);
            }, 10'000));
            QCOMPARE(::write(pty, w.typed.constData(), size_t(w.typed.size())), w.typed.size());
        }
        QVERIFY(QTest::qWaitFor([&] { return command.state() == QProcess::NotRunning; }, 20'000));
        if (exitCode < 0) { // ended by that signal, with nothing written
            QCOMPARE(command.exitStatus(), QProcess::CrashExit);
            QCOMPARE(linesOf(command.readAllStandardOutput()).last(), ending.last());
            QCOMPARE(readAll(w.desktopReport), QByteArray("earlier\n"));
            return;
        }
        QCOMPARE(command.exitStatus(), QProcess::NormalExit);
        QCOMPARE(command.exitCode(), exitCode);
        const QStringList output = linesOf(command.readAllStandardOutput()), errors = linesOf(command.readAllStandardError());
        QCOMPARE(exitCode == 2 ? errors.mid(0, ending.size()) : output.mid(output.size() - ending.size()), ending);
        QCOMPARE(errors.isEmpty(), exitCode != 2);
        if (w.terminal) {
            QByteArray drawn(4096, 0);
            drawn.resize(std::max(0, int(::read(pty, drawn.data(), drawn.size()))));
            QVERIFY2(drawn.contains("] 0 of 3 icons uploaded") && drawn.endsWith("] 3 of 3 icons uploaded\033[K\r\033[K"), drawn);
            // Cleared before each file's status line, so that the line starts clean, and at the end.
            QVERIFY2(drawn.count("\r\033[K") >= 4, drawn);
            // The prompt, and what was typed at it unseen.
            QVERIFY2(w.typed.isEmpty() || (drawn.startsWith("Client secret: \r\n") && !drawn.contains(w.typed.trimmed() + "\r")), drawn);
        }
        QCOMPARE(w.server.iconCount(), uploaded);
        // The report lists the icons uploaded, where it was asked for; the earlier one stays unless replaced.
        const QString report = arguments.contains("--report") ? w.otherReport : w.desktopReport;
        const bool written = ending.last().contains("CSV saved to");
        if (written)
            QCOMPARE(readAll(report).count('\n'), uploaded + 1);
        if (!written || report != w.desktopReport)
            QCOMPARE(readAll(w.desktopReport), QByteArray("earlier\n"));
        QCOMPARE(QFile::permissions(w.desktopReport), World::ownerOnly); // a report replaced keeps its permissions
        if (exitCode == 2 || arguments.contains("--check")) {
            QCOMPARE(output, exitCode == 2 ? QStringList() : ending);
            QCOMPARE(w.server.requests().size(), 0);
            return;
        }

        // The window's run over the same folder shows the same, sends the same and writes the same.
        Window window;
        window.url = w.windowServer.urlText();
        window.folder = w.folder;
        window.report = w.home.filePath("window.csv");
        if (w.interruptAt)
            World::atUpload(w.windowServer, &window, w.interruptAt, [&] { window.stop->request(); });
        HttpClient http;
        testsupport::runTask(uploadIcons(&window, window, http));
        const QStringList shown = window.statuses.replaceInStrings(window.report, report);
        QCOMPARE(output, arguments.contains("--quiet") ? QStringList{shown.last()} : shown);
        QCOMPARE(requestsOf(w.server), requestsOf(w.windowServer));
        if (written)
            QCOMPARE(readAll(report).replace(w.server.urlText().toUtf8(), "SERVER"), readAll(window.report).replace(w.windowServer.urlText().toUtf8(), "SERVER"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
