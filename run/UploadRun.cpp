#include "run/UploadRun.h"

#include "api/BearerToken.h"
#include "core/ServerError.h"
#include "run/IconBatch.h"

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

} // namespace

QCoro::Task<> uploadIcons(QObject *owner, UploadHost &host, HttpClient &http)
{
    const QPointer<QObject> alive(owner);

    const QString folder = host.selectedFolder();
    if (folder.isEmpty()) {
        host.setStatus(QStringLiteral("No folder selected."));
        co_return;
    }

    host.setUploading(true);
    host.setStatus(QStringLiteral("Getting bearer token..."));

    // Nothing awaits this task, so every error must end here, on the status
    // line; an exception escaping the coroutine would be lost.
    std::exception_ptr failure;
    try {
        const QString token = co_await fetchBearerToken(host.velkURL(), host.clientID(), host.clientSecret(), http);
        if (!alive)
            co_return;
        co_await runIconBatch(alive, host, folder, token, http);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && alive) {
        host.setStatus(QStringLiteral("Error: ") + describe(failure));
        host.setUploading(false);
    }
}
