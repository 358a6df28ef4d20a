#include "run/UploadRun.h"

#include "api/BearerToken.h"
#include "core/ServerError.h"
#include "core/StopRequest.h"
#include "run/IconBatch.h"

#include <QEventLoopLocker>
#include <QObject>
#include <QPointer>

#include <new>

namespace {

/** The description shown after "Error: " for anything a run can throw. */
QString describe(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const ServerError &serverError) {
        return serverError.message();
    } catch (const std::bad_alloc &) {
        return QStringLiteral("Not enough memory to finish the upload.");
    } catch (const std::exception &other) {
        return QString::fromLocal8Bit(other.what());
    } catch (...) {
        return QStringLiteral("An unexpected error occurred.");
    }
}

/**
 * The host as the run sees it: the window while it lives. Once the window
 * is gone, whatever the run shows goes nowhere, and the server URL is the
 * one read last, so that the run can finish its files.
 */
class WindowOrNothing final : public UploadHost
{
public:
    WindowOrNothing(QObject *owner, UploadHost &host)
        : m_owner(owner)
        , m_host(host)
        , m_reportPath(host.reportPath())
    {
    }

    QString velkURL() const override
    {
        if (m_owner)
            m_velkURL = m_host.velkURL();
        return m_velkURL;
    }
    // Read once, at the start of the run, while the window is certain to live.
    QString clientID() const override { return m_host.clientID(); }
    QString clientSecret() const override { return m_host.clientSecret(); }
    QString selectedFolder() const override { return m_host.selectedFolder(); }

    void setStatus(const QString &status) override
    {
        if (m_owner)
            m_host.setStatus(status);
    }
    void setUploading(bool uploading) override
    {
        if (m_owner)
            m_host.setUploading(uploading);
    }
    void setProgress(int done, int total) override
    {
        if (m_owner)
            m_host.setProgress(done, total);
    }
    void reportWritten(const QString &csvPath) override
    {
        if (m_owner)
            m_host.reportWritten(csvPath);
    }
    void runStarted(StopRequest &stop) override
    {
        if (m_owner)
            m_host.runStarted(stop);
    }
    QString reportPath() const override { return m_reportPath; }

private:
    QPointer<QObject> m_owner;
    UploadHost &m_host;
    mutable QString m_velkURL;
    const QString m_reportPath; // read at the start, like the credentials
};

} // namespace

QCoro::Task<> uploadIcons(QObject *owner, UploadHost &window, HttpClient &http)
{
    // The process stays until this run has ended, whatever happens to the
    // windows meanwhile, so that its report is never lost.
    const QEventLoopLocker keepProcessAlive;
    WindowOrNothing host(owner, window);

    const QString folder = host.selectedFolder();
    if (folder.isEmpty()) {
        host.setStatus(QStringLiteral("No folder selected."));
        co_return;
    }

    StopRequest stop;
    QObject::connect(&stop, &StopRequest::requested, [&host] { host.setStatus(QStringLiteral("Stopping...")); });
    host.runStarted(stop);
    host.setUploading(true);
    host.setProgress(0, 0);
    host.setStatus(QStringLiteral("Getting bearer token..."));

    // Nothing awaits this task, so every error must end here, on the status
    // line; an exception escaping the coroutine would be lost.
    std::exception_ptr failure;
    bool stoppedEarly = false;
    try {
        const QString token = co_await fetchBearerToken(host.velkURL(), host.clientID(), host.clientSecret(), http, &stop);
        co_await runIconBatch(host, folder, token, http, stop);
    } catch (const Stopped &) {
        stoppedEarly = true; // while the token was awaited: nothing reached the server
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure || stoppedEarly) {
        host.setStatus(failure ? QStringLiteral("Error: ") + describe(failure) : stoppedStatus(0, 0, QString()));
        host.setUploading(false);
    }
}

RunEnding runEnding(const QString &status)
{
    if (status.startsWith(QLatin1String("Error: ")))
        return RunEnding::Error;
    if (status.startsWith(QLatin1String("Upload complete.")))
        return RunEnding::Complete;
    if (status.startsWith(QLatin1String("Upload stopped.")))
        return RunEnding::Stopped;
    if (status == noSupportedImagesStatus)
        return RunEnding::NothingToUpload;
    return RunEnding::None;
}
