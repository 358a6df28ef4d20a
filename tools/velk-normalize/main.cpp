// velk-normalize IN... --out DIR [--repeat N]
//
// Turns each input into the 512x512 PNG the uploader sends, writes it as
// DIR/<input file name>.png and prints the file name, the median wall time
// of N conversions, their median processor time (steadier than wall time on
// a busy machine; the conversion is single-threaded) and the output size.
// Doubles as the conversion benchmark.

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
#include <ctime>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    parser.addOption(outOption);
    parser.addOption(repeatOption);
    parser.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("Image files."), QStringLiteral("IN..."));
    parser.process(app);

    bool repeatOk = false;
    const int repeat = parser.value(repeatOption).toInt(&repeatOk);
    const QStringList inputs = parser.positionalArguments();
    if (!parser.isSet(outOption) || inputs.isEmpty() || !repeatOk || repeat < 1)
        parser.showHelp(2);
    const QDir outDir(parser.value(outOption));
    if (!outDir.mkpath(QStringLiteral(".")))
        qFatal("cannot create %s", qPrintable(outDir.path()));

    QTextStream out(stdout);
    int failures = 0;
    for (const QString &input : inputs) {
        const QString name = QFileInfo(input).fileName();
        try {
            QByteArray png;
            std::vector<double> wallMs;
            std::vector<double> cpuMs;
            for (int i = 0; i < repeat; ++i) {
                QElapsedTimer timer;
                timer.start();
                const std::clock_t cpuStart = std::clock();
                png = makePNG512(input);
                cpuMs.push_back(double(std::clock() - cpuStart) * 1000.0 / CLOCKS_PER_SEC);
                wallMs.push_back(timer.nsecsElapsed() / 1e6);
            }

            QFile file(outDir.filePath(name + QStringLiteral(".png")));
            if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size())
                throw makeError(ErrorDomain::FileSystem, 0, QStringLiteral("Could not write ") + file.fileName());
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
