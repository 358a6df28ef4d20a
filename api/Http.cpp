#include "api/Http.h"

#include "core/ServerError.h"
#include "core/StopRequest.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QJsonParseError>
#include <QSet>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QTimer>

#include <curl/curl.h>

#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <coroutine>
#include <cstring>
#include <limits>
#include <mutex>

#ifndef VELK_VERSION
#define VELK_VERSION ""
#endif

namespace {

// As many hops as a browser follows; a longer chain is a loop.
constexpr int MaxRedirects = 20;

const QByteArray UserAgent = QByteArrayLiteral("velk-icon-uploader/" VELK_VERSION);

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
        && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && a.port(a.scheme() == u"https" ? 443 : 80) == b.port(b.scheme() == u"https" ? 443 : 80);
}

bool isRedirect(long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool hasHeader(const QList<std::pair<QByteArray, QByteArray>> &headers, const char *name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

/**
 * One exchange with the server, one hop of a request: the easy handle, what
 * its callbacks collect, and the coroutine waiting for its end. It lives in
 * send()'s frame.
 */
struct Transfer
{
    Transfer() = default;
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;
    ~Transfer();

    /** Bytes moved through curl's callbacks: the idle time-out starts again. */
    void moved()
    {
        idle.start();
        queued = -1;
    }
    bool stillSending();

    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    curl_slist *proxyHeaders = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};

    QByteArray upload;
    qsizetype uploaded = 0;
    QByteArray body;
    QByteArray location; // the last response's Location header

    QTimer idle; // no byte in either direction for the client's timeout
    QMetaObject::Connection stopped; // the stop request that abandons it
    curl_socket_t socket = CURL_SOCKET_BAD; // the last one curl watched for it
    int queued = -1; // bytes in the socket's send queue when idle last ran out
    HttpClient::Driver *driver = nullptr; // while curl works on it
    std::coroutine_handle<> waiter;
    bool done = false;
    bool timedOut = false;
    bool abandoned = false; // ended by a stop request
    bool tooLarge = false; // a body over the cap, of a status below 400
    bool cappedFailure = false; // a failed status's body, cut at the cap
    CURLcode result = CURLE_OK;
};

/**
 * Whether bytes of the request are still leaving the socket when the idle
 * time-out runs out. curl hands the kernel as much of a body as its send
 * buffer takes, megabytes at times, and a slow server drains it long after
 * the last callback. Bytes move while the queue shrinks from one check to
 * the next (to empty included); at the first check since a callback, while
 * it holds any. So an empty queue ends the request at once, and one that
 * stands still at the second check.
 */
bool Transfer::stillSending()
{
#ifdef SIOCOUTQ
    int bytes = 0;
    if (socket == CURL_SOCKET_BAD || ioctl(socket, SIOCOUTQ, &bytes) != 0)
        return false;
    const bool shrank = queued < 0 ? bytes > 0 : bytes < queued;
    queued = bytes;
    return shrank;
#else
    return false;
#endif
}

/** Suspends send() until its transfer has ended. */
struct TransferEnd
{
    Transfer &transfer;
    bool await_ready() const noexcept { return transfer.done; }
    void await_suspend(std::coroutine_handle<> waiter) noexcept { transfer.waiter = waiter; }
    void await_resume() const noexcept {}
};

size_t readBody(char *buffer, size_t size, size_t count, void *data)
{
    auto &t = *static_cast<Transfer *>(data);
    t.moved();
    const qsizetype n = std::min<qsizetype>(qsizetype(size * count), t.upload.size() - t.uploaded);
    std::memcpy(buffer, t.upload.constData() + t.uploaded, size_t(n));
    t.uploaded += n;
    return size_t(n);
}

size_t writeBody(char *data, size_t size, size_t count, void *userData)
{
    auto &t = *static_cast<Transfer *>(userData);
    t.moved();
    const qsizetype n = qsizetype(size * count);
    if (t.body.isEmpty()) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
            t.body.reserve(qsizetype(std::min<curl_off_t>(length, HttpClient::MaxReplyBody)));
    }
    if (t.body.size() + n <= HttpClient::MaxReplyBody) {
        t.body.append(data, n);
        return size_t(n);
    }
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status < 400) {
        t.tooLarge = true;
        return 0; // ends the transfer
    }
    // A failed status keeps what fits. When the first byte left out
    // continues a UTF-8 sequence, the sequence's start goes too, so that a
    // text body stays valid text.
    const qsizetype keep = HttpClient::MaxReplyBody - t.body.size();
    t.body.append(data, keep);
    if ((uchar(data[keep]) & 0xC0) == 0x80) {
        for (int i = 0; i < 3 && !t.body.isEmpty() && (uchar(t.body.back()) & 0xC0) == 0x80; ++i)
            t.body.chop(1);
        if (!t.body.isEmpty() && uchar(t.body.back()) >= 0xC0)
            t.body.chop(1);
    }
    t.cappedFailure = true;
    return 0;
}

