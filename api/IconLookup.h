#pragma once

#include "api/Http.h"

#include <QString>

#include <QCoroTask>

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
QCoro::Task<IconLookupResult> lookupIcon(QString serverUrl, QString bearerToken, QString iconID);

/** Judges the lookup reply for the requested ID: returns the record or throws. */
IconLookupResult lookupResultFromReply(const HttpReply &reply, const QString &requestedID);
