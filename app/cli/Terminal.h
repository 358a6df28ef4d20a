#pragma once

#include <QString>

/**
 * The command's output: lines on standard output, each flushed at once so
 * that a pipe sees it as it comes, and, when standard error is a terminal,
 * a progress bar there that redraws in place ("12 of 40 icons uploaded").
 * The bar steps aside for each line and is gone when the run ends; nothing
 * of it is written where standard error is not a terminal, or when quiet.
 */
class Terminal
{
public:
    /** done says what a finished file is: "uploaded", "checked". */
    Terminal(bool quiet, QString done);

    void print(const QString &line);
    void progress(int done, int total);
    void clearProgress();

private:
    void draw();

    const bool m_bar;
    const QString m_done;
    bool m_shown = false; // the bar is on the terminal
    int m_doneFiles = 0;
    int m_total = 0;
};
