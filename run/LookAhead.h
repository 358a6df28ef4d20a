#pragma once

#include "run/IconBatch.h"

#include <QByteArray>
#include <QFuture>
#include <QList>

#include <QCoroTask>

#include <atomic>
#include <exception>
#include <memory>
#include <optional>

class StopRequest;

/**
 * The conversions of a run's files, started ahead of it: while the run
 * uploads one file, the next ones are converted on the worker threads (as
 * many as the machine has cores), so that the run rarely waits for a
 * conversion. Files are taken strictly in order. A few finished PNGs wait
 * at most; the conversions in flight share the imaging library's decode
 * budget, so a huge picture is converted alone.
 *
 * A conversion's failure is kept until its file is taken. Conversions not
 * taken when the look-ahead is destroyed are abandoned: those not started
 * never start, those running finish on their thread and are dropped.
 */
class LookAhead
{
public:
    explicit LookAhead(QList<IconFile> files);
    ~LookAhead();
    LookAhead(const LookAhead &) = delete;
    LookAhead &operator=(const LookAhead &) = delete;

    /** How many files are converted ahead of the one the run waits for. */
    static int depth();

    /**
     * Waits for the PNG of files[index], the file after the one taken last,
     * and starts the conversion of a later file in its place. Throws the
     * conversion's error. Returns nothing as soon as stop is requested,
     * whether or not the conversion has finished.
     */
    QCoro::Task<std::optional<QByteArray>> take(qsizetype index, const StopRequest &stop);

    /** A conversion's outcome, carried back from its worker thread. */
    struct Conversion
    {
        QByteArray png;
        std::exception_ptr error;
    };

private:
    void startUpTo(qsizetype end);

    QList<IconFile> m_files;
    QList<QFuture<Conversion>> m_conversions; // by file; those not started yet are missing
    std::shared_ptr<std::atomic<bool>> m_abandoned;
};
