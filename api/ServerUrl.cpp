#include "api/ServerUrl.h"

QString normalizedServerUrl(const QString &serverUrl)
{
    qsizetype begin = 0;
    qsizetype end = serverUrl.size();
    while (begin < end && serverUrl.at(begin) == u'/')
        ++begin;
    while (end > begin && serverUrl.at(end - 1) == u'/')
        --end;
    return serverUrl.sliced(begin, end - begin);
}

std::optional<QUrl> endpointUrl(const QString &serverUrl, const QString &path)
{
    // Strict parsing: a text with characters that a URL cannot hold (a space,
    // a stray "%") is refused rather than silently repaired.
    const QUrl url(normalizedServerUrl(serverUrl) + path, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}
