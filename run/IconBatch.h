#pragma once

#include "api/Http.h"
#include "run/UploadHost.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <QCoroTask>

class StopRequest;

/** One image of the folder a run uploads. */
struct IconFile
{
    /** Its name as listed, shown and uploaded; bytes that are not UTF-8 show as U+FFFD. */
    QString name;
    /** Its path exactly as the file system names it, for opening. */
    QByteArray nativePath;

    bool operator==(const IconFile &) const = default;
};

/**
 * The images of a folder that a run uploads, in name order. The listing is
 * shallow and includes hidden entries and subfolders; an entry is kept when
 * its last extension, lower-cased, is one of supportedFileTypes. Throws a
 * ServerError when the folder cannot be listed.
 */
QList<IconFile> iconFilesIn(const QString &folderPath);

/**
 * The second half of a run, once the token has arrived: uploads every image
 * of the folder one after another, converting the next ones meanwhile
 * (LookAhead), reporting the files finished as progress, writes the report
 * and shows the summary. A stop request ends it between files, with the
 * report of the icons uploaded so far. Errors propagate to the caller.
 */
QCoro::Task<> runIconBatch(UploadHost &host, QString folderPath, QString bearerToken, HttpClient &http,
                           const StopRequest &stop);

/** How a run over a folder without a supported image ends. */
inline const QString noSupportedImagesStatus =
    QStringLiteral("No supported image files found. Supported types: PNG, JPG, JPEG, GIF.");

/** How a stopped run ends when uploaded of total icons reached the server (and csvPath holds their report). */
QString stoppedStatus(qsizetype uploaded, qsizetype total, const QString &csvPath);
