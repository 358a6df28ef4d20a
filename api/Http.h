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
 * timeout (60 seconds unless changed) and no caching. Qt does not follow
 * redirects for it; sendRequest() does.
 */
QNetworkRequest makeRequest(const QUrl &url);

/** The inactivity timeout of every request; tests shorten it. */
std::chrono::milliseconds requestTimeout();
void setRequestTimeout(std::chrono::milliseconds timeout);

enum class HttpMethod { Get, Post };

/**
 * Sends a request and waits for the whole reply. Redirects (301, 302, 303,
 * 307, 308) are followed within the same origin only, so that neither a
 * client secret in the body nor a bearer token in a header ever reaches
 * another server; 307 and 308 repeat a POST with its body, the others turn
 * it into a GET. A failure of the HTTP client itself (no connection,
 * time-out, a reply cut off, TLS, a refused redirect, unsupported URL) is
 * thrown as a ServerError in the "QNetworkReply" domain with the client's
 * own text. An HTTP reply of any other status is returned, failed ones
 * included, so that the caller can judge the status; a reply that is not
 * HTTP (a file: URL) has no status.
 *
 * Qt itself sends a request a second time, POST included, when the
 * connection closes before any byte of the answer arrives (a keep-alive
 * connection the server had just dropped).
 */
QCoro::Task<HttpReply> sendRequest(HttpMethod method, QNetworkRequest request, QByteArray body = {});

/** A failed status's body as text: UTF-8, or empty when it is not valid UTF-8. */
QString bodyText(const QByteArray &body);

/**
 * How every failed status ends its message: "HTTP ", the status, ". " and
 * the whole body as text, so that the server's own explanation is shown.
 */
QString failedStatusText(int status, const QByteArray &body);

/**
 * Parses a successful reply body as JSON. A parse error is thrown as a
 * ServerError in the "QJsonParseError" domain with the parser's text.
 * Returns the top level; the callers read keys only from an object.
 */
QJsonDocument parseJsonBody(const QByteArray &body);
