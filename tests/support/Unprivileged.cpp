#include "tests/support/Unprivileged.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

const char *const ChildMarker = "VELK_TEST_UNPRIVILEGED";

/**
 * The sanitizer's suppressions file may sit under a folder that nobody
 * cannot enter; the child gets a copy beside its executable.
 */
QString withCopiedSuppressions(QString options, const QString &folder)
{
    static const QRegularExpression suppressions(QStringLiteral("suppressions=([^:]+)"));
    const QRegularExpressionMatch match = suppressions.match(options);
    if (!match.hasMatch())
        return options;
    const QString copy = QDir(folder).filePath(QStringLiteral("lsan.supp"));
    QFile::copy(match.captured(1), copy);
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    return options.replace(match.capturedStart(1), match.capturedLength(1), copy);
}

} // namespace

ChildRun rerunUnprivileged()
{
    if (geteuid() != 0)
        return {};
    if (qEnvironmentVariableIsSet(ChildMarker))
        return {ChildRun::Failed, QStringLiteral("the child process still runs as root")};

    const passwd *nobody = getpwnam("nobody");
    if (!nobody || nobody->pw_uid == 0)
        return {ChildRun::Impossible, QStringLiteral("running as root and there is no user nobody to drop to")};
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;

    // The build folder may lie where nobody cannot reach it (under /root,
    // say), so the child runs from a copy of this executable in a folder of
    // its own, which also serves as its TMPDIR.
    QTemporaryDir folder;
    const QString executable = folder.filePath(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    if (!folder.isValid() || !QFile::copy(QCoreApplication::applicationFilePath(), executable)
        || chmod(QFile::encodeName(folder.path()).constData(), 0755) != 0
        || chmod(QFile::encodeName(executable).constData(), 0755) != 0)
        return {ChildRun::Impossible, QStringLiteral("cannot copy the test executable for the unprivileged child")};
    const QString childTemp = folder.filePath(QStringLiteral("tmp"));
    if (!QDir().mkdir(childTemp) || chown(QFile::encodeName(childTemp).constData(), uid, gid) != 0)
        return {ChildRun::Impossible, QStringLiteral("cannot make a temporary folder for the unprivileged child")};

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(ChildMarker), QStringLiteral("1"));
    environment.insert(QStringLiteral("TMPDIR"), childTemp);
    environment.insert(QStringLiteral("HOME"), childTemp);
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    for (const QString &name : {QStringLiteral("LSAN_OPTIONS"), QStringLiteral("ASAN_OPTIONS")}) {
        if (environment.contains(name))
            environment.insert(name, withCopiedSuppressions(environment.value(name), folder.path()));
    }

    QString testFunction = QString::fromLatin1(QTest::currentTestFunction());
    if (const char *tag = QTest::currentDataTag(); tag && *tag)
        testFunction += u':' + QString::fromUtf8(tag);

    QProcess child;
    child.setProgram(executable);
    child.setArguments({testFunction});
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(childTemp);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.setChildProcessModifier([uid, gid] {
        // Between fork and exec: only async-signal-safe calls.
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(125);
    });
    child.start();
    if (!child.waitForStarted(30'000))
        return {ChildRun::Impossible, QStringLiteral("cannot start the unprivileged child: ") + child.errorString()};
    if (!child.waitForFinished(240'000)) {
        child.kill();
        child.waitForFinished();
        return {ChildRun::Failed, QStringLiteral("the unprivileged child timed out:\n")
                                      + QString::fromLocal8Bit(child.readAll())};
    }
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() == QProcess::NormalExit && child.exitCode() == 125)
        return {ChildRun::Impossible, QStringLiteral("cannot switch to the user nobody")};
    const bool passed = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0
        && !output.contains(QLatin1String("SKIP   :"));
    return {passed ? ChildRun::Passed : ChildRun::Failed,
            QStringLiteral("unprivileged child (%1):\n%2").arg(testFunction, output)};
}

} // namespace testsupport