size_t readHeader(char *data, size_t size, size_t count, void *userData)
{
    auto &t = *static_cast<Transfer *>(userData);
    t.moved();
    const QByteArray line = QByteArray::fromRawData(data, qsizetype(size * count));
    if (line.startsWith("HTTP/")) // a new response, after an interim one or a proxy's
        t.location.clear();
    else if (line.size() > 9 && line.first(9).compare("Location:", Qt::CaseInsensitive) == 0)
        t.location = line.mid(9).trimmed();
    return size * count;
}

ServerError timedOut()
{
    return makeError(ErrorDomain::Network, CURLE_OPERATION_TIMEDOUT, QStringLiteral("The request timed out."));
}

/** curl's own words for code. */
ServerError curlError(CURLcode code)
{
    return makeError(ErrorDomain::Network, code, QString::fromUtf8(curl_easy_strerror(code)));
}

ServerError transferError(const Transfer &t)
{
    switch (t.result) {
    case CURLE_OPERATION_TIMEDOUT:
        return timedOut();
    case CURLE_PARTIAL_FILE: // a body shorter than its Content-Length, or a chunked one cut off
        return makeError(ErrorDomain::Network, CURLE_PARTIAL_FILE, QStringLiteral("Connection closed"));
    case CURLE_SEND_FAIL_REWIND:
        // curl sends a request again when a reused connection closes before
        // any byte of the answer; readBody() cannot rewind, so a POST fails
        // here, as it does on a fresh connection.
        return makeError(ErrorDomain::Network, CURLE_GOT_NOTHING, QStringLiteral("Empty reply from server"));
    default:
        break;
    }
    const QString text = QString::fromUtf8(t.errorText).trimmed();
    return text.isEmpty() ? curlError(t.result) : makeError(ErrorDomain::Network, t.result, text);
}

ServerError refusedRedirect(const QUrl &target)
{
    // Like curl's own refusal of a redirect to a protocol it may not follow.
    return makeError(ErrorDomain::Network, CURLE_UNSUPPORTED_PROTOCOL,
                     QStringLiteral("The server redirected the request to %1. Redirects to another server are not followed.")
                         .arg(target.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
                                  .toString()));
}

} // namespace

/**
 * libcurl's multi interface on the Qt event loop: a QSocketNotifier for
 * each direction of each socket curl watches, one single-shot QTimer for
 * curl's time-outs, curl_multi_socket_action from both, and
 * curl_multi_info_read for the transfers that ended. The multi handle keeps
 * the connections alive between transfers.
 */
class HttpClient::Driver
{
public:
    Driver();
    ~Driver();

    void start(Transfer &transfer);
    /** Ends a transfer and resumes its coroutine from the event loop. */
    void finish(Transfer &transfer);

private:
    struct Watch
    {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *driver, void *watch);
    static int onTimer(CURLM *multi, long milliseconds, void *driver);
    void watch(curl_socket_t socket, int what);
    void act(curl_socket_t socket, int events);

