#pragma once

#include "api/Http.h"

#include <QByteArray>
#include <QString>

#include <QCoroTask>

/**
 * Asks the server for an access token with the OAuth 2.0 client-credentials
 * grant. The three texts are sent exactly as given: not trimmed, and an empty
 * one is sent empty. Returns the token as the server sent it; throws a
 * ServerError on any failure. http carries the request; a stop requested
 * while it waits abandons it and throws Stopped.
 */
QCoro::Task<QString> fetchBearerToken(QString serverUrl, QString clientID, QString clientSecret,
                                      HttpClient &http = HttpClient::shared(), const StopRequest *stop = nullptr);

/**
 * The form body of the token request: client_id, client_secret and
 * grant_type, in that order, each value percent-encoded from its UTF-8 bytes.
 */
QByteArray tokenRequestBody(const QString &clientID, const QString &clientSecret);

/** Judges the token reply: returns the access token or throws. */
QString tokenFromReply(const HttpReply &reply);
