#include "api/BearerToken.h"

#include "api/ServerError.h"
#include "api/ServerUrl.h"

#include <QJsonObject>

namespace {

// Besides letters, digits and "-._~", these stay unescaped in a form value;
// everything else, "+", "&" and space among it, becomes %XX.
const QByteArray KeptInFormValues = QByteArrayLiteral("!$'()*,;=:@/?");

QByteArray formValue(const QString &value)
{
    return value.toUtf8().toPercentEncoding(KeptInFormValues);
}

} // namespace

QByteArray tokenRequestBody(const QString &clientID, const QString &clientSecret)
{
    return "client_id=" + formValue(clientID)
        + "&client_secret=" + formValue(clientSecret)
        + "&grant_type=client_credentials";
}

QString tokenFromReply(const HttpReply &reply)
{
    if (!reply.status)
        throw makeError(ErrorDomain::Auth, 101, QStringLiteral("No HTTP response from Velk Pro."));
    if (*reply.status != 200) {
        throw makeError(ErrorDomain::Auth, *reply.status,
                        QStringLiteral("Failed to get bearer token. ") + failedStatusText(*reply.status, reply.body));
    }
    const QJsonDocument document = parseJsonBody(reply.body);
    const QJsonValue token = document.object().value(QLatin1String("access_token"));
    if (!document.isObject() || !token.isString() || token.toString().isEmpty())
        throw makeError(ErrorDomain::Auth, 102, QStringLiteral("No access_token returned by Velk Pro."));
    return token.toString();
}

QCoro::Task<QString> fetchBearerToken(QString serverUrl, QString clientID, QString clientSecret)
{
    const std::optional<QUrl> url = endpointUrl(serverUrl, QStringLiteral("/api/v1/oauth/token"));
    if (!url)
        throw makeError(ErrorDomain::Auth, 100, QStringLiteral("Invalid Velk Pro URL."));

    QNetworkRequest request = makeRequest(*url);
    request.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
    const HttpReply reply = co_await sendRequest(HttpMethod::Post, request, tokenRequestBody(clientID, clientSecret));
    co_return tokenFromReply(reply);
}
