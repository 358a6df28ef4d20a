#pragma once

#include <QString>

/** Makes the one QCoreApplication that Qt's plugins and file APIs expect. */
void initializeQt();

/** Prints what broke and aborts, which libFuzzer reports as a crash with the input. */
[[noreturn]] void fuzzFailure(const char *what, const QString &detail);

/** An invariant of the code under test; a violation is a finding like a crash. */
#define FUZZ_CHECK(condition, detail)                                   \
    do {                                                                \
        if (!(condition))                                               \
            fuzzFailure(#condition, (detail));                          \
    } while (false)
