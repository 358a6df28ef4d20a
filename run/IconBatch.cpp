#include "run/IconBatch.h"

#include "api/IconUpload.h"
#include "core/ServerError.h"
#include "core/StopRequest.h"
#include "run/LookAhead.h"
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

/** The folder's direct entries, hidden ones and subfolders included. */
QList<IconFile> listFolder(const QString &folderPath)
{
    namespace fs = std::filesystem;
    const QByteArray folder = QFile::encodeName(folderPath);
    std::error_code error;
    QList<IconFile> files;
    for (fs::directory_iterator it(folder.toStdString(), error), end; !error && it != end; it.increment(error)) {
        const QByteArray name = QByteArray::fromStdString(it->path().filename().native());
        // The name is opened by its bytes as listed: decoding and encoding
        // again would lose the bytes of a name that is not UTF-8.
        files.append(IconFile{QFile::decodeName(name), folder + '/' + name});
    }
    if (error) {
        throw makeError(ErrorDomain::FileSystem, error.value(),
                        QStringLiteral("Could not read the folder %1: %2.")
                            .arg(QDir::toNativeSeparators(folderPath), QString::fromLocal8Bit(error.message())));
    }
    return files;
}

} // namespace

QList<IconFile> iconFilesIn(const QString &folderPath)
{
    QList<IconFile> files = listFolder(folderPath);
    files.removeIf([](const IconFile &file) { return !isSupported(file.name); });
    // The file system lists entries in no fixed order; sorting by the
    // names' bytes first (code-point order, for UTF-8) makes names that
    // collate the same (A.png, a.png) come out in the same order on every run.
    std::sort(files.begin(), files.end(), [](const IconFile &a, const IconFile &b) { return a.nativePath < b.nativePath; });
    const QCollator collator = nameCollator();
    std::stable_sort(files.begin(), files.end(),
                     [&collator](const IconFile &a, const IconFile &b) { return collator.compare(a.name, b.name) < 0; });
    return files;
}

QString stoppedStatus(qsizetype uploaded, qsizetype total, const QString &csvPath)
{
    if (uploaded == 0)
        return QStringLiteral("Upload stopped. No icons were uploaded.");
    return QStringLiteral("Upload stopped. Uploaded %1 of %2 icon image(s). CSV saved to: %3")
        .arg(QString::number(uploaded), QString::number(total), QDir::toNativeSeparators(csvPath));
}

QCoro::Task<> runIconBatch(UploadHost &host, QString folderPath, QString bearerToken, HttpClient &http,
                           const StopRequest &stop)
{
    const QList<IconFile> files = iconFilesIn(folderPath);
    if (files.isEmpty()) {
        host.setStatus(noSupportedImagesStatus);
        host.setUploading(false);
        co_return;
    }

    const qsizetype total = files.size();
    host.setProgress(0, int(total));
    QList<UploadResult> results;
    results.reserve(total);
    LookAhead ahead(files);
    for (qsizetype i = 0; i < total && !stop.isRequested(); ++i) {
        const IconFile &file = files[i];
        host.setStatus(QStringLiteral("Converting and uploading %1...").arg(file.name));
        // The server URL is read afresh for every file, so an edit made
        // during a run applies from the next file on. It is checked before
        // the conversion's outcome, as uploadIcon does.
        const QString serverUrl = host.velkURL();
        iconUploadUrl(serverUrl);
        std::optional<QByteArray> png = co_await ahead.take(i, stop);
        if (!png)
            break; // stopped while the file was converting: it is not sent
        // An upload once sent is finished, lookup and all, even when a stop
        // comes meanwhile: the icon is on the server and belongs in the report.
        const IconLookupResult icon = co_await uploadPNG(serverUrl, bearerToken, file.name, std::move(*png), http);
        results.append(UploadResult{file.name, icon.id, icon.name, icon.url});
        host.setProgress(int(results.size()), int(total));
    }

    const bool stopped = results.size() < total;
    if (stopped && results.isEmpty()) {
        host.setStatus(stoppedStatus(0, total, QString()));
    } else {
        const QString csvPath = writeResultsCSV(results, host.reportPath());
        host.reportWritten(csvPath);
        host.setStatus(stopped ? stoppedStatus(results.size(), total, csvPath)
                               : QStringLiteral("Upload complete. Uploaded %1 icon image(s). CSV saved to: %2")
                                     .arg(QString::number(total), QDir::toNativeSeparators(csvPath)));
    }
    host.setUploading(false);
}