    CURLM *m_multi;
    QTimer m_timer;
    QObject m_context; // resumptions are queued to it, so they die with the driver
    QHash<curl_socket_t, Watch *> m_watches;
    QSet<Transfer *> m_running;
};

HttpClient::Driver::Driver()
    : m_multi(curl_multi_init())
{
    if (!m_multi)
        qFatal("libcurl cannot make a multi handle");
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Driver::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Driver::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    // Idle connections to servers used a moment ago stay in the cache until
    // curl finds them closed. When the cache is full, curl 7.88 at times
    // drops the connection that was just used, so there is room for many.
    curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, 64L);
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_context, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

HttpClient::Driver::~Driver()
{
    // Transfers still running belong to coroutines that will not resume.
    for (Transfer *transfer : std::as_const(m_running)) {
        curl_multi_remove_handle(m_multi, transfer->easy);
        transfer->driver = nullptr;
    }
    curl_multi_cleanup(m_multi);
    qDeleteAll(m_watches);
}

void HttpClient::Driver::start(Transfer &transfer)
{
    transfer.driver = this;
    m_running.insert(&transfer);
    QObject::connect(&transfer.idle, &QTimer::timeout, &m_context, [this, &transfer] {
        if (transfer.stillSending()) {
            transfer.idle.start();
            return;
        }
        transfer.timedOut = true;
        finish(transfer);
    });
    transfer.idle.start();
    // curl asks for a time-out of 0 through onTimer() and starts from there.
    curl_multi_add_handle(m_multi, transfer.easy);
}

void HttpClient::Driver::finish(Transfer &transfer)
{
    if (!transfer.driver)
        return;
    curl_multi_remove_handle(m_multi, transfer.easy);
    transfer.driver = nullptr;
    m_running.remove(&transfer);
    transfer.idle.stop();
    transfer.done = true;
    if (transfer.waiter)
        QMetaObject::invokeMethod(&m_context, [waiter = transfer.waiter] { waiter.resume(); }, Qt::QueuedConnection);
}

int HttpClient::Driver::onSocket(CURL *easy, curl_socket_t socket, int what, void *driver, void *)
{
    Transfer *transfer = nullptr;
    if (easy && curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer) == CURLE_OK && transfer) {
        if (what != CURL_POLL_REMOVE)
            transfer->socket = socket;
        else if (transfer->socket == socket)
            transfer->socket = CURL_SOCKET_BAD;
    }
    static_cast<Driver *>(driver)->watch(socket, what);
    return 0;
}

void HttpClient::Driver::watch(curl_socket_t socket, int what)
{
    if (what == CURL_POLL_REMOVE) {
        // Deleting a notifier from its own activated() is safe in Qt 6.
        delete m_watches.take(socket);
        return;
    }
    Watch *&watch = m_watches[socket];
    if (!watch)
        watch = new Watch;
    auto notifier = [&](std::unique_ptr<QSocketNotifier> &slot, QSocketNotifier::Type type, bool wanted, int event) {
        if (!wanted) {
            slot.reset();
            return;
        }
        if (slot)
            return;
        slot = std::make_unique<QSocketNotifier>(qintptr(socket), type);
        QObject::connect(slot.get(), &QSocketNotifier::activated, &m_context, [this, socket, event] { act(socket, event); });
    };
    notifier(watch->read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT, CURL_CSELECT_IN);
    notifier(watch->write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT, CURL_CSELECT_OUT);
}

int HttpClient::Driver::onTimer(CURLM *, long milliseconds, void *driver)
{
    QTimer &timer = static_cast<Driver *>(driver)->m_timer;
    if (milliseconds < 0)
        timer.stop();
    else
        timer.start(int(std::min<long>(milliseconds, std::numeric_limits<int>::max())));
    return 0;
}

void HttpClient::Driver::act(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Transfer *transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        transfer->result = message->data.result;
        finish(*transfer);
    }
}

