#pragma once

#include <QString>
#include <QStringList>

#include <optional>

/** What one invocation of velk-icon-upload asks for, every setting resolved. */
struct Invocation
{
    QString folder; // absolute
    QString reportPath; // absolute: --report's, else the Desktop's
    bool check = false;
    bool quiet = false;
    // The three settings; only an upload needs them, so a check leaves them empty.
    QString velkURL;
    QString clientID;
    QString clientSecret;
};

/** Bad usage: the message for standard error; the command exits with 2. */
struct UsageError
{
    QString message;
};

/**
 * Reads the arguments (the program's name first) and resolves the
 * settings: each from its option, else from its environment variable
 * (VELK_URL, VELK_CLIENT_ID, VELK_CLIENT_SECRET; an empty one counts as
 * unset), else from the window's saved settings, which are read only when
 * needed. The secret never comes from an argument: --secret-file FILE
 * names a file, or "-" standard input, that holds it.
 *
 * Returns nothing after printing the help or the version. Throws a
 * UsageError for anything a script got wrong: an unknown option, no folder
 * or no such folder, a report in a folder that does not exist (the Desktop
 * included), a secret file that cannot be read, or a setting that is empty
 * or never saved.
 */
std::optional<Invocation> readInvocation(const QStringList &arguments);
