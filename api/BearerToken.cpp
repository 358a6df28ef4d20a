#include "api/BearerToken.h"

#include "api/ServerUrl.h"
#include "core/ServerError.h"

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
        throw makeError(AuthError::NoHTTPResponse, QStringLiteral("No HTTP response from Velk Pro."));
    if (*reply.status != 200) {
        throw makeError(ErrorDomain::Auth, *reply.status,
                        QStringLiteral("Failed to get bearer token. ") + failedStatusText(*reply.status, reply.body));
    }
    const QJsonDocument document = parseJsonBody(reply.body);
    const QJsonValue token = document.object().value(QLatin1String("access_token"));
    if (!document.isObject() || !token.isString() || token.toString().isEmpty())
        throw makeError(AuthError::NoAccessToken, QStringLiteral("No access_token returned by Velk Pro."));
    return token.toString();
}

QCoro::Task<QString> fetchBearerToken(QString serverUrl, QString clientID, QString clientSecret, HttpClient &http,
                                      const StopRequest *stop)
{
    const std::optional<QUrl> url = endpointUrl(serverUrl, QStringLiteral("/api/v1/oauth/token"));
    if (!url)
        throw makeError(AuthError::InvalidURL, QStringLiteral("Invalid Velk Pro URL."));

    HttpRequest request(HttpMethod::Post, *url);
    request.header("Content-Type", "application/x-www-form-urlencoded");
    request.body = tokenRequestBody(clientID, clientSecret);
    const HttpReply reply = co_await http.send(std::move(request), stop);
    co_return tokenFromReply(reply);
}
