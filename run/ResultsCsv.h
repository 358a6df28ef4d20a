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

/** Where the report goes: "velk_icon_upload_results.csv" in the Desktop folder of the home directory. */
QString resultsCsvPath();

/**
 * The report as UTF-8: an unquoted header line, then one line per result
 * with every field in double quotes and inner quotes doubled; a line feed
 * ends every line. Nothing else is escaped.
 */
QByteArray resultsCsvText(const QList<UploadResult> &results);

/**
 * Writes the report atomically over any earlier one and returns its path.
 * A symbolic link at the report's place is replaced, not written through.
 * The Desktop folder is not created: when it is missing or not writable,
 * throws a ServerError and leaves any earlier report as it was.
 */
QString writeResultsCSV(const QList<UploadResult> &results);
