#include "app/Application.h"
#include "app/ContentView.h"
#include "run/StopSignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char *argv[])
{
    nameApplication();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Uploads a folder of icon images to a Velk Pro server."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("The folder of icon images to choose at start."),
                                 QStringLiteral("[FOLDER]"));

    // --help and --version print without opening a window, so they work
    // where there is no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    parser.parse(arguments);
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))) {
        QCoreApplication app(argc, argv);
        parser.process(app);
        return 0;
    }

    QApplication app(argc, argv);
    setUpApplication(app);
    parser.process(app); // the Qt options are gone from app's arguments
    const QStringList folders = parser.positionalArguments();
    if (folders.size() > 1 || (folders.size() == 1 && !QFileInfo(folders.first()).isDir())) {
        std::fprintf(stderr, "velk-icon-uploader: %s\n",
                     qPrintable(folders.size() > 1 ? QStringLiteral("give at most one folder")
                                                   : QStringLiteral("not a folder: ") + folders.first()));
        return 2;
    }

    ContentView *window = ContentView::openWindow();
    if (!folders.isEmpty())
        window->selectFolder(folders.first());
    // A logout or Ctrl+C in a terminal stops every run, which ends with its
    // report; the windows close and the application ends after them.
    stopRunsOnSignals([](int) { ContentView::stopAndCloseAll(); });
    return app.exec();
}
