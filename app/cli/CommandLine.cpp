#include "app/cli/CommandLine.h"

#include "app/AppSettings.h"
#include "run/ResultsCsv.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace {

const QString helpEpilogue = QStringLiteral(R"(
Settings: each of the server URL, the client ID and the client secret comes
from its option, else from its environment variable (VELK_URL,
VELK_CLIENT_ID, VELK_CLIENT_SECRET), else from the settings that Velk Icon
Uploader saved. The secret is never given as an argument: it would show in
the process list.

Exit status:
  0    every image uploaded and the report written (--check: every image converts)
  1    the run ended with an error, printed as "Error: ..." (--check: an image
       does not convert)
  2    bad usage: an unknown option, no such folder, no folder for the report,
       a setting missing; nothing was sent
  3    the folder holds no PNG, JPG, JPEG or GIF image: nothing was sent
  130  stopped by Ctrl+C or SIGTERM between files; the report lists the icons
       uploaded so far
)");

/** The value of an option, else of an environment variable, else nothing (empty). */
QString optionOrEnvironment(const QCommandLineParser &parser, const QString &option, const char *variable)
{
    return parser.isSet(option) ? parser.value(option) : qEnvironmentVariable(variable);
}

termios g_terminal;

/** Ctrl+C at the prompt: the terminal's echo comes back before the process ends as it would have. */
void restoreEchoAndEnd(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_terminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

/** One line typed at the terminal without showing it. */
QByteArray promptForSecret()
{
    std::fputs("Client secret: ", stderr);
    std::fflush(stderr);
    ::tcgetattr(STDIN_FILENO, &g_terminal);
    termios silent = g_terminal;
    silent.c_lflag &= ~tcflag_t(ECHO);
    const auto previousInt = std::signal(SIGINT, restoreEchoAndEnd);
    const auto previousTerm = std::signal(SIGTERM, restoreEchoAndEnd);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    std::string line;
    std::getline(std::cin, line);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_terminal);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    std::fputs("\n", stderr);
    return QByteArray::fromStdString(line);
}

/**
 * The secret in a file, or on standard input for "-": its text without the
 * line break at its end. At a terminal it is typed at a prompt, unseen.
 */
QString readSecretFile(const QString &name)
{
    constexpr qint64 limit = 64 * 1024;
    QByteArray bytes;
    QFile file;
    if (name == QLatin1String("-") && ::isatty(STDIN_FILENO)) {
        bytes = promptForSecret();
    } else {
        const bool opened = name == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                      : (file.setFileName(name), file.open(QIODevice::ReadOnly));
        if (opened)
            bytes = file.read(limit + 1);
        if (!opened || file.error() != QFileDevice::NoError)
            throw UsageError{QStringLiteral("cannot read the secret file %1: %2").arg(name, file.errorString())};
        if (bytes.size() > limit)
            throw UsageError{QStringLiteral("the secret file %1 is larger than 64 KiB").arg(name)};
    }
    while (bytes.endsWith('\n') || bytes.endsWith('\r'))
        bytes.chop(1);
    return QString::fromUtf8(bytes);
}

/** Throws when a setting is empty, saying where it may come from. */
void require(const QString &value, const char *what, const char *option, const char *variable)
{
    if (value.isEmpty()) {
        throw UsageError{QStringLiteral("no %1: give %2, set %3, or save one in Velk Icon Uploader")
                             .arg(QLatin1String(what), QLatin1String(option), QLatin1String(variable))};
    }
}

} // namespace

