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
 * owner is the QObject whose lifetime bounds the host (the window). If it is
 * destroyed while the run waits for the server, the run ends quietly at its
 * next step without touching the host.
 *
 * Every request of the run goes through http.
 */
QCoro::Task<> uploadIcons(QObject *owner, UploadHost &host, HttpClient &http = HttpClient::shared());
