#pragma once

#include <functional>

/**
 * Makes SIGINT and SIGTERM (Ctrl+C in a terminal, logout, a service
 * manager) stop every upload run between files, as a Stop button does,
 * instead of killing the process with its report unwritten. The signal is
 * taken on the event loop of the thread that calls this (the UI thread):
 * every stop request is requested, then onSignal is called with the signal's
 * number, so that the caller can end once the runs have ended. A second
 * signal ends the process at once, as if none were handled.
 *
 * Call once, after the application object exists. Does nothing where there
 * are no such signals.
 */
void stopRunsOnSignals(std::function<void(int signal)> onSignal);
