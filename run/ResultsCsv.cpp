#include "run/ResultsCsv.h"

#include "core/ServerError.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString quoted(const QString &field)
{
    QString text = field;
    text.replace(u'"', QStringLiteral("\"\""));
    return u'"' + text + u'"';
}

} // namespace

QString resultsCsvPath()
{
    return QDir(QDir::homePath()).filePath(QStringLiteral("Desktop/velk_icon_upload_results.csv"));
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

QString writeResultsCSV(const QList<UploadResult> &results)
{
    const QString path = resultsCsvPath();
    const QByteArray text = resultsCsvText(results);

    // QSaveFile writes a temporary file beside the target and renames it over
    // the target on commit, so a failed write leaves the earlier report whole.
    // It writes through a symbolic link into whatever file the link names;
    // the report replaces the link instead.
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);
    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    if (!written) {
        throw makeError(ErrorDomain::FileSystem, file.error(),
                        QStringLiteral("Could not save the results to %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return path;
}
