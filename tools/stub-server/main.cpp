// velk-stub-server: the stub Velk Pro server as a program, for manual trials
// and demos. Prints its URL, logs one line per request to stderr, and runs
// until it is killed.

#include "tools/stub-server/StubServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velk-stub-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A stub Velk Pro server on 127.0.0.1 for trying the uploader."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on (default: any free port)."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption storeOption(QStringLiteral("store"), QStringLiteral("Also write uploaded PNGs to DIR/<id>.png."),
                                         QStringLiteral("DIR"));
    const QCommandLineOption idOption(QStringLiteral("client-id"), QStringLiteral("Accept only this API client ID."),
                                      QStringLiteral("ID"));
    const QCommandLineOption secretOption(QStringLiteral("client-secret"),
                                          QStringLiteral("Accept only this API client secret (with --client-id)."),
                                          QStringLiteral("SECRET"));
    const QCommandLineOption delayOption(QStringLiteral("delay"), QStringLiteral("Answer every request after MS milliseconds (default 0)."),
                                         QStringLiteral("MS"), QStringLiteral("0"));
    parser.addOptions({portOption, storeOption, idOption, secretOption, delayOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    bool delayOk = false;
    const int delay = parser.value(delayOption).toInt(&delayOk);
    if (!portOk || port > 65535 || !delayOk || delay < 0)
        parser.showHelp(2);

    StubServer server;
    if (parser.isSet(storeOption)) {
        const QString dir = parser.value(storeOption);
        if (!QDir().mkpath(dir)) {
            std::fprintf(stderr, "Cannot create %s\n", qPrintable(dir));
            return 1;
        }
        server.setStoreDirectory(dir);
    }
    server.setReplyDelay(std::chrono::milliseconds(delay));
    if (parser.isSet(idOption) || parser.isSet(secretOption))
        server.setClientCredentials(parser.value(idOption), parser.value(secretOption));
    if (!server.listen(quint16(port))) {
        std::fprintf(stderr, "Cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }

    QObject::connect(&server, &StubServer::requestHandled, [](const StubRequest &request, int status) {
        QTextStream(stderr) << request.method << ' ' << request.target << " -> "
                            << (status ? QString::number(status) : QStringLiteral("no answer")) << Qt::endl;
    });

    std::printf("Listening on %s\n", qPrintable(server.urlText()));
    std::fflush(stdout);
    return app.exec();
}
