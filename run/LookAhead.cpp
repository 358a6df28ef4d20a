#include "run/LookAhead.h"

#include "core/StopRequest.h"
#include "imaging/Png512.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>
#include <coroutine>

namespace {

using Conversion = LookAhead::Conversion;

/**
 * Suspends until a conversion has finished or stop is requested, whichever
 * comes first. The waiting coroutine resumes from the event loop, never
 * inside the signal that woke it, since it may go on to destroy the stop
 * request or the watcher that sent the signal.
 */
class ConversionOrStop
{
public:
    ConversionOrStop(const QFuture<Conversion> &future, const StopRequest &stop)
        : m_future(future)
        , m_stop(stop)
    {
    }
    ~ConversionOrStop()
    {
        QObject::disconnect(m_finished);
        QObject::disconnect(m_stopped);
    }
    ConversionOrStop(const ConversionOrStop &) = delete;
    ConversionOrStop &operator=(const ConversionOrStop &) = delete;

    /** What co_await uses; the state stays here, in the waiting coroutine's frame. */
    struct Awaiter
    {
        ConversionOrStop &state;
        bool await_ready() const { return state.m_future.isFinished() || state.m_stop.isRequested(); }
        void await_suspend(std::coroutine_handle<> waiter) { state.wakeOnEither(waiter); }
        void await_resume() const {}
    };
    Awaiter operator co_await() { return Awaiter{*this}; }

private:
    void wakeOnEither(std::coroutine_handle<> waiter)
    {
        const auto wake = [this, waiter] {
            if (m_woken)
                return;
            m_woken = true;
            QObject::disconnect(m_finished);
            QObject::disconnect(m_stopped);
            QMetaObject::invokeMethod(QCoreApplication::instance(), [waiter] { waiter.resume(); }, Qt::QueuedConnection);
        };
        m_finished = QObject::connect(&m_watcher, &QFutureWatcherBase::finished, wake);
        m_stopped = QObject::connect(&m_stop, &StopRequest::requested, wake);
        m_watcher.setFuture(m_future);
    }

    QFuture<Conversion> m_future;
    const StopRequest &m_stop;
    QFutureWatcher<Conversion> m_watcher;
    QMetaObject::Connection m_finished;
    QMetaObject::Connection m_stopped;
    bool m_woken = false;
};

} // namespace

LookAhead::LookAhead(QList<IconFile> files)
    : m_files(std::move(files))
    , m_abandoned(std::make_shared<std::atomic<bool>>(false))
{
    startUpTo(depth());
}

LookAhead::~LookAhead()
{
    m_abandoned->store(true);
}

int LookAhead::depth()
{
    // Enough to keep every core busy while the run waits for the server,
    // and one more, so that a quick conversion never leaves a core idle.
    return std::max(1, QThread::idealThreadCount()) + 1;
}

void LookAhead::startUpTo(qsizetype end)
{
    end = std::min(end, m_files.size());
    for (qsizetype i = m_conversions.size(); i < end; ++i) {
        const auto convert = [file = m_files[i], abandoned = m_abandoned] {
            Conversion result;
            if (abandoned->load())
                return result;
            try {
                result.png = makePNG512(file.nativePath, file.name);
            } catch (...) {
                result.error = std::current_exception();
            }
            return result;
        };
        m_conversions.append(QtConcurrent::run(QThreadPool::globalInstance(), convert));
    }
}

QCoro::Task<std::optional<QByteArray>> LookAhead::take(qsizetype index, const StopRequest &stop)
{
    startUpTo(index + 1 + depth());
    const QFuture<Conversion> future = std::exchange(m_conversions[index], QFuture<Conversion>());
    ConversionOrStop finishedOrStopped(future, stop);
    co_await finishedOrStopped;
    if (stop.isRequested())
        co_return std::nullopt;
    Conversion conversion = future.result();
    if (conversion.error)
        std::rethrow_exception(conversion.error);
    co_return std::move(conversion.png);
}
