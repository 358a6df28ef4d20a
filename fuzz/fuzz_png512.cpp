// The image normalization on arbitrary file contents: 512x512 PNG bytes or
// one ImageConversion error naming the file, never a crash, a hang or a
// sanitizer report. The bytes go through a file in memory (/dev/shm when
// there is one), since makePNG512 reads a file.

#include "core/ServerError.h"
#include "fuzz/FuzzSupport.h"
#include "imaging/Png512.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString g_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    initializeQt();
    const QString folder = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    g_path = QDir(folder).filePath(QStringLiteral("velk-fuzz-%1.png").arg(QCoreApplication::applicationPid()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        QFile file(g_path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
            fuzzFailure("cannot write the input file", g_path);
    }
    try {
        const QByteArray png = makePNG512(g_path);
        FUZZ_CHECK(png.startsWith("\x89PNG\r\n\x1a\n"), QString::number(png.size()));
        // IHDR, the first chunk: width and height 512, and a colour type with alpha.
        FUZZ_CHECK(png.size() > 33 && png.mid(12, 4) == "IHDR" && png.mid(16, 8) == QByteArray::fromHex("0000020000000200")
                       && (png[25] == 4 || png[25] == 6),
                   QString::fromLatin1(png.mid(12, 14).toHex()));
    } catch (const ServerError &error) {
        const QString name = QFileInfo(g_path).fileName();
        FUZZ_CHECK(error.domain() == ErrorDomain::ImageConversion, error.domain());
        FUZZ_CHECK((error.code() == 400 && error.message() == QStringLiteral("Could not open image: ") + name)
                       || (error.code() == 401
                           && error.message() == QStringLiteral("Failed to convert image to 512x512 PNG: ") + name),
                   error.message());
    }
    QFile::remove(g_path);
    return 0;
}
