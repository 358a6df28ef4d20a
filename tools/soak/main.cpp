// velk-soak: one long upload run, driven headless against the stub server in
// this process, sampling the process's memory and open files as it goes.
// Neither may grow with the number of files: every conversion, request and
// reply must give back what it took.
//
//   velk-soak [FILES] [EVERY]     (defaults: 2000 files, a sample every 100)
//
// Prints a table of samples and the figures at the first and last sample;
// exits 1 when the run fails or open files or heap grew between them.

#include "run/UploadHost.h"
#include "run/UploadRun.h"
#include "tools/stub-server/StubServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <QCoroTask>

#include <malloc.h>

#include <cstdio>

namespace {

struct Sample
{
    int files = 0;
    double rssMB = 0;
    double heapMB = 0;
    int openFiles = 0;
    double seconds = 0;
};

/** VmRSS from /proc/self/status, in MB. */
double residentMB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

/** Entries of /proc/self/fd, less the one the listing itself holds open. */
int openFiles()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()) - 1;
}

/**
 * The allocator's bytes in use in its main arena, which serves the UI
 * thread, where the run lives; steadier than RSS. Worker threads (the
 * conversions, Qt's HTTP thread) use arenas of their own, which only RSS
 * shows.
 */
double heapMB()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

/** A window stand-in that keeps only the last status, so that it does not grow either. */
class SoakHost : public QObject, public UploadHost
{
public:
    QString url;
    QString folder;
    QString lastStatus;
    bool uploading = false;
    std::function<void(const QString &)> onStatus;

    QString velkURL() const override { return url; }
    QString clientID() const override { return QStringLiteral("soak"); }
    QString clientSecret() const override { return QStringLiteral("soak-secret"); }
    QString selectedFolder() const override { return folder; }
    void setStatus(const QString &status) override
    {
        lastStatus = status;
        if (onStatus)
            onStatus(status);
    }
    void setUploading(bool value) override { uploading = value; }
};

/** Small icons, each one different, as PNG and JPEG in turn. */
void writeIcons(const QString &folder, int count)
{
    for (int i = 0; i < count; ++i) {
        QImage image(64, 48, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor::fromHsv(i * 37 % 360, 200, 230));
        painter.setPen(QPen(QColor::fromHsv(i * 91 % 360, 255, 120), 3));
        painter.drawEllipse(QRectF(4 + i % 7, 4 + i % 5, 40, 36));
        painter.end();
        const bool jpeg = i % 2 == 1;
        const QString path = QDir(folder).filePath(QStringLiteral("icon-%1.%2").arg(i, 5, 10, QLatin1Char('0')).arg(jpeg ? "jpg" : "png"));
        if (!(jpeg ? image.convertToFormat(QImage::Format_RGB32) : image).save(path))
            qFatal("cannot write %s", qPrintable(path));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int fileCount = arguments.size() > 1 ? arguments[1].toInt() : 2000;
    const int every = arguments.size() > 2 ? arguments[2].toInt() : 100;
    if (fileCount < every || every < 1) {
        std::fprintf(stderr, "usage: velk-soak [FILES] [EVERY], FILES >= EVERY >= 1\n");
        return 2;
    }

    QTemporaryDir home;
    QTemporaryDir icons;
    if (!home.isValid() || !icons.isValid() || !QDir(home.path()).mkdir(QStringLiteral("Desktop")))
        qFatal("cannot make the soak's folders");
    qputenv("HOME", QFile::encodeName(home.path())); // the report goes to this Desktop
    std::printf("Writing %d icons...\n", fileCount);
    std::fflush(stdout);
    writeIcons(icons.path(), fileCount);

    StubServer server;
    if (!server.listen())
        qFatal("the stub server cannot listen");
    SoakHost host;
    host.url = server.urlText();
    host.folder = icons.path();

    QList<Sample> samples;
    QElapsedTimer clock;
    int done = -1; // files finished; the first progress text starts file 0
    auto sample = [&](int files) {
        server.forgetHistory(); // the stub's records are not the client's memory
        malloc_trim(0);
        samples.append(Sample{files, residentMB(), heapMB(), openFiles(), clock.elapsed() / 1000.0});
        const Sample &s = samples.last();
        std::printf("%8d %10.1f %10.2f %10d %10.1f\n", s.files, s.rssMB, s.heapMB, s.openFiles, s.seconds);
        std::fflush(stdout);
    };
    host.onStatus = [&](const QString &status) {
        if (!status.startsWith(QLatin1String("Converting and uploading ")))
            return;
        if (++done > 0 && done % every == 0)
            sample(done);
    };

    std::printf("%8s %10s %10s %10s %10s\n", "files", "RSS MB", "main heap", "open fds", "seconds");
    clock.start();
    sample(0);
    QCoro::waitFor(uploadIcons(&host, host));
    if (!host.lastStatus.startsWith(QLatin1String("Upload complete."))) {
        std::fprintf(stderr, "The run failed: %s\n", qPrintable(host.lastStatus));
        return 1;
    }
    sample(fileCount);

    const Sample &first = samples.at(1);
    const Sample &last = samples.last();
    std::printf("\nAfter %d files: RSS %.1f MB, heap %.2f MB, %d open fds\n", first.files, first.rssMB, first.heapMB, first.openFiles);
    std::printf("After %d files: RSS %.1f MB, heap %.2f MB, %d open fds\n", last.files, last.rssMB, last.heapMB, last.openFiles);
    std::printf("Growth: RSS %+.1f MB, heap %+.2f MB, open fds %+d; %.1f files/s\n", last.rssMB - first.rssMB,
                last.heapMB - first.heapMB, last.openFiles - first.openFiles, fileCount / last.seconds);
    // The stub keeps a small record per icon (its ID and name), which is all
    // that may grow: well under 1 MB for thousands of files. RSS also moves
    // with the allocator's arenas by a few MB either way.
    const bool steady = last.openFiles <= first.openFiles && last.heapMB - first.heapMB < 2.0 && last.rssMB - first.rssMB < 8.0;
    std::printf("%s\n", steady ? "Steady: no growth with the number of files." : "GROWTH: memory or open files grow with the files.");
    std::printf("(During the run the main heap also holds one result per file for the report, which is written\n"
                " at the end, and the stub's record of each icon: some 0.6 KB a file, given back when the run ends.)\n");
    return steady ? 0 : 1;
}
