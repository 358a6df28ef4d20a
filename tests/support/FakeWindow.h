#pragma once

#include "run/UploadHost.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

namespace testsupport {

/**
 * A window stand-in for driving whole upload runs headless: settings and a
 * folder to read, and a record of every status text, busy-flag change,
 * progress step and report the run wrote. onStatus, when set, sees each status as it is written, so a
 * test can act at a chosen step of a run.
 */
class FakeWindow : public QObject, public UploadHost
{
public:
    QString url;
    QString id = QStringLiteral("client");
    QString secret = QStringLiteral("secret");
    QString folder;

    QStringList statuses;
    QList<bool> uploadingChanges;
    QList<std::pair<int, int>> progress; // (done, total) as sent
    QStringList reports;
    bool uploading = false;
    std::function<void(const QString &)> onStatus;

    QString velkURL() const override { return url; }
    QString clientID() const override { return id; }
    QString clientSecret() const override { return secret; }
    QString selectedFolder() const override { return folder; }

    void setStatus(const QString &status) override;
    void setUploading(bool value) override;
    void setProgress(int done, int total) override { progress.append({done, total}); }
    void reportWritten(const QString &csvPath) override { reports.append(csvPath); }

    /** Forgets what earlier runs wrote. */
    void clearRecord();
};

/** The status text of the file being converted and uploaded. */
QString progressStatus(const QString &fileName);

} // namespace testsupport
