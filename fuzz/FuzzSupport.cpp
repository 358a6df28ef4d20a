#include "fuzz/FuzzSupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

void initializeQt()
{
    static int argc = 1;
    static char name[] = "velk-fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv); // lives as long as the process
}

Input inputFrom(const uint8_t *data, size_t size, int fields)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<QByteArray> lines;
    for (int i = 0; i <= fields; ++i) {
        const qsizetype end = bytes.indexOf('\n');
        lines.append(end < 0 ? bytes : bytes.left(end));
        bytes = end < 0 ? QByteArray() : bytes.mid(end + 1);
    }

    Input input;
    bool isNumber = false;
    const int status = lines[0].toInt(&isNumber);
    if (isNumber)
        input.reply.status = status;
    for (int i = 1; i <= fields; ++i)
        input.fields.append(QString::fromUtf8(lines[i]));
    input.reply.body = bytes;
    return input;
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "\nInvariant broken: %s\n%s\n", what, qPrintable(detail.left(2000)));
    std::abort();
}

} // namespace fuzzsupport