Transfer::~Transfer()
{
    QObject::disconnect(stopped);
    waiter = {};
    if (driver)
        driver->finish(*this);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    curl_slist_free_all(proxyHeaders);
}

HttpClient::HttpClient(std::chrono::milliseconds timeout, QString caCertificates)
    : m_timeout(timeout)
    , m_caCertificates(QFile::encodeName(caCertificates))
{
    static std::once_flag initialized;
    std::call_once(initialized, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            qFatal("libcurl cannot be initialized");
    });
    m_driver = std::make_unique<Driver>();
}

HttpClient::~HttpClient() = default;

HttpClient &HttpClient::shared()
{
    static HttpClient *client = nullptr;
    if (!client) {
        client = new HttpClient;
        // Gone with the application object, after the last event it handles.
        qAddPostRoutine([] {
            delete client;
            client = nullptr;
        });
    }
    return *client;
}

namespace {

/** Appends a header line; curl sends "Name;" as a header with an empty value and "Name:" not at all. */
bool appendHeader(curl_slist *&list, const QByteArray &line)
{
    curl_slist *longer = curl_slist_append(list, line.constData());
    if (longer)
        list = longer;
    return longer != nullptr;
}

/**
 * A header whose name or value holds a control character is never sent: a
 * CR or an LF alone would end the line for one server or another, a NUL the
 * C string, and a header cannot carry the others. A tab is white space.
 */
bool isSafeHeader(const QByteArray &name, const QByteArray &value)
{
    auto unsafe = [](const QByteArray &text) {
        return std::any_of(text.begin(), text.end(), [](char c) { return (uchar(c) < 0x20 && c != '\t') || c == 0x7F; });
    };
    return !name.isEmpty() && !unsafe(name) && !unsafe(value) && !name.contains(':') && !name.contains(';');
}

} // namespace

