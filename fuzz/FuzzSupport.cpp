#include "fuzz/FuzzSupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

void initializeQt()
{
    static int argc = 1;
    static char name[] = "velk-fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv); // lives as long as the process
}

void fuzzFailure(const char *what, const QString &detail)
{
    std::fprintf(stderr, "\nInvariant broken: %s\n%s\n", what, qPrintable(detail.left(2000)));
    std::abort();
}
