#pragma once

#include "api/Http.h"
#include "run/UploadHost.h"

#include <QCoroTask>

class QObject;

/**
 * The upload run that the upload button starts: checks for a folder, gets a
 * bearer token, uploads every supported image of the folder in name order,
 * writes the results CSV and reports each step on the host's status line.
 * Every failure ends as "Error: " and its description on the status line;
 * nothing escapes the task.
 *
 * The run makes its own stop request and hands it to the host
 * (runStarted); a stop ends it between files (see runIconBatch), or at once
 * while the token is awaited, showing "Stopping..." meanwhile.
 *
 * owner is the QObject whose lifetime bounds the host (the window). When
 * owner is destroyed while the run waits for the server, the run goes on to
 * its end without the host, with the server URL it read last, and still
 * writes its report; it never touches the host again. While a run is on it
 * holds the application's event loop, so the application does not quit
 * before it ends.
 *
 * Every request of the run goes through http.
 */
QCoro::Task<> uploadIcons(QObject *owner, UploadHost &host, HttpClient &http = HttpClient::shared());

/** How a run ended, as its final status tells. */
enum class RunEnding { None, Complete, Stopped, NothingToUpload, Error };

/**
 * The ending that status announces, for a front end that marks it or turns
 * it into an exit status; None for a status that ends no run (a file in
 * progress, a folder chosen, "No folder selected.").
 */
RunEnding runEnding(const QString &status);
