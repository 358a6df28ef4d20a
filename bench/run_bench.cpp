// velk-run-bench FOLDER [SERVER_URL]
//
// Drives one real upload run over FOLDER against the stub server and prints
// what it cost: wall time per icon split into conversion and the rest
// (network, server, report), the longest stall of the event loop that the
// window would share, the TCP connections the run opened, and peak memory.
// The stub runs on a thread of its own so that its work does not count as
// a stall of the run's thread; given SERVER_URL, the run goes to that
// running stub server instead (as bench/script_run.py does, for a side by
// side comparison), and neither the server-side figures nor the stall
// (whose 1 ms probe costs a little) are measured. HOME points
// at a temporary folder, so the report never lands on the user's Desktop.

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
#include <cstdio>
#include <functional>
#include <thread>

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: velk-run-bench FOLDER [SERVER_URL]\n");
        return 2;
    }
    const bool externalServer = argc == 3;
    const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QList<IconFile> files = iconFilesIn(folder);

    QTemporaryDir home;
    QDir(home.path()).mkdir(QStringLiteral("Desktop"));
    qputenv("HOME", QFile::encodeName(home.path()));

    QThread serverThread;
    StubServer *server = nullptr;
    QString url = QString::fromLocal8Bit(argc == 3 ? argv[2] : "");
    if (!externalServer) {
        serverThread.start();
        server = new StubServer;
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

    int connections = 0;
    int icons = 0;
    if (server) {
        QMetaObject::invokeMethod(
            server,
            [&] {
                connections = server->connectionCount();
                icons = server->iconCount();
                delete server;
            },
            Qt::BlockingQueuedConnection);
        serverThread.quit();
        serverThread.wait();
    }

    // Conversion alone, file by file, as the run does it: off the main
    // thread (whose heap behaves differently for the large buffers), after
    // the run, so that both see the same warm caches, and twice, keeping the
    // shorter, so that a moment of load on a shared machine counts less.
    double conversionMs = 0;
    std::thread converter([&] {
        QElapsedTimer passClock;
        for (int pass = 0; pass < 2; ++pass) {
            passClock.start();
            for (const IconFile &file : files)
                makePNG512(file.nativePath, file.name);
            const double ms = passClock.nsecsElapsed() / 1e6;
            conversionMs = pass == 0 ? ms : std::min(conversionMs, ms);
        }
    });
    converter.join();

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
    std::printf("peak RSS          %.1f MiB\n", procStatusKiB("VmHWM:") / 1024.0);
    return window.lastStatus.startsWith(QLatin1String("Upload complete.")) ? 0 : 1;
}
