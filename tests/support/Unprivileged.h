#pragma once

#include <QString>

namespace testsupport {

/** How a test that needs file permissions to bite went in a child process. */
struct ChildRun
{
    enum Outcome { NotNeeded, Passed, Failed, Impossible };
    Outcome outcome = NotNeeded;
    QString output; // the child's test log, or why it could not run
};

/**
 * File permissions do not stop root, so a test of an unreadable file or a
 * read-only folder means nothing when run as root, which is how CI runs.
 * Call this at the start of such a test: as root, it runs the same test
 * function (and data row) again in a child process of this executable
 * whose user and groups are "nobody", and returns how that went; the test
 * then only reports the outcome. As any other user it returns NotNeeded and
 * the test goes on in this process.
 *
 * The child works in a temporary folder of its own (TMPDIR), so whatever
 * the test creates there belongs to nobody.
 */
ChildRun rerunUnprivileged();

} // namespace testsupport

/** The body of a test that must not run as root; see rerunUnprivileged(). */
#define VELK_RUN_UNPRIVILEGED()                                                       \
    do {                                                                              \
        const testsupport::ChildRun childRun_ = testsupport::rerunUnprivileged();     \
        if (childRun_.outcome == testsupport::ChildRun::Impossible)                   \
            QSKIP(qPrintable(childRun_.output));                                      \
        if (childRun_.outcome != testsupport::ChildRun::NotNeeded) {                  \
            QVERIFY2(childRun_.outcome == testsupport::ChildRun::Passed,              \
                     qPrintable(childRun_.output));                                   \
            return;                                                                   \
        }                                                                             \
    } while (false)
