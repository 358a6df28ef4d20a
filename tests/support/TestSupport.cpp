#include "tests/support/TestSupport.h"

#include <QFile>

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

namespace {

void appendLittle16(QByteArray &out, int value)
{
    out.append(char(value & 0xFF));
    out.append(char((value >> 8) & 0xFF));
}

/**
 * LZW-codes indexes without compressing: every pixel is a literal 9-bit
 * code, with a clear code often enough that the decoder's table never
 * grows past 9 bits.
 */
QByteArray lzwLiterals(const QByteArray &indexes)
{
    constexpr int Clear = 256;
    constexpr int End = 257;
    QByteArray packed;
    quint32 bits = 0;
    int count = 0;
    auto emitCode = [&](int code) {
        bits |= quint32(code) << count;
        count += 9;
        while (count >= 8) {
            packed.append(char(bits & 0xFF));
            bits >>= 8;
            count -= 8;
        }
    };
    for (qsizetype i = 0; i < indexes.size(); ++i) {
        if (i % 250 == 0)
            emitCode(Clear);
        emitCode(quint8(indexes.at(i)));
    }
    emitCode(End);
    if (count > 0)
        packed.append(char(bits & 0xFF));

    QByteArray blocks;
    for (qsizetype at = 0; at < packed.size(); at += 255) {
        const QByteArray block = packed.mid(at, 255);
        blocks.append(char(block.size()));
        blocks.append(block);
    }
    blocks.append('\0');
    return blocks;
}

} // namespace

QByteArray gifBytes(const QList<QImage> &frames)
{
    constexpr int Transparent = 255;
    const QSize size = frames.first().size();
    QList<QRgb> palette;
    QList<QByteArray> frameIndexes;
    bool anyTransparent = false;
    for (const QImage &frame : frames) {
        const QImage image = frame.convertToFormat(QImage::Format_ARGB32);
        if (image.size() != size)
            qFatal("gifBytes: frames differ in size");
        QByteArray indexes;
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                if (qAlpha(pixel) == 0) {
                    indexes.append(char(Transparent));
                    anyTransparent = true;
                    continue;
                }
                qsizetype index = palette.indexOf(pixel | 0xFF000000);
                if (index < 0) {
                    if (palette.size() == Transparent)
                        qFatal("gifBytes: more than 255 colours");
                    index = palette.size();
                    palette.append(pixel | 0xFF000000);
                }
                indexes.append(char(index));
            }
        }
        frameIndexes.append(indexes);
    }

    QByteArray out("GIF89a");
    appendLittle16(out, size.width());
    appendLittle16(out, size.height());
    out.append(char(0xF7)); // global table of 256 entries
    out.append('\0');
    out.append('\0');
    for (int i = 0; i < 256; ++i) {
        const QRgb colour = i < palette.size() ? palette.at(i) : 0;
        out.append(char(qRed(colour)));
        out.append(char(qGreen(colour)));
        out.append(char(qBlue(colour)));
    }
    if (frames.size() > 1) {
        // Loop forever, so that readers treat the file as an animation.
        out.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    }
    for (const QByteArray &indexes : frameIndexes) {
        out.append("\x21\xF9\x04", 3);
        out.append(char(anyTransparent ? 0x09 : 0x08)); // restore to background, transparency flag
        appendLittle16(out, 10); // 100 ms per frame
        out.append(char(anyTransparent ? Transparent : 0));
        out.append('\0');
        out.append('\x2C');
        appendLittle16(out, 0);
        appendLittle16(out, 0);
        appendLittle16(out, size.width());
        appendLittle16(out, size.height());
        out.append('\0');
        out.append('\x08'); // minimum code size
        out.append(lzwLiterals(indexes));
    }
    out.append('\x3B');
    return out;
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
