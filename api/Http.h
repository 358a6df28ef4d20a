#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

/**
 * The one HTTP client object of the process, made on first use on the UI
 * thread. It honours the system's proxy settings and keeps no cache.
 */
QNetworkAccessManager &networkManager();

/** A finished exchange: the HTTP status, or none when the reply was not HTTP. */
struct HttpReply
{
    std::optional<int> status;
    QByteArray body;
};

/**
 * A request with the settings that every server operation uses: a transfer
 * timeout (60 seconds unless changed), no caching, redirects followed only
 * within the same origin, so that neither a client secret in the body nor a
 * bearer token in a header ever reaches another server.
 */
QNetworkRequest makeRequest(const QUrl &url);

/** The inactivity timeout of every request; tests shorten it. */
std::chrono::milliseconds requestTimeout();
void setRequestTimeout(std::chrono::milliseconds timeout);

enum class HttpMethod { Get, Post };

/**
 * Sends a request once and waits for the whole reply. A failure of the HTTP
 * client itself (no connection, time-out, TLS, refused redirect, unsupported
 * URL) is thrown as a ServerError in the "QNetworkReply" domain with the
 * client's own text. An HTTP reply of any status is returned, failed ones
 * included, so that the caller can judge the status.
 */
QCoro::Task<HttpReply> sendRequest(HttpMethod method, QNetworkRequest request, QByteArray body = {});

/** A failed status's body as text: UTF-8, or empty when it is not valid UTF-8. */
QString bodyText(const QByteArray &body);

/**
 * Parses a successful reply body as JSON. A parse error is thrown as a
 * ServerError in the "QJsonParseError" domain with the parser's text.
 * Returns the top level; the callers read keys only from an object.
 */
QJsonDocument parseJsonBody(const QByteArray &body);
