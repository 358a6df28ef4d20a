#pragma once

#include "api/Http.h"
#include "api/IconLookup.h"

#include <QByteArray>
#include <QString>

#include <QCoroTask>

/**
 * Uploads one image file as a new icon: converts it to a 512x512 PNG (off
 * the UI thread), posts it as a multipart form, reads the new icon's ID and
 * looks the icon up. Returns the stored icon's record; throws a ServerError
 * on any failure. Messages name the file by its own name.
 */
QCoro::Task<IconLookupResult> uploadIcon(QString serverUrl, QString bearerToken, QString filePath,
                                         HttpClient &http = HttpClient::shared());

/**
 * The second half of uploadIcon, for a file already converted: posts png
 * as the icon of the local file named fileName (uploaded as
 * uploadFileName(fileName), named so in messages) and looks it up.
 */
QCoro::Task<IconLookupResult> uploadPNG(QString serverUrl, QString bearerToken, QString fileName, QByteArray png,
                                        HttpClient &http = HttpClient::shared());

/** Where an icon is posted for the server URL text; throws the upload's invalid-URL error when there is none. */
QUrl iconUploadUrl(const QString &serverUrl);

/** The name the PNG is uploaded under: the file's name without its last extension, plus ".png". */
QString uploadFileName(const QString &filePath);

/** The multipart body with the one part "file". */
QByteArray multipartBody(const QByteArray &boundary, const QString &uploadFileName, const QByteArray &png);

/** Judges the upload reply: returns the new icon's ID text or throws. fileName names the file in messages. */
QString iconIDFromUploadReply(const HttpReply &reply, const QString &fileName);
