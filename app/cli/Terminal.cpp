#include "app/cli/Terminal.h"

#include <algorithm>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

/** The terminal's width in columns; 80 when it does not say. */
int terminalColumns()
{
    winsize size = {};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void writeError(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stderr);
    std::fflush(stderr);
}

} // namespace

Terminal::Terminal(bool quiet, QString done)
    : m_bar(!quiet && ::isatty(STDERR_FILENO) && qgetenv("TERM") != "dumb")
    , m_done(std::move(done))
{
}

void Terminal::print(const QString &line)
{
    const bool redraw = m_shown;
    clearProgress();
    const QByteArray bytes = (line + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    if (redraw)
        draw();
}

void Terminal::progress(int done, int total)
{
    m_doneFiles = done;
    m_total = total;
    if (m_bar && total > 0)
        draw();
}

void Terminal::clearProgress()
{
    if (!m_shown)
        return;
    writeError(QStringLiteral("\r\033[K"));
    m_shown = false;
}

void Terminal::draw()
{
    // One line short of the width, so that the terminal never wraps it and
    // the carriage return always finds its start; the bar goes first when
    // the line is narrow.
    const QString count = QStringLiteral("%1 of %2 icons %3").arg(m_doneFiles).arg(m_total).arg(m_done);
    const int room = std::min(40, terminalColumns() - 1 - int(count.size()) - 3);
    QString text = count;
    if (room >= 10) {
        const int filled = int(qint64(room) * m_doneFiles / m_total);
        text = u'[' + QString(filled, u'#') + QString(room - filled, u'.') + QStringLiteral("] ") + count;
    }
    writeError(u'\r' + text + QStringLiteral("\033[K"));
    m_shown = true;
}
