#include "run/IconBatch.h"

#include "api/IconUpload.h"
#include "core/ServerError.h"
#include "run/ResultsCsv.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

QCollator nameCollator()
{
    // In the C locale Qt collates by code point, which puts every upper-case
    // letter before every lower-case one and punctuation in odd places;
    // English collation is the sensible neutral choice there.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(false);
    return collator;
}

bool isSupported(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    // A name whose only dot is its first character (".png") has no extension.
    if (dot <= 0)
        return false;
    return supportedFileTypes.contains(name.sliced(dot + 1).toLower());
}

/** The names of the folder's direct entries, hidden ones and subfolders included. */
QStringList listFolder(const QString &folderPath)
{
    namespace fs = std::filesystem;
    const fs::path folder(QFile::encodeName(folderPath).toStdString());
    std::error_code error;
    QStringList names;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.append(QFile::decodeName(QByteArray::fromStdString(it->path().filename().native())));
    if (error) {
        throw makeError(ErrorDomain::FileSystem, error.value(),
                        QStringLiteral("Could not read the folder %1: %2.")
                            .arg(QDir::toNativeSeparators(folderPath), QString::fromLocal8Bit(error.message())));
    }
    return names;
}

} // namespace

void sortByName(QStringList &names)
{
    const QCollator collator = nameCollator();
    std::stable_sort(names.begin(), names.end(),
                     [&collator](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });
}

QStringList iconFilesIn(const QString &folderPath)
{
    QStringList names = listFolder(folderPath);
    names.removeIf([](const QString &name) { return !isSupported(name); });
    // The file system lists entries in no fixed order; sorting by code point
    // first makes names that collate the same (A.png, a.png) come out in the
    // same order on every run.
    names.sort(Qt::CaseSensitive);
    sortByName(names);

    const QDir folder(folderPath);
    QStringList paths;
    paths.reserve(names.size());
    for (const QString &name : std::as_const(names))
        paths.append(folder.filePath(name));
    return paths;
}

QCoro::Task<> runIconBatch(UploadHost &host, QString folderPath, QString bearerToken, HttpClient &http)
{
    const QStringList files = iconFilesIn(folderPath);
    if (files.isEmpty()) {
        host.setStatus(QStringLiteral("No supported image files found. Supported types: PNG, JPG, JPEG, GIF."));
        host.setUploading(false);
        co_return;
    }

    const int total = int(files.size());
    host.setProgress(0, total);
    QList<UploadResult> results;
    results.reserve(files.size());
    for (const QString &path : files) {
        const QString fileName = QFileInfo(path).fileName();
        host.setStatus(QStringLiteral("Converting and uploading %1...").arg(fileName));
        // The server URL is read afresh for every file, so an edit made
        // during a run applies from the next file on.
        const IconLookupResult icon = co_await uploadIcon(host.velkURL(), bearerToken, path, http);
        results.append(UploadResult{fileName, icon.id, icon.name, icon.url});
        host.setProgress(int(results.size()), total);
    }

    const QString csvPath = writeResultsCSV(results);
    host.reportWritten(csvPath);
    host.setStatus(QStringLiteral("Upload complete. Uploaded %1 icon image(s). CSV saved to: %2")
                       .arg(QString::number(results.size()), QDir::toNativeSeparators(csvPath)));
    host.setUploading(false);
}
