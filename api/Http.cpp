#include "api/Http.h"

#include "core/ServerError.h"

#include <QCoreApplication>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>

#include <QCoroNetworkReply>

#include <memory>

namespace {

// As many hops as a browser follows; a longer chain is a loop.
constexpr int MaxRedirects = 20;

struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
        && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && a.port(a.scheme() == u"https" ? 443 : 80) == b.port(b.scheme() == u"https" ? 443 : 80);
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

/**
 * Whether an error means that the transfer failed, as opposed to Qt flagging
 * a failed status. Qt turns each 4xx and 5xx status into an error of its
 * own (400 into ProtocolInvalidOperationError, 407 into
 * ProxyAuthenticationRequiredError, 500 into InternalServerError ...), and
 * such a reply's body is readable. The network layer's errors, the proxy's
 * and ProtocolFailure (a malformed reply) are failures of the transfer.
 */
bool isTransferError(QNetworkReply::NetworkError error, int status)
{
    if (error == QNetworkReply::NoError)
        return false;
    if (status < 400 || error <= QNetworkReply::UnknownNetworkError
        || error == QNetworkReply::ProtocolFailure)
        return true;
    if (error >= QNetworkReply::ProxyConnectionRefusedError && error <= QNetworkReply::UnknownProxyError)
        return !(error == QNetworkReply::ProxyAuthenticationRequiredError && status == 407);
    return false;
}

/**
 * Whether the body is shorter than its Content-Length. Qt 6.4 reports a
 * failed status as soon as the head arrives, and at times misses a
 * connection closed in the middle of a long body; either way the reply
 * would pass for whole. (Qt removes Content-Length from a reply it
 * decompresses, so the check applies to the bytes as received.)
 */
bool isCutOff(const QNetworkReply &reply, const QByteArray &body)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() && body.size() < length.toLongLong();
}

ServerError clientError(const QNetworkReply &reply)
{
    // Nothing here aborts a reply, so a cancelled one was ended by the
    // transfer timeout, which Qt 6.4 reports as "Operation canceled".
    if (reply.error() == QNetworkReply::OperationCanceledError)
        return makeError(ErrorDomain::Network, QNetworkReply::TimeoutError, QStringLiteral("The request timed out."));
    return makeError(ErrorDomain::Network, reply.error(), reply.errorString());
}

ServerError refusedRedirect(const QUrl &target)
{
    return makeError(ErrorDomain::Network, QNetworkReply::InsecureRedirectError,
                     QStringLiteral("The server redirected the request to %1. Redirects to another server are not followed.")
                         .arg(target.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
                                  .toString()));
}

} // namespace

HttpClient::HttpClient(std::chrono::milliseconds timeout)
    : m_timeout(timeout)
    , m_manager(new QNetworkAccessManager)
{
}

HttpClient::~HttpClient()
{
    // Replies that finished a moment ago still wait for their deleteLater().
    m_manager->deleteLater();
}

HttpClient &HttpClient::shared()
{
    static HttpClient *client = [] {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        auto *shared = new HttpClient;
        // Gone with the application object, after the last event it handles.
        shared->m_manager->setParent(QCoreApplication::instance());
        return shared;
    }();
    return *client;
}

QCoro::Task<HttpReply> HttpClient::send(HttpRequest request)
{
    QNetworkRequest qrequest(request.url);
    qrequest.setTransferTimeout(int(m_timeout.count()));
    // No cache is installed, so the default load control reaches the network;
    // AlwaysNetwork would add Cache-Control and Pragma headers of its own.
    qrequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Redirects are followed here: Qt 6.4's own following
    // (UserVerifiedRedirectPolicy in particular) at times loses the final
    // response on a keep-alive connection, sends the request again and
    // reports a bogus success.
    qrequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    for (const auto &[name, value] : std::as_const(request.headers))
        qrequest.setRawHeader(name, value);

    const QUrl origin = request.url;
    HttpMethod method = request.method;
    QByteArray body = request.body;
    for (int redirects = 0;; ++redirects) {
        std::unique_ptr<QNetworkReply, DeleteLater> reply(method == HttpMethod::Get ? m_manager->get(qrequest)
                                                                                     : m_manager->post(qrequest, body));
        co_await reply.get();

        const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const QNetworkReply::NetworkError error = reply->error();
        if (!statusAttribute.isValid()) {
            // Not HTTP at all, such as a file: URL that was read.
            if (error != QNetworkReply::NoError)
                throw clientError(*reply);
            co_return HttpReply{std::nullopt, reply->readAll()};
        }
        const int status = statusAttribute.toInt();
        if (isTransferError(error, status))
            throw clientError(*reply);
        QByteArray replyBody = reply->readAll();
        if (isCutOff(*reply, replyBody)) // worded as Qt words it when it notices
            throw makeError(ErrorDomain::Network, QNetworkReply::RemoteHostClosedError, QStringLiteral("Connection closed"));

        const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (!isRedirect(status) || location.isEmpty())
            co_return HttpReply{status, std::move(replyBody)};

        // Same-origin redirects only, so that neither the client secret in a
        // body nor the bearer token in a header reaches another server.
        const QUrl target = qrequest.url().resolved(location);
        if (!sameOrigin(origin, target))
            throw refusedRedirect(target);
        if (redirects == MaxRedirects)
            throw makeError(ErrorDomain::Network, QNetworkReply::TooManyRedirectsError, QStringLiteral("Too many redirects."));
        // As browsers do: 307 and 308 repeat the request as it was, 303 and
        // (for a POST) 301 and 302 fetch the target with a GET.
        if (method == HttpMethod::Post && status != 307 && status != 308) {
            method = HttpMethod::Get;
            body.clear();
            qrequest.setRawHeader("Content-Type", QByteArray());
        }
        qrequest.setUrl(target);
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
