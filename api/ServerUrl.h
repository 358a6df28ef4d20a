#pragma once

#include <QString>
#include <QUrl>

#include <optional>

/**
 * The server URL text as the user typed it, with every "/" removed from its
 * start and its end. White space and inner slashes stay: the text is the
 * user's, and the URL parser decides what it makes of it.
 */
QString normalizedServerUrl(const QString &serverUrl);

/**
 * Joins the normalized server URL and an endpoint path (which begins with
 * "/") and parses the result. Returns nothing when the joined text is not a
 * valid URL; a relative reference parses, and the HTTP client refuses it
 * later with its own error.
 */
std::optional<QUrl> endpointUrl(const QString &serverUrl, const QString &path);
