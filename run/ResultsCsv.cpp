#include "run/ResultsCsv.h"

#include "core/ServerError.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace {

QString quoted(const QString &field)
{
    QString text = field;
    text.replace(u'"', QStringLiteral("\"\""));
    return u'"' + text + u'"';
}

ServerError writeError(const QString &path, int code, const QString &reason)
{
    return makeError(ErrorDomain::FileSystem, code,
                     QStringLiteral("Could not save the results to %1: %2").arg(QDir::toNativeSeparators(path), reason));
}

#ifdef Q_OS_UNIX

// A write takes milliseconds; a temporary file this old was left by a
// process that died while writing.
constexpr qint64 StaleAfterSeconds = 600;

/** The temporary files of ours for the report target: ".<name>.<6 letters>.tmp". */
QString temporaryPrefix(const QString &path)
{
    return u'.' + QFileInfo(path).fileName() + u'.';
}

/** Removes our own temporary files beside path that a crashed write left. */
void removeStaleTemporaries(const QString &path)
{
    const QDir folder = QFileInfo(path).absoluteDir();
    const QString prefix = temporaryPrefix(path);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QStringList names = folder.entryList({prefix + QStringLiteral("??????.tmp")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QByteArray file = QFile::encodeName(folder.filePath(name));
        struct stat info;
        if (::lstat(file.constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
            && now - info.st_mtime > StaleAfterSeconds)
            ::unlink(file.constData());
    }
}

/** Writes all of data to fd; false with errno set when the disk refuses any of it. */
bool writeAll(int fd, const QByteArray &data)
{
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        written += n;
    }
    return true;
}

/**
 * The write and rename, every step checked. Returns 0, or the errno of the
 * step that failed, with nothing of the new text left behind.
 */
int writeAndRename(const QString &path, const QByteArray &text)
{
    const QByteArray target = QFile::encodeName(path);
    const QString prefix = QFileInfo(path).absoluteDir().filePath(temporaryPrefix(path));

    // A name of our own that did not exist: O_EXCL fails on anything that
    // stands there already, a link to elsewhere included.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        QString letters;
        for (int i = 0; i < 6; ++i)
            letters += QChar(u'a' + QRandomGenerator::global()->bounded(26));
        temporary = QFile::encodeName(prefix + letters + QStringLiteral(".tmp"));
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return errno;
    }
    if (fd < 0)
        return EEXIST;

    // The new report keeps the permissions of the one it replaces.
    struct stat earlier;
    bool ok = ::lstat(target.constData(), &earlier) != 0 || !S_ISREG(earlier.st_mode)
        || ::fchmod(fd, earlier.st_mode & 07777) == 0;
    ok = ok && writeAll(fd, text) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        return error;
    }

    // The rename itself reaches the disk with its folder.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

#endif

} // namespace

QString homeDirectory()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return home;
#ifdef Q_OS_UNIX
    if (const passwd *account = ::getpwuid(::getuid()); account && account->pw_dir && *account->pw_dir)
        return QFile::decodeName(account->pw_dir);
#endif
    return QDir::homePath();
}

QString resultsCsvPath()
{
    return QDir(homeDirectory()).filePath(QStringLiteral("Desktop/velk_icon_upload_results.csv"));
}

QByteArray resultsCsvText(const QList<UploadResult> &results)
{
    QString text = QStringLiteral("Original File Name,Icon ID,Uploaded Icon Name,Icon URL\n");
    for (const UploadResult &result : results) {
        text += quoted(result.fileName) + u',' + quoted(result.iconID) + u',' + quoted(result.iconName) + u','
            + quoted(result.iconURL) + u'\n';
    }
    return text.toUtf8();
}

QString writeResultsCSV(const QList<UploadResult> &results, const QString &path)
{
    const QByteArray text = resultsCsvText(results);
#ifdef Q_OS_UNIX
    removeStaleTemporaries(path);
    if (const int error = writeAndRename(path, text))
        throw writeError(path, error, qt_error_string(error));
#else
    // QSaveFile's commit() does not check the last write it flushes, so the
    // flush is checked first.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush() || !file.commit())
        throw writeError(path, file.error(), file.errorString());
#endif
    return path;
}
