#include "imaging/ImageLoad.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>

#include <algorithm>

namespace imaging {

namespace {

/**
 * How much larger than its drawn size a reduced JPEG decode stays. libjpeg's
 * reduced decode works within 8x8 blocks, which lets some fine detail alias;
 * with the decoded picture at least twice the drawn size the final Lanczos
 * step removes most of it. Measured against a full decode on a 4096x4096
 * zone plate: 39 dB at 2x, 34 dB with visible alias rings at 1x; photos
 * 55-60 dB at 2x. Going to 1x would save only 10-20%: entropy decoding, not
 * the inverse DCT, is most of a JPEG's decoding time.
 */
constexpr int kJpegOversampling = 2;

/**
 * Qt refuses to decode an image whose pixels need more than
 * QImageReader::allocationLimit() megabytes: 128 in Qt 6.4, less than an
 * 8000x8000 PNG takes. The process-wide limit is raised once to what the
 * largest accepted decode needs at 8 bytes per pixel (16-bit PNGs decode to
 * RGBA64). Bombs are still refused: loadImage() checks the header against
 * kMaxPixels and kMaxDecodedPixels before decoding anything. The limit is
 * never lowered, and 0 (no limit) is left alone.
 */
void raiseAllocationLimitOnce()
{
    static const bool raised = [] {
        const int neededMegabytes = int(kMaxDecodedPixels * 8 / (1024 * 1024)) + 1;
        const int current = QImageReader::allocationLimit();
        if (current != 0 && current < neededMegabytes)
            QImageReader::setAllocationLimit(neededMegabytes);
        return true;
    }();
    Q_UNUSED(raised);
}

/**
 * The logical screen a GIF declares: the canvas its frames are drawn on,
 * and the size Qt's GIF reader decodes to. Qt's size() reports the first
 * frame's extent instead, which a forged header makes far smaller than
 * what is then decoded. Invalid when a side is zero, where Qt decodes at
 * the frame's size.
 */
QSize gifScreenSize(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(10);
    if (head.size() != 10 || !head.startsWith("GIF"))
        return {};
    const int width = uchar(head[6]) | (uchar(head[7]) << 8);
    const int height = uchar(head[8]) | (uchar(head[9]) << 8);
    return width > 0 && height > 0 ? QSize(width, height) : QSize();
}

} // namespace

int jpegReduction(QSize storedSize, int drawnSide)
{
    const int longer = std::max(storedSize.width(), storedSize.height());
    const int shorter = std::min(storedSize.width(), storedSize.height());
    int reduction = 1;
    while (reduction < 8 && reduction * 2 * kJpegOversampling * drawnSide <= longer && reduction * 2 <= shorter)
        reduction *= 2;
    return reduction;
}

bool jpegIsComplete(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char b0 = 0;
    char b1 = 0;
    if (!file.getChar(&b0) || !file.getChar(&b1) || uchar(b0) != 0xff || uchar(b1) != 0xd8)
        return false;

    // Walk the marker segments up to the first scan.
    for (;;) {
        char c = 0;
        do { // skip stray bytes and fill bytes before the marker code
            if (!file.getChar(&c))
                return false;
        } while (uchar(c) != 0xff);
        do {
            if (!file.getChar(&c))
                return false;
        } while (uchar(c) == 0xff);
        const uchar marker = uchar(c);
        if (marker == 0xd9)
            return false; // ends before any image data
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue; // markers without a length
        char hi = 0;
        char lo = 0;
        if (!file.getChar(&hi) || !file.getChar(&lo))
            return false;
        const int length = (uchar(hi) << 8) | uchar(lo);
        if (length < 2 || file.skip(length - 2) != length - 2)
            return false;
        if (marker == 0xda)
            break;
    }

    // Image data escapes every 0xff byte as ff 00, so from here on ff d9 can
    // only be the end marker.
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    bool endsWithFF = false;
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n <= 0)
            return false;
        const QByteArrayView data(chunk.constData(), n);
        if ((endsWithFF && uchar(data[0]) == 0xd9) || data.indexOf(QByteArrayView("\xff\xd9", 2)) >= 0)
            return true;
        endsWithFF = uchar(data[n - 1]) == 0xff;
    }
}

