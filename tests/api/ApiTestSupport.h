#pragma once

#include "core/ServerError.h"
#include "tests/support/TestSupport.h"

#include <QByteArray>
#include <QList>

#include <QCoroTask>

#include <optional>

namespace apitest {

/** Runs an operation that should fail and returns its error, or nothing when it succeeded. */
template<typename T>
std::optional<ServerError> errorOf(QCoro::Task<T> task)
{
    try {
        testsupport::runTask(std::move(task));
    } catch (const ServerError &error) {
        return error;
    }
    return std::nullopt;
}

/** Headers that the HTTP client adds to a request by itself. */
inline const QList<QByteArray> ClientHeaders = {"Host", "User-Agent", "Content-Length"};

} // namespace apitest
