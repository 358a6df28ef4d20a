#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/** One uploaded icon: the local file's name and the stored icon's ID, name and URL. */
struct UploadResult
{
    QString fileName;
    QString iconID;
    QString iconName;
    QString iconURL;

    bool operator==(const UploadResult &) const = default;
};

/**
 * The user's home folder: HOME, or when that is unset or empty, the one
 * the account names (a service or a cleared environment may have no HOME).
 */
QString homeDirectory();

/** Where the report goes: "velk_icon_upload_results.csv" in the Desktop folder of the home directory. */
QString resultsCsvPath();

/**
 * The report as UTF-8: an unquoted header line, then one line per result
 * with every field in double quotes and inner quotes doubled; a line feed
 * ends every line. Nothing else is escaped.
 */
QByteArray resultsCsvText(const QList<UploadResult> &results);

/**
 * Writes the report to path, whole or not at all, and returns the path.
 *
 * The text goes into a new file of our own beside path (created
 * exclusively, never through a link), is flushed to the disk and then
 * renamed over path, so that a reader sees the earlier report or the new
 * one, never a part: on any failure (a full disk, a missing or read-only
 * folder) the temporary file is removed, the earlier report stays as it
 * was, and a ServerError says why. A symbolic link at path is replaced, not
 * written through. Temporary files that an earlier write left behind (it
 * crashed) are removed. The folder is not created.
 */
QString writeResultsCSV(const QList<UploadResult> &results, const QString &path = resultsCsvPath());