bool gifIsComplete(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto skip = [&file](qint64 count) { return file.skip(count) == count; };
    const auto byte = [&file](int &value) {
        char c = 0;
        if (!file.getChar(&c))
            return false;
        value = uchar(c);
        return true;
    };
    // Data sub-blocks: a length byte and that many bytes, up to a zero length.
    const auto skipSubBlocks = [&] {
        for (int length = 0;;) {
            if (!byte(length))
                return false;
            if (length == 0)
                return true;
            if (!skip(length))
                return false;
        }
    };
    // The colour table that a packed byte announces, if any.
    const auto skipColourTable = [&](int packed) { return !(packed & 0x80) || skip(3 << ((packed & 7) + 1)); };

    // Signature and version, then the logical screen descriptor.
    const QByteArray head = file.read(13);
    if (head.size() != 13 || !head.startsWith("GIF") || !skipColourTable(uchar(head[10])))
        return false;
    for (int introducer = 0;;) {
        if (!byte(introducer))
            return false;
        if (introducer == 0x21) { // extension: its label, then sub-blocks
            if (!skip(1) || !skipSubBlocks())
                return false;
        } else if (introducer == 0x2c) { // image: descriptor, colour table, code size, data
            const QByteArray descriptor = file.read(9);
            return descriptor.size() == 9 && skipColourTable(uchar(descriptor[8])) && skip(1) && skipSubBlocks();
        } else {
            return false; // the trailer before any image, or garbage
        }
    }
}

std::optional<DecodedImage> loadImage(const QString &filePath, int drawnSide)
{
    raiseAllocationLimitOnce();

    // Only a regular file (or a link to one) is read: opening a named pipe
    // waits for a writer forever, and a device can be endless.
    if (!QFileInfo(filePath).isFile())
        return std::nullopt;

    QImageReader reader(filePath);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    if (!reader.canRead())
        return std::nullopt;

    // The header's size, before orientation. Every format we take declares
    // one; should a decoder not, the allocation limit still bounds it.
    QSize stored = reader.size();
    if (reader.format() == "gif") {
        if (const QSize screen = gifScreenSize(filePath); screen.isValid())
            stored = screen;
    }
    if (stored.isValid()
        && (stored.isEmpty() || qint64(stored.width()) * stored.height() > kMaxPixels))
        return std::nullopt;

    const bool jpeg = reader.format() == "jpeg";
    if (jpeg && !jpegIsComplete(filePath))
        return std::nullopt;
    if (reader.format() == "gif" && !gifIsComplete(filePath))
        return std::nullopt;

    const bool quarterTurn = reader.transformation() & QImageIOHandler::TransformationRotate90;
    int reduction = 1;
    if (jpeg && stored.isValid())
        reduction = jpegReduction(stored, drawnSide);
    if (stored.isValid()
        && qint64(stored.width() / reduction) * (stored.height() / reduction) > kMaxDecodedPixels)
        return std::nullopt;
    if (reduction > 1) {
        // Qt's JPEG reader asks libjpeg for the DCT scaling that the ratio of
        // the clip rectangle to the scaled size calls for, then resamples
        // libjpeg's output to the exact scaled size. Clipping to whole
        // multiples of the reduction makes the ratio exact, so libjpeg's
        // pixels arrive untouched; only the partial block at the right and
        // bottom edges, less than `reduction` pixels, is dropped.
        const QSize reduced(stored.width() / reduction, stored.height() / reduction);
        reader.setClipRect(QRect(QPoint(0, 0), reduced * reduction));
        reader.setScaledSize(reduced);
    }

    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;

    DecodedImage decoded;
    decoded.size = stored.isValid() ? QSizeF(quarterTurn ? stored.transposed() : stored) : QSizeF(image.size());
    const QSizeF expected = decoded.size / reduction;
    // Measured in decoded pixels the picture is size / reduction, slightly
    // more than the image when pixels were dropped. Should a decoder ever
    // return another size, take the image as the whole picture.
    const bool asExpected = std::abs(image.width() - expected.width()) < 1.0
        && std::abs(image.height() - expected.height()) < 1.0;
    decoded.extent = asExpected ? expected : QSizeF(image.size());
    decoded.image = std::move(image);
    return decoded;
}

} // namespace imaging
