#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QList>
#include <QUrl>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <optional>
#include <utility>

class QNetworkAccessManager;

enum class HttpMethod { Get, Post };

/** One request: its method, URL, the headers we set (sent in this order) and the body. */
struct HttpRequest
{
    HttpMethod method;
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;

    HttpRequest(HttpMethod method, QUrl url) : method(method), url(std::move(url)) {}
    /** Adds a header after those already set. */
    HttpRequest &header(QByteArray name, QByteArray value)
    {
        headers.append({std::move(name), std::move(value)});
        return *this;
    }
};

/** A finished exchange: the HTTP status, or none when the reply was not HTTP. */
struct HttpReply
{
    std::optional<int> status;
    QByteArray body;
};

/**
 * An HTTP client: the process has one, shared(), which every server
 * operation uses unless handed another. It honours the system's proxy
 * settings, keeps no cache, and ends a request that stays silent for its
 * timeout.
 */
class HttpClient
{
public:
    static constexpr std::chrono::milliseconds DefaultTimeout{60'000};

    explicit HttpClient(std::chrono::milliseconds timeout = DefaultTimeout);
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    /** The process-wide client, made on first use on the UI thread and kept to the end. */
    static HttpClient &shared();

    std::chrono::milliseconds timeout() const { return m_timeout; }

    /**
     * Sends a request and waits for the whole reply. Redirects (301, 302,
     * 303, 307, 308) are followed within the same origin only, so that
     * neither a client secret in the body nor a bearer token in a header
     * ever reaches another server; 307 and 308 repeat a POST with its body,
     * the others turn it into a GET. A failure of the HTTP client itself (no
     * connection, time-out, a reply cut off, TLS, a refused redirect,
     * unsupported URL) is thrown as a ServerError in the "QNetworkReply"
     * domain with the client's own text. An HTTP reply of any other status is
     * returned, failed ones included, so that the caller can judge the
     * status; a reply that is not HTTP (a file: URL) has no status.
     *
     * Qt itself sends a request a second time, POST included, when the
     * connection closes before any byte of the answer arrives (a keep-alive
     * connection the server had just dropped).
     */
    QCoro::Task<HttpReply> send(HttpRequest request);

private:
    std::chrono::milliseconds m_timeout;
    QNetworkAccessManager *m_manager; // deleted later, once its replies are gone
};

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
