#pragma once

#include <QString>
#include <QStringList>

/**
 * What an upload run needs from the window that started it: the three
 * settings, the chosen folder, and the status line and busy flag that the
 * run writes. The window implements it; tests drive runs through their own.
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
};

/** The extensions, lower case and without a dot, of the images a run uploads. */
inline const QStringList supportedFileTypes = {
    QStringLiteral("png"),
    QStringLiteral("jpg"),
    QStringLiteral("jpeg"),
    QStringLiteral("gif"),
};