QCoro::Task<HttpReply> HttpClient::send(HttpRequest request, const StopRequest *stop)
{
    for (const auto &[name, value] : std::as_const(request.headers)) {
        if (!isSafeHeader(name, value)) {
            throw makeError(ErrorDomain::Network, CURLE_BAD_FUNCTION_ARGUMENT,
                            QStringLiteral("The %1 header has a line break or another character that a header cannot carry; the request was not sent.")
                                .arg(QString::fromUtf8(name.left(40)).simplified()));
        }
    }

    const QUrl origin = request.url;
    QUrl url = request.url;
    HttpMethod method = request.method;
    for (int redirects = 0;; ++redirects) {
        // curl would guess a scheme for a URL without one and fetch it, and
        // take the first segment of the path of an http URL without a host
        // ("http:/api/...", "http:///api/...") for the host.
        const QString scheme = url.scheme().toLower();
        const bool isFile = scheme == u"file";
        const bool isHttp = (scheme == u"http" || scheme == u"https") && !url.host().isEmpty();
        if (url.isRelative() || (!isHttp && !isFile)) {
            throw makeError(ErrorDomain::Network, CURLE_UNSUPPORTED_PROTOCOL,
                            QStringLiteral("unsupported URL: %1").arg(url.toString(QUrl::RemoveUserInfo)));
        }

        Transfer transfer;
        transfer.easy = curl_easy_init();
        if (!transfer.easy)
            throw curlError(CURLE_OUT_OF_MEMORY);
        CURL *easy = transfer.easy;
        transfer.idle.setSingleShot(true);
        transfer.idle.setInterval(m_timeout);

        // Exactly our headers, in their order; of curl's own only Host,
        // User-Agent and Content-Length remain.
        bool listed = true;
        for (const auto &[name, value] : std::as_const(request.headers))
            listed = listed && appendHeader(transfer.headers, value.isEmpty() ? name + ';' : name + ": " + value);
        if (!hasHeader(request.headers, "Accept"))
            listed = listed && appendHeader(transfer.headers, "Accept:");
        if (method == HttpMethod::Post && !hasHeader(request.headers, "Content-Type"))
            listed = listed && appendHeader(transfer.headers, "Content-Type:");
        listed = listed && appendHeader(transfer.headers, "Expect:");
        listed = listed && appendHeader(transfer.proxyHeaders, "Proxy-Connection:");
        if (!listed)
            throw curlError(CURLE_OUT_OF_MEMORY);

        const QByteArray urlBytes = url.toEncoded(QUrl::RemoveFragment);
        curl_easy_setopt(easy, CURLOPT_URL, urlBytes.constData());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,file");
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L); // the path as QUrl encoded it
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L); // followed below, same origin only
        curl_easy_setopt(easy, CURLOPT_USERAGENT, UserAgent.constData());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
        // Our headers, the bearer token among them, never go to a proxy.
        curl_easy_setopt(easy, CURLOPT_HEADEROPT, long(CURLHEADER_SEPARATE));
        curl_easy_setopt(easy, CURLOPT_PROXYHEADER, transfer.proxyHeaders);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(m_timeout.count()));
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(m_timeout.count() * OverallTimeoutFactor));
        if (!m_caCertificates.isEmpty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, m_caCertificates.constData());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &readHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        if (method == HttpMethod::Post) {
            // The body goes through readBody(), which cannot rewind: curl's
            // resend of a request on a reused connection that closed before
            // any answer fails instead of uploading twice.
            transfer.upload = request.body;
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(transfer.upload.size()));
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readBody);
            curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        }

        if (stop && stop->isRequested())
            throw Stopped();
        m_driver->start(transfer);
        if (stop) {
            transfer.stopped = QObject::connect(stop, &StopRequest::requested, [&transfer] {
                if (!transfer.driver)
                    return; // already over: its reply stands
                transfer.abandoned = true;
                transfer.driver->finish(transfer);
            });
        }
        co_await TransferEnd{transfer};

        if (transfer.abandoned)
            throw Stopped();
        if (transfer.timedOut)
            throw timedOut();
        if (transfer.tooLarge) {
            throw makeError(ErrorDomain::Network, CURLE_FILESIZE_EXCEEDED,
                            QStringLiteral("The server's reply is larger than %1 MiB.").arg(MaxReplyBody >> 20));
        }
        if (transfer.result != CURLE_OK && !transfer.cappedFailure)
            throw transferError(transfer);
        if (isFile)
            co_return HttpReply{std::nullopt, std::move(transfer.body)};

        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (!isRedirect(status) || transfer.location.isEmpty() || transfer.cappedFailure)
            co_return HttpReply{int(status), std::move(transfer.body)};

        // Same-origin redirects only, so that neither the client secret in a
        // body nor the bearer token in a header reaches another server.
        const QUrl target = url.resolved(QUrl::fromEncoded(transfer.location));
        if (!sameOrigin(origin, target))
            throw refusedRedirect(target);
        if (redirects == MaxRedirects)
            throw makeError(ErrorDomain::Network, CURLE_TOO_MANY_REDIRECTS, QStringLiteral("Too many redirects."));
        // As browsers do: 307 and 308 repeat the request as it was, 303 and
        // (for a POST) 301 and 302 fetch the target with a GET.
        if (method == HttpMethod::Post && status != 307 && status != 308) {
            method = HttpMethod::Get;
            request.body.clear();
            request.headers.removeIf([](const auto &header) { return header.first.compare("Content-Type", Qt::CaseInsensitive) == 0; });
        }
        url = target;
    }
}

QString bodyText(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return QString();
    return text;
}

QString failedStatusText(int status, const QByteArray &body)
{
    return QStringLiteral("HTTP ") + QString::number(status) + QStringLiteral(". ") + bodyText(body);
}

QJsonDocument parseJsonBody(const QByteArray &body)
{
    QJsonParseError parseError;
    QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw makeError(ErrorDomain::Json, parseError.error,
                        QStringLiteral("The server's reply is not valid JSON (%1 at offset %2).")
                            .arg(parseError.errorString())
                            .arg(parseError.offset));
    return document;
}
