#include "tests/support/TestSupport.h"

#include <QFile>
#include <QImageWriter>

namespace testsupport {

void runTask(QCoro::Task<> task)
{
    std::exception_ptr error;
    auto wrapper = [](QCoro::Task<> inner, std::exception_ptr &err) -> QCoro::Task<> {
        try {
            co_await inner;
        } catch (...) {
            err = std::current_exception();
        }
    };
    QCoro::waitFor(wrapper(std::move(task), error));
    if (error)
        std::rethrow_exception(error);
}

QString writeImage(const QTemporaryDir &dir, const QString &name, const QImage &image, int quality)
{
    const QString path = dir.filePath(name);
    QImageWriter writer(path);
    writer.setQuality(quality);
    if (!writer.write(image))
        qFatal("cannot write test image %s: %s", qPrintable(path), qPrintable(writer.errorString()));
    return path;
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write test file %s", qPrintable(path));
    return path;
}

} // namespace testsupport
