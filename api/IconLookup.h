#pragma once

#include "api/Http.h"

#include <QJsonValue>
#include <QString>

#include <QCoroTask>

#include <optional>

/** The server's record of one stored icon. url is never empty; id and name may be. */
struct IconLookupResult
{
    QString id;
    QString url;
    QString name;

    bool operator==(const IconLookupResult &) const = default;
};

/**
 * Fetches the record of the icon with the given ID. The ID text goes into the
 * URL unescaped. Throws a ServerError on any failure.
 */
QCoro::Task<IconLookupResult> lookupIcon(QString serverUrl, QString bearerToken, QString iconID,
                                         HttpClient &http = HttpClient::shared());

/**
 * The ID text of a JSON "id" value: a whole number in the signed 64-bit
 * range as its decimal digits (42 and 42.0 alike; -0 gives "0"), a string as
 * it is, even empty. Nothing for any other value, booleans included.
 *
 * The JSON parser keeps an integer literal that fits in 64 bits exactly, but
 * a number written with a fraction or an exponent becomes a double, so
 * 9007199254740993.0 reads as ...992: such a value cannot be told apart from
 * its nearest double, and the double is what we print.
 */
std::optional<QString> iconIDText(const QJsonValue &value);

/** Judges the lookup reply for the requested ID: returns the record or throws. */
IconLookupResult lookupResultFromReply(const HttpReply &reply, const QString &requestedID);
