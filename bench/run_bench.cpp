// velk-run-bench FOLDER [SERVER_URL] [--delay MS]
//
// Drives one real upload run over FOLDER against the stub server and prints
// what it cost: wall time per icon split into conversion and the rest
// (network, server, report), the longest stall of the event loop that the
// window would share, the TCP connections the run opened, and peak memory.
//
// It also prints the run's limits: the conversions alone, one at a time, in
// all and spread over the cores; the requests alone (the same token, upload
// and lookup requests one after another, with the PNGs made beforehand);
// and the run's time as a multiple of the larger of the two, which no run
// can beat. With --delay the stub answers every request after MS
// milliseconds, as a distant server would.
// The stub runs on a thread of its own so that its work does not count as
// a stall of the run's thread; given SERVER_URL, the run goes to that
// running stub server instead (as bench/script_run.py does, for a side by
// side comparison), and neither the server-side figures nor the stall
// (whose 1 ms probe costs a little) are measured. HOME points
// at a temporary folder, so the report never lands on the user's Desktop.

#include "api/BearerToken.h"
#include "api/IconUpload.h"
#include "api/ServerUrl.h"
#include "imaging/Png512.h"
#include "run/IconBatch.h"
#include "run/UploadRun.h"
#include "tools/stub-server/StubServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <QCoroTask>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

class BenchWindow : public QObject, public UploadHost
{
public:
    QString url;
    QString folder;
    QString lastStatus;
    bool uploading = false;
    std::function<void()> onStatus;

    QString velkURL() const override { return url; }
    QString clientID() const override { return QStringLiteral("bench"); }
    QString clientSecret() const override { return QStringLiteral("bench"); }
    QString selectedFolder() const override { return folder; }
    void setStatus(const QString &status) override
    {
        lastStatus = status;
        if (onStatus)
            onStatus();
    }
    void setUploading(bool value) override { uploading = value; }
};

qint64 procStatusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

/**
 * The requests of a run over files whose PNGs are already made: the token,
 * then per file the upload and the lookup, one after another, as the run
 * sends them. Returns how many were sent.
 */
