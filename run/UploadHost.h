#pragma once

#include "run/ResultsCsv.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

class StopRequest;

/**
 * What an upload run needs from the window that started it: the three
 * settings, the chosen folder, and the status line, busy flag, progress and
 * report that the run writes. The window implements it; tests drive runs
 * through their own.
 */
class UploadHost
{
public:
    virtual ~UploadHost() = default;

    virtual QString velkURL() const = 0;
    virtual QString clientID() const = 0;
    virtual QString clientSecret() const = 0;
    /** The chosen folder's absolute path, or the empty text when none is chosen. */
    virtual QString selectedFolder() const = 0;

    virtual void setStatus(const QString &status) = 0;
    virtual void setUploading(bool uploading) = 0;

    /**
     * How far the run is: done files finished out of total. A total of 0
     * means the run is busy with something it cannot count yet (the token,
     * the folder listing). Sent only while the busy flag is set.
     */
    virtual void setProgress(int done, int total) { Q_UNUSED(done) Q_UNUSED(total) }
    /** The run has written its report to csvPath; sent just before its summary. */
    virtual void reportWritten(const QString &csvPath) { Q_UNUSED(csvPath) }

    /**
     * The run is on, and stop ends it between files: whoever drives the
     * host may request it until the run ends (the request is gone then).
     * Sent just before the busy flag is set.
     */
    virtual void runStarted(StopRequest &stop) { Q_UNUSED(stop) }

    /** Where the run writes its report: the Desktop's unless the host says otherwise. */
    virtual QString reportPath() const { return resultsCsvPath(); }
};

/** The extensions, lower case and without a dot, of the images a run uploads. */
inline const QStringList supportedFileTypes = {
    QStringLiteral("png"),
    QStringLiteral("jpg"),
    QStringLiteral("jpeg"),
    QStringLiteral("gif"),
};
