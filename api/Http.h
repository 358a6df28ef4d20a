#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QList>
#include <QUrl>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

class StopRequest;

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
 * operation uses unless handed another. It carries the bytes with libcurl,
 * driven from the Qt event loop of the thread that made it, so a request
 * never blocks that thread. It speaks HTTP/1.1 with TCP_NODELAY on, so a
 * request's body never waits for the server to acknowledge its head, and
 * keeps one connection per server alive between requests. It verifies TLS
 * against the system's CA store, takes proxies from http_proxy,
 * https_proxy and no_proxy, keeps no cache and no cookies.
 *
 * Its own failures are ServerErrors in the "HTTPClient" domain whose code is
 * libcurl's CURLcode: curl's own text for what curl reports, and our wording
 * for what this client decides itself (time-out, a reply cut off, a refused
 * or endless redirect, a reply over MaxReplyBody, a URL it does not fetch).
 */
class HttpClient
{
public:
    static constexpr std::chrono::milliseconds DefaultTimeout{60'000};
    /**
     * A request also ends after this many times its timeout in all, so that
     * a server trickling a byte now and then cannot hold it for ever.
     */
    static constexpr int OverallTimeoutFactor = 5;
    /** The largest reply body taken: the server's replies are small JSON records. */
    static constexpr qsizetype MaxReplyBody = 16 << 20;

    /**
     * A request fails when no byte moves for timeout, bytes of the request
     * still leaving the socket's send queue included (a queue that stands
     * still ends it after up to twice the timeout). caCertificates, when
     * not empty, names a PEM file of CA certificates trusted besides the
     * system's store (the tests' own CA).
     */
    explicit HttpClient(std::chrono::milliseconds timeout = DefaultTimeout, QString caCertificates = QString());
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    /** The process-wide client, made on first use on the UI thread and gone with the application object. */
    static HttpClient &shared();

    std::chrono::milliseconds timeout() const { return m_timeout; }

    /**
     * Sends a request and waits for the whole reply. The request carries its
     * own headers in their order and besides them only Host, User-Agent and,
     * for a POST, Content-Length. Redirects (301, 302, 303, 307, 308) are
     * followed within the same origin only, so that neither a client secret
     * in the body nor a bearer token in a header ever reaches another
     * server; 307 and 308 repeat a POST with its body, the others turn it
     * into a GET. A failure of the transfer (no connection, time-out, a
     * reply cut off, TLS, a refused redirect, an unsupported URL (another
     * scheme than http, https or file, or an http URL without a host), a
     * header value with a control character) is thrown as a ServerError. An HTTP reply of
     * any other status is returned, failed ones included, so that the caller
     * can judge the status; a reply that is not HTTP (a file: URL) has no
     * status.
     *
     * A reply body over MaxReplyBody ends the request with an error, except
     * that of a failed status (400 and up), which is returned cut to its
     * first MaxReplyBody bytes (before a UTF-8 sequence that would be split),
     * so that the caller still reports the status and the server's words.
     *
     * A POST is sent once: when its connection closes before any byte of the
     * answer, the request fails ("Empty reply from server") rather than risk
     * a second upload. A GET on a reused keep-alive connection that the
     * server had just closed is sent again on a fresh one, as curl does.
     *
     * When stop is given and requested before the reply is whole, the
     * request is abandoned at once (its connection closed) and Stopped is
     * thrown.
     */
    QCoro::Task<HttpReply> send(HttpRequest request, const StopRequest *stop = nullptr);

    class Driver;

private:
    std::chrono::milliseconds m_timeout;
    QByteArray m_caCertificates;
    std::unique_ptr<Driver> m_driver;
};

/** A failed status's body as text: UTF-8, or empty when it is not valid UTF-8. */
QString bodyText(const QByteArray &body);

/**
 * How every failed status ends its message: "HTTP ", the status, ". " and
 * the body as text, whole (up to HttpClient::MaxReplyBody), so that the
 * server's own explanation is shown.
 */
QString failedStatusText(int status, const QByteArray &body);

/**
 * Parses a successful reply body as JSON. A parse error is thrown as a
 * ServerError in the "QJsonParseError" domain with the parser's text.
 * Returns the top level; the callers read keys only from an object.
 */
QJsonDocument parseJsonBody(const QByteArray &body);