std::optional<Invocation> readInvocation(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Uploads the PNG, JPG, JPEG and GIF images of FOLDER to a Velk Pro server as\n"
        "Velk Icon Uploader does: each converted to a 512x512 PNG, in name order, and\n"
        "a report that maps every file to its icon, on the Desktop unless --report\n"
        "says otherwise. Prints each status on its own line."));
    const QString server = QStringLiteral("server"), clientID = QStringLiteral("client-id"),
                  secretFile = QStringLiteral("secret-file"), report = QStringLiteral("report"),
                  check = QStringLiteral("check"), quiet = QStringLiteral("quiet");
    parser.addOptions({
        {server, QStringLiteral("The server's base URL."), QStringLiteral("URL")},
        {clientID, QStringLiteral("The API client ID."), QStringLiteral("ID")},
        {secretFile, QStringLiteral("Read the API client secret from FILE, or from standard input for -."), QStringLiteral("FILE")},
        {report, QStringLiteral("Write the report to FILE instead of the Desktop."), QStringLiteral("FILE")},
        {check, QStringLiteral("Convert every image and upload nothing; list each one that fails.")},
        {{QStringLiteral("q"), quiet}, QStringLiteral("Print only the final status.")},
    });
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("The folder of icon images."));

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (unknown.contains(QLatin1String("secret")) || unknown.contains(QLatin1String("client-secret"))) {
            throw UsageError{QStringLiteral("the client secret is never taken from the command line (it would "
                                            "show in the process list): set VELK_CLIENT_SECRET or give --secret-file FILE")};
        }
        throw UsageError{parser.errorText()};
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText() + helpEpilogue), stdout);
        return std::nullopt;
    }
    if (parser.isSet(version)) {
        std::printf("velk-icon-upload %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return std::nullopt;
    }

    const QStringList folders = parser.positionalArguments();
    if (folders.size() != 1)
        throw UsageError{folders.isEmpty() ? QStringLiteral("no folder given") : QStringLiteral("give one folder only")};
    Invocation invocation;
    invocation.folder = QDir(folders.first()).absolutePath();
    if (!QFileInfo(invocation.folder).isDir())
        throw UsageError{QStringLiteral("no such folder: %1").arg(folders.first())};
    invocation.check = parser.isSet(check);
    invocation.quiet = parser.isSet(quiet);
    if (invocation.check)
        return invocation; // nothing is sent: no settings needed

    // A home without a Desktop (a server's, say) is found out before anything is uploaded.
    const QFileInfo file(parser.isSet(report) ? parser.value(report) : resultsCsvPath());
    invocation.reportPath = file.absoluteFilePath();
    if (file.isDir())
        throw UsageError{QStringLiteral("cannot write the report to %1: it is a folder").arg(invocation.reportPath)};
    if (!file.absoluteDir().exists()) {
        throw UsageError{QStringLiteral("cannot write the report to %1: no such folder%2")
                             .arg(invocation.reportPath, parser.isSet(report) ? QString() : QStringLiteral("; give --report FILE"))};
    }

    invocation.velkURL = optionOrEnvironment(parser, server, "VELK_URL");
    invocation.clientID = optionOrEnvironment(parser, clientID, "VELK_CLIENT_ID");
    invocation.clientSecret = parser.isSet(secretFile) ? readSecretFile(parser.value(secretFile))
                                                        : qEnvironmentVariable("VELK_CLIENT_SECRET");
    // The window's saved settings fill in the rest; a server URL never saved
    // reads as the window's placeholder, which names no server.
    if (invocation.velkURL.isEmpty() && !parser.isSet(server)) {
        invocation.velkURL = AppSettings::instance().velkURL();
        if (invocation.velkURL == AppSettings::defaultVelkURL())
            invocation.velkURL.clear();
    }
    if (invocation.clientID.isEmpty() && !parser.isSet(clientID))
        invocation.clientID = AppSettings::instance().clientID();
    if (invocation.clientSecret.isEmpty() && !parser.isSet(secretFile))
        invocation.clientSecret = AppSettings::instance().clientSecret();
    require(invocation.velkURL, "server URL", "--server URL", "VELK_URL");
    require(invocation.clientID, "client ID", "--client-id ID", "VELK_CLIENT_ID");
    require(invocation.clientSecret, "client secret", "--secret-file FILE", "VELK_CLIENT_SECRET");
    return invocation;
}
