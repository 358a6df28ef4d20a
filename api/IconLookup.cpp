#include "api/IconLookup.h"

#include "api/ServerUrl.h"
#include "core/ServerError.h"

#include <QJsonObject>
#include <QUrl>

#include <cmath>

namespace {

/**
 * The last segment of the URL's path, percent-escapes decoded, a trailing
 * "/" ignored, query and fragment left out. A URL without a path segment
 * (no path, or only "/") has the empty name. Segments are split before
 * decoding, so an escaped "%2F" stays inside its segment.
 */
QString lastPathComponent(const QUrl &url)
{
    const QList<QByteArray> segments = url.path(QUrl::FullyEncoded).toUtf8().split('/');
    for (auto segment = segments.crbegin(); segment != segments.crend(); ++segment) {
        if (!segment->isEmpty())
            return QString::fromUtf8(QByteArray::fromPercentEncoding(*segment));
    }
    return QString();
}

QString nameFromUrl(const QString &urlText)
{
    const QUrl url(urlText, QUrl::StrictMode);
    return url.isValid() ? lastPathComponent(url) : QString();
}

} // namespace

std::optional<QString> iconIDText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (!value.isDouble())
        return std::nullopt;
    const QVariant number = value.toVariant();
    if (number.typeId() == QMetaType::LongLong)
        return QString::number(number.toLongLong());
    // -2^63 and 2^63 are exact doubles; the range is [-2^63, 2^63).
    const double d = value.toDouble();
    constexpr double Limit = 9223372036854775808.0;
    if (std::isfinite(d) && std::trunc(d) == d && d >= -Limit && d < Limit)
        return QString::number(qint64(d));
    return std::nullopt;
}

IconLookupResult lookupResultFromReply(const HttpReply &reply, const QString &requestedID)
{
    if (!reply.status) {
        throw makeError(LookupError::NoHTTPResponse,
                        QStringLiteral("No HTTP response when looking up icon ID ") + requestedID + u'.');
    }
    if (*reply.status != 200) {
        throw makeError(ErrorDomain::IconLookup, *reply.status,
                        QStringLiteral("Failed to look up icon ID ") + requestedID + QStringLiteral(". ")
                            + failedStatusText(*reply.status, reply.body));
    }

    const QJsonDocument document = parseJsonBody(reply.body);
    const QJsonObject record = document.object();
    if (!document.isObject() || !record.contains(QLatin1String("id")))
        throw makeError(LookupError::NoID, QStringLiteral("Icon lookup did not return an ID."));

    IconLookupResult result;
    result.id = iconIDText(record.value(QLatin1String("id"))).value_or(requestedID);

    const QJsonValue url = record.value(QLatin1String("url"));
    if (!url.isString() || url.toString().isEmpty())
        throw makeError(LookupError::NoURL, QStringLiteral("Icon lookup did not return a URL."));
    result.url = url.toString();

    const QJsonValue name = record.value(QLatin1String("name"));
    result.name = name.isString() ? name.toString() : nameFromUrl(result.url);
    return result;
}

QCoro::Task<IconLookupResult> lookupIcon(QString serverUrl, QString bearerToken, QString iconID, HttpClient &http)
{
    // The ID goes in unescaped: a "/" in it adds path segments, a "?" starts
    // a query, and a text that makes the URL invalid is refused here.
    const std::optional<QUrl> url = endpointUrl(serverUrl, QStringLiteral("/api/v1/icon/") + iconID);
    if (!url)
        throw makeError(LookupError::InvalidURL, QStringLiteral("Invalid icon lookup URL."));

    HttpRequest request(HttpMethod::Get, *url);
    request.header("Authorization", "Bearer " + bearerToken.toUtf8()).header("Accept", "application/json");
    const HttpReply reply = co_await http.send(std::move(request));
    co_return lookupResultFromReply(reply, iconID);
}
