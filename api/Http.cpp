#include "api/Http.h"

#include "api/ServerError.h"

#include <QCoreApplication>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QStringDecoder>

#include <QCoroNetworkReply>

#include <memory>

namespace {

std::chrono::milliseconds g_timeout{60'000};

// Set on a reply whose redirect we refused, so that the abort that follows
// reads as a refused redirect and not as a time-out.
constexpr char RefusedRedirectProperty[] = "velkRefusedRedirect";

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

ServerError clientError(const QNetworkReply &reply)
{
    const QUrl refused = reply.property(RefusedRedirectProperty).toUrl();
    if (!refused.isEmpty()) {
        return makeError(ErrorDomain::Network, QNetworkReply::InsecureRedirectError,
                         QStringLiteral("The server redirected the request to %1. Redirects to another server are not followed.")
                             .arg(refused.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemovePath).toString()));
    }
    // We abort only refused redirects, so a cancelled reply was ended by the
    // transfer timeout; Qt words that as "Operation canceled".
    if (reply.error() == QNetworkReply::OperationCanceledError)
        return makeError(ErrorDomain::Network, QNetworkReply::TimeoutError, QStringLiteral("The request timed out."));
    return makeError(ErrorDomain::Network, reply.error(), reply.errorString());
}

} // namespace

QNetworkAccessManager &networkManager()
{
    static QNetworkAccessManager *manager = [] {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        return new QNetworkAccessManager(QCoreApplication::instance());
    }();
    return *manager;
}

std::chrono::milliseconds requestTimeout()
{
    return g_timeout;
}

void setRequestTimeout(std::chrono::milliseconds timeout)
{
    g_timeout = timeout;
}

QNetworkRequest makeRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(g_timeout.count()));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    return request;
}

QCoro::Task<HttpReply> sendRequest(HttpMethod method, QNetworkRequest request, QByteArray body)
{
    QNetworkAccessManager &manager = networkManager();
    std::unique_ptr<QNetworkReply, DeleteLater> reply(method == HttpMethod::Get ? manager.get(request)
                                                                                 : manager.post(request, body));
    QNetworkReply *raw = reply.get();
    const QUrl origin = request.url();
    QObject::connect(raw, &QNetworkReply::redirected, raw, [raw, origin](const QUrl &target) {
        const QUrl resolved = raw->url().resolved(target);
        if (sameOrigin(origin, resolved)) {
            emit raw->redirectAllowed();
        } else {
            raw->setProperty(RefusedRedirectProperty, resolved);
            raw->abort();
        }
    });

    co_await raw;

    // Network-layer and proxy failures come before any status: the reply may
    // have started, but it did not arrive whole.
    const QNetworkReply::NetworkError error = raw->error();
    if (error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        throw clientError(*raw);

    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        if (error != QNetworkReply::NoError)
            throw clientError(*raw);
        co_return HttpReply{std::nullopt, raw->readAll()};
    }
    // Qt also sets error() for every 4xx and 5xx status; those replies are
    // whole and go to the caller. Any other error with a success status
    // means a broken transfer.
    const int code = status.toInt();
    if (code < 400 && error != QNetworkReply::NoError)
        throw clientError(*raw);
    co_return HttpReply{code, raw->readAll()};
}

QString bodyText(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return QString();
    return text;
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
