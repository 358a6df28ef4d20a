// velk-normalize IN... --out DIR [--repeat N]
// velk-normalize --serve [--out DIR]
//
// Turns each input into the 512x512 PNG the uploader sends, writes it as
// DIR/<input file name>.png and prints the file name, the median wall time
// of N conversions, their median processor time (steadier than wall time on
// a busy machine; the conversion is single-threaded) and the output size.
// Doubles as the conversion benchmark.
//
// With --serve it reads one file path per line from standard input and
// answers each, once converted, with a line "<wall ms> <cpu ms> <bytes>" or
// "error <message>". A benchmark driver can so interleave our conversions
// with another converter's in one long-lived, warmed-up process.

#include "core/ServerError.h"
#include "imaging/Png512.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Timed
{
    QByteArray png;
    double wallMs = 0;
    double cpuMs = 0;
};

Timed convertTimed(const QString &input)
{
    Timed result;
    QElapsedTimer timer;
    timer.start();
    const std::clock_t cpuStart = std::clock();
    result.png = makePNG512(input);
    result.cpuMs = double(std::clock() - cpuStart) * 1000.0 / CLOCKS_PER_SEC;
    result.wallMs = double(timer.nsecsElapsed()) / 1e6;
    return result;
}

void writePng(const QDir &outDir, const QString &input, const QByteArray &png)
{
    QFile file(outDir.filePath(QFileInfo(input).fileName() + QStringLiteral(".png")));
    if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size())
        throw makeError(ErrorDomain::FileSystem, 0, QStringLiteral("Could not write ") + file.fileName());
}

/** The --serve loop: a path per line in, a result line out, until end of input. */
int serve(const QDir *outDir)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        const QString input = QString::fromStdString(line);
        try {
            const Timed timed = convertTimed(input);
            if (outDir)
                writePng(*outDir, input, timed.png);
            std::printf("%.3f %.3f %lld\n", timed.wallMs, timed.cpuMs, static_cast<long long>(timed.png.size()));
        } catch (const ServerError &error) {
            std::printf("error %s\n", qPrintable(error.message()));
        }
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Decoding, resampling and encoding need no GUI: a core application is
    // enough and keeps the tool headless.
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Converts images to the 512x512 PNGs the uploader sends, and times it."));
    parser.addHelpOption();
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("Folder for the PNGs."), QStringLiteral("DIR"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"), QStringLiteral("Conversions per input (default 1); the median time is printed."),
                                          QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption serveOption(QStringLiteral("serve"), QStringLiteral("Convert the paths read from standard input, one a line, answering each with a line of times and size."));
    parser.addOption(outOption);
    parser.addOption(repeatOption);
    parser.addOption(serveOption);
    parser.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("Image files."), QStringLiteral("IN..."));
    parser.process(app);

    bool repeatOk = false;
    const int repeat = parser.value(repeatOption).toInt(&repeatOk);
    const QStringList inputs = parser.positionalArguments();
    const bool serving = parser.isSet(serveOption);
    if ((!serving && (!parser.isSet(outOption) || inputs.isEmpty())) || !repeatOk || repeat < 1)
        parser.showHelp(2);
    const QDir outDir(parser.value(outOption));
    if (parser.isSet(outOption) && !outDir.mkpath(QStringLiteral(".")))
        qFatal("cannot create %s", qPrintable(outDir.path()));
    if (serving)
        return serve(parser.isSet(outOption) ? &outDir : nullptr);

    QTextStream out(stdout);
    int failures = 0;
    for (const QString &input : inputs) {
        const QString name = QFileInfo(input).fileName();
        try {
            QByteArray png;
            std::vector<double> wallMs;
            std::vector<double> cpuMs;
            for (int i = 0; i < repeat; ++i) {
                Timed timed = convertTimed(input);
                png = std::move(timed.png);
                wallMs.push_back(timed.wallMs);
                cpuMs.push_back(timed.cpuMs);
            }
            writePng(outDir, input, png);
            out << qSetFieldWidth(28) << Qt::left << name << qSetFieldWidth(0)
                << QString::number(median(wallMs), 'f', 1).rightJustified(8) << " ms "
                << QString::number(median(cpuMs), 'f', 1).rightJustified(8) << " cpu ms "
                << QString::number(png.size()).rightJustified(9) << " bytes" << Qt::endl;
        } catch (const ServerError &error) {
            ++failures;
            out << qSetFieldWidth(28) << Qt::left << name << qSetFieldWidth(0) << "error: " << error.message() << Qt::endl;
        }
    }
    return failures == 0 ? 0 : 1;
}
