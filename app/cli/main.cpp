// velk-icon-upload: the window's upload run from a terminal, for scripts and
// servers without a display. The run is the run library's own, the one the
// window starts, so both send the same requests and write the same report;
// this program only resolves the settings, prints what the run shows and
// turns its ending into an exit status.

#include "app/cli/CommandLine.h"
#include "app/cli/Terminal.h"
#include "core/ServerError.h"
#include "core/StopRequest.h"
#include "run/IconBatch.h"
#include "run/LookAhead.h"
#include "run/StopSignals.h"
#include "run/UploadRun.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

/** A SIGINT or SIGTERM came: the run stops between files and the command exits with 130. */
bool g_signalled = false;

/** The window as the run sees it: the resolved settings, and a terminal for its status line. */
class TerminalHost final : public UploadHost
{
public:
    TerminalHost(const Invocation &invocation, Terminal &terminal)
        : m_invocation(invocation)
        , m_terminal(terminal)
    {
    }

    QString velkURL() const override { return m_invocation.velkURL; }
    QString clientID() const override { return m_invocation.clientID; }
    QString clientSecret() const override { return m_invocation.clientSecret; }
    QString selectedFolder() const override { return m_invocation.folder; }

    void setStatus(const QString &status) override
    {
        m_finalStatus = status;
        if (!m_invocation.quiet)
            m_terminal.print(status);
    }
    void setUploading(bool uploading) override
    {
        if (!uploading)
            m_terminal.clearProgress();
    }
    void setProgress(int done, int total) override { m_terminal.progress(done, total); }
    void runStarted(StopRequest &stop) override
    {
        if (g_signalled) // before the run was on
            stop.request();
    }
    QString reportPath() const override { return m_invocation.reportPath; }

    const QString &finalStatus() const { return m_finalStatus; }

    /**
     * The exit status of the run's ending: an empty folder is not an error
     * of the run, but a script that goes on to read the report must learn
     * that there is none, so it has a status of its own.
     */
    int exitStatus() const
    {
        switch (runEnding(m_finalStatus)) {
        case RunEnding::Complete: return 0;
        case RunEnding::NothingToUpload: return 3;
        case RunEnding::Stopped: return 130;
        default: return 1; // "Error: ..."
        }
    }

private:
    const Invocation &m_invocation;
    Terminal &m_terminal;
    QString m_finalStatus;
};

/**
 * --check: converts every image of the folder exactly as a run does (the
 * same files, the same conversion, ahead on every core) and sends nothing.
 * Prints the error a run would stop with for each image that fails, then a
 * summary; returns the exit status.
 */
QCoro::Task<int> checkFolder(const QString &folder, Terminal &terminal)
{
    QList<IconFile> files;
    try {
        files = iconFilesIn(folder);
    } catch (const ServerError &error) {
        terminal.print(QStringLiteral("Error: ") + error.message());
        co_return 1;
    }
    if (files.isEmpty()) {
        terminal.print(noSupportedImagesStatus);
        co_return 3;
    }

    StopRequest stop;
    if (g_signalled)
        stop.request();
    LookAhead ahead(files);
    const qsizetype total = files.size();
    qsizetype checked = 0, failed = 0;
    terminal.progress(0, int(total));
    for (; checked < total; ++checked) {
        QString failure;
        try {
            if (!co_await ahead.take(checked, stop))
                break;
        } catch (const ServerError &error) {
            failure = error.message();
        } catch (const std::exception &error) {
            failure = files[checked].name + QStringLiteral(": ") + QString::fromLocal8Bit(error.what());
        }
        if (!failure.isEmpty()) {
            ++failed;
            terminal.print(QStringLiteral("Error: ") + failure);
        }
        terminal.progress(int(checked + 1), int(total));
    }
    terminal.clearProgress();

    if (checked < total) {
        terminal.print(QStringLiteral("Check stopped. Checked %1 of %2 icon image(s); %3 cannot be converted.")
                           .arg(checked).arg(total).arg(failed));
        co_return 130;
    }
    if (failed > 0) {
        terminal.print(QStringLiteral("Check failed. %1 of %2 icon image(s) cannot be converted.").arg(failed).arg(total));
        co_return 1;
    }
    terminal.print(QStringLiteral("Check complete. All %1 icon image(s) convert.").arg(total));
    co_return 0;
}

QCoro::Task<> run(const Invocation &invocation, TerminalHost &host, Terminal &terminal, int &exitStatus)
{
    if (invocation.check) {
        exitStatus = co_await checkFolder(invocation.folder, terminal);
    } else {
        co_await uploadIcons(QCoreApplication::instance(), host);
        if (invocation.quiet)
            terminal.print(host.finalStatus());
        exitStatus = host.exitStatus();
    }
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The window's names (app/Application.cpp): they place its saved settings.
    QCoreApplication::setOrganizationName(QStringLiteral("Velk"));
    QCoreApplication::setApplicationName(QStringLiteral("velk-icon-uploader"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELK_VERSION));

    std::optional<Invocation> invocation;
    try {
        invocation = readInvocation(QCoreApplication::arguments());
    } catch (const UsageError &error) {
        std::fprintf(stderr, "velk-icon-upload: %s\nTry 'velk-icon-upload --help' for more.\n", qPrintable(error.message));
        return 2;
    }
    if (!invocation)
        return 0; // the help or the version was asked for
#ifdef Q_OS_LINUX
    // The secret is in memory now: no core dump of this process, and no
    // debugger attached by another process of the user's, may read it.
    ::prctl(PR_SET_DUMPABLE, 0);
#endif

    Terminal terminal(invocation->quiet, invocation->check ? QStringLiteral("checked") : QStringLiteral("uploaded"));
    TerminalHost host(*invocation, terminal);
    stopRunsOnSignals([](int) { g_signalled = true; });
    // A reader that goes away (| head) ends the output, not the run: the
    // run finishes and writes its report as if the output were read.
    std::signal(SIGPIPE, SIG_IGN);
    int exitStatus = 1;
    QTimer::singleShot(0, &app, [&] { run(*invocation, host, terminal, exitStatus); });
    app.exec();
    return exitStatus;
}
