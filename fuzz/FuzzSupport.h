#pragma once

#include "api/Http.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzzsupport {

/** Makes the one QCoreApplication that Qt's plugins and file APIs expect. */
void initializeQt();

/**
 * Splits the input at its line feeds: the first line is the HTTP status in
 * decimal (anything else means a reply that is not HTTP), then `fields`
 * more lines, then the body, which may hold anything.
 */
struct Input
{
    HttpReply reply;
    QList<QString> fields;
};
Input inputFrom(const uint8_t *data, size_t size, int fields);

/** Prints what broke and aborts, which libFuzzer reports as a crash with the input. */
[[noreturn]] void fail(const char *what, const QString &detail = QString());

} // namespace fuzzsupport

/** An invariant of the code under test; a violation is a finding like a crash. */
#define FUZZ_CHECK(condition, detail)                                   \
    do {                                                                \
        if (!(condition))                                               \
            fuzzsupport::fail(#condition, (detail));                    \
    } while (false)
