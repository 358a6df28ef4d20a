#pragma once

#include "api/Http.h"
#include "run/UploadHost.h"

#include <QString>
#include <QStringList>

#include <QCoroTask>

/**
 * The images of a folder that a run uploads, as absolute paths in name
 * order. The listing is shallow and includes hidden entries and subfolders;
 * an entry is kept when its last extension, lower-cased, is one of
 * supportedFileTypes. Throws a ServerError when the folder cannot be listed.
 */
QStringList iconFilesIn(const QString &folderPath);

/**
 * Sorts names in place by the user's collation, ignoring case and comparing
 * digits as text (icon10 before icon2). Names that collate the same keep
 * their relative order.
 */
void sortByName(QStringList &names);

/**
 * The second half of a run, once the token has arrived: uploads every image
 * of the folder one after another, reporting the files finished as
 * progress, writes the results CSV and shows the summary. Errors propagate
 * to the caller.
 */
QCoro::Task<> runIconBatch(UploadHost &host, QString folderPath, QString bearerToken, HttpClient &http);