QCoro::Task<int> replayRequests(QString url, QList<IconFile> files, std::vector<QByteArray> pngs)
{
    int sent = 1;
    const QString token = co_await fetchBearerToken(url, QStringLiteral("bench"), QStringLiteral("bench"));
    const QUrl uploadUrl = *endpointUrl(url, QStringLiteral("/api/v1/icon"));
    for (qsizetype i = 0; i < files.size(); ++i) {
        HttpRequest request(HttpMethod::Post, uploadUrl);
        request.header("Authorization", "Bearer " + token.toUtf8())
            .header("Content-Type", "multipart/form-data; boundary=bench-boundary");
        request.body = multipartBody("bench-boundary", uploadFileName(files[i].name), pngs[size_t(i)]);
        const HttpReply reply = co_await HttpClient::shared().send(std::move(request));
        const QString id = iconIDFromUploadReply(reply, files[i].name);
        co_await lookupIcon(url, token, id);
        sent += 2;
    }
    co_return sent;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    int delayMs = 0;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--delay")); at >= 0 && at + 1 < arguments.size()) {
        delayMs = arguments[at + 1].toInt();
        arguments.remove(at, 2);
    }
    if (arguments.size() != 1 && arguments.size() != 2) {
        std::fprintf(stderr, "usage: velk-run-bench FOLDER [SERVER_URL] [--delay MS]\n");
        return 2;
    }
    const bool externalServer = arguments.size() == 2;
    const QString folder = QDir(arguments[0]).absolutePath();
    const QList<IconFile> files = iconFilesIn(folder);

    QTemporaryDir home;
    QDir(home.path()).mkdir(QStringLiteral("Desktop"));
    qputenv("HOME", QFile::encodeName(home.path()));

    QThread serverThread;
    StubServer *server = nullptr;
    QString url = externalServer ? arguments[1] : QString();
    if (!externalServer) {
        serverThread.start();
        server = new StubServer;
        server->setReplyDelay(std::chrono::milliseconds(delayMs));
        server->moveToThread(&serverThread);
        QMetaObject::invokeMethod(
            server,
            [&] {
                server->listen();
                url = server->urlText();
            },
            Qt::BlockingQueuedConnection);
    }

    BenchWindow window;
    window.url = url;
    window.folder = folder;
    // The stub would otherwise keep every uploaded PNG, and the figures are
    // about the client's memory.
    if (server)
        window.onStatus = [server] { QMetaObject::invokeMethod(server, &StubServer::forgetHistory, Qt::QueuedConnection); };

    // A 1 ms timer stands in for the window's repaints: the longest gap
    // between its ticks is the longest the window would have frozen.
    QElapsedTimer tickClock;
    qint64 longestGapNs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGapNs = std::max(longestGapNs, tickClock.nsecsElapsed());
        tickClock.restart();
    });

    QElapsedTimer clock;
    clock.start();
    tickClock.start();
    if (!externalServer) // a side by side comparison runs as the app does, without the probe
        ticker.start();
    QCoro::waitFor(uploadIcons(&window, window));
    ticker.stop();
    const double runMs = clock.nsecsElapsed() / 1e6;
    const qint64 runPeakKiB = procStatusKiB("VmHWM:");
    int connections = 0;
    int icons = 0;
    if (server) {
        QMetaObject::invokeMethod(
            server,
            [&] {
                connections = server->connectionCount();
                icons = server->iconCount();
            },
            Qt::BlockingQueuedConnection);
    }

    // Conversion alone, file by file, as the run does it: off the main
    // thread (whose heap behaves differently for the large buffers), after
    // the run, so that both see the same warm caches, and twice, keeping the
    // shorter, so that a moment of load on a shared machine counts less.
    double conversionMs = 0;
    std::vector<QByteArray> pngs(size_t(files.size()));
    std::thread converter([&] {
        QElapsedTimer passClock;
        for (int pass = 0; pass < 2; ++pass) {
            passClock.start();
            for (qsizetype i = 0; i < files.size(); ++i)
                pngs[size_t(i)] = makePNG512(files[i].nativePath, files[i].name);
            const double ms = passClock.nsecsElapsed() / 1e6;
            conversionMs = pass == 0 ? ms : std::min(conversionMs, ms);
        }
    });
    converter.join();

    // The requests alone, with the PNGs made: twice, keeping the shorter.
    double requestsMs = 0;
    int requests = 0;
    if (!files.isEmpty()) {
        for (int pass = 0; pass < 2; ++pass) {
            QElapsedTimer requestClock;
            requestClock.start();
            requests = QCoro::waitFor(replayRequests(url, files, pngs));
            const double ms = requestClock.nsecsElapsed() / 1e6;
            requestsMs = pass == 0 ? ms : std::min(requestsMs, ms);
        }
    }

    if (server) {
        QMetaObject::invokeMethod(server, [&] { delete server; }, Qt::BlockingQueuedConnection);
        serverThread.quit();
        serverThread.wait();
    }

    const qsizetype n = files.size();
    std::printf("folder            %s\n", qPrintable(folder));
    if (server)
        std::printf("icons             %lld (server stored %d)\n", static_cast<long long>(n), icons);
    else
        std::printf("icons             %lld\n", static_cast<long long>(n));
    std::printf("status            %s\n", qPrintable(window.lastStatus));
    std::printf("run total         %.0f ms\n", runMs);
    if (n > 0) {
        std::printf("per icon          %.2f ms\n", runMs / n);
        std::printf("  conversion      %.2f ms\n", conversionMs / n);
        std::printf("  network & rest  %.2f ms\n", (runMs - conversionMs) / n);
    }
    if (server)
        std::printf("TCP connections   %d\n", connections);
    if (!externalServer)
        std::printf("longest stall     %.1f ms\n", longestGapNs / 1e6);
    std::printf("peak RSS          %.1f MiB (during the run)\n", runPeakKiB / 1024.0);
    if (n > 0) {
        const int cores = std::max(1, QThread::idealThreadCount());
        const double spread = conversionMs / cores;
        const double limit = std::max(spread, requestsMs);
        std::printf("limits%s\n", delayMs > 0 ? qPrintable(QStringLiteral(" (server answers after %1 ms)").arg(delayMs)) : "");
        std::printf("  our run                 %7.0f ms\n", runMs);
        std::printf("  conversions, one a time %7.0f ms\n", conversionMs);
        std::printf("  conversions / %d cores   %7.0f ms\n", cores, spread);
        std::printf("  %3d requests alone      %7.0f ms\n", requests, requestsMs);
        std::printf("  ratio to the limit      %7.2f (our run / the larger of the last two)\n", runMs / limit);
    }
    return window.lastStatus.startsWith(QLatin1String("Upload complete.")) ? 0 : 1;
}
