#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QTemporaryDir>

#include <QCoroTask>

#include <exception>
#include <optional>

namespace testsupport {

/**
 * Runs a coroutine to completion on the current thread's event loop and
 * returns its value or rethrows its exception. The exception is caught inside
 * a wrapping coroutine because QCoro 0.8's waitFor() hangs on a throwing task.
 */
template<typename T>
T runTask(QCoro::Task<T> task)
{
    std::optional<T> value;
    std::exception_ptr error;
    auto wrapper = [](QCoro::Task<T> inner, std::optional<T> &out, std::exception_ptr &err) -> QCoro::Task<> {
        try {
            out.emplace(co_await inner);
        } catch (...) {
            err = std::current_exception();
        }
    };
    QCoro::waitFor(wrapper(std::move(task), value, error));
    if (error)
        std::rethrow_exception(error);
    return std::move(*value);
}

void runTask(QCoro::Task<> task);

/**
 * Encodes frames as a GIF (Qt reads GIF but cannot write it). Every frame
 * must have the first frame's size and at most 255 distinct opaque colours;
 * pixels with alpha 0 become the transparent index.
 */
QByteArray gifBytes(const QList<QImage> &frames);

/** Writes raw bytes to dir/name and returns the path. */
QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes);

} // namespace testsupport
