#include "imaging/PngEncoder.h"

#include <QThread>

#include <zlib.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

namespace imaging {

namespace {

constexpr int kBytesPerPixel = 4;
constexpr size_t kWindow = 32768; // deflate's history window

enum Filter : uchar { None, Sub, Up, Average, Paeth };

uchar paethPredictor(int a, int b, int c)
{
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    return uchar(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

/** row filtered with filter against the row above it (zeros for the first row). */
void applyFilter(Filter filter, const uchar *row, const uchar *above, size_t length, uchar *out)
{
    // The first pixel has nothing to its left: the left and upper-left bytes count as 0.
    constexpr size_t bpp = kBytesPerPixel;
    switch (filter) {
    case None:
        std::memcpy(out, row, length);
        break;
    case Sub:
        std::memcpy(out, row, bpp);
        for (size_t i = bpp; i < length; ++i)
            out[i] = uchar(row[i] - row[i - bpp]);
        break;
    case Up:
        for (size_t i = 0; i < length; ++i)
            out[i] = uchar(row[i] - above[i]);
        break;
    case Average:
        for (size_t i = 0; i < bpp; ++i)
            out[i] = uchar(row[i] - (above[i] >> 1));
        for (size_t i = bpp; i < length; ++i)
            out[i] = uchar(row[i] - ((row[i - bpp] + above[i]) >> 1));
        break;
    case Paeth:
        for (size_t i = 0; i < bpp; ++i)
            out[i] = uchar(row[i] - above[i]);
        for (size_t i = bpp; i < length; ++i)
            out[i] = uchar(row[i] - paethPredictor(row[i - bpp], above[i], above[i - bpp]));
        break;
    }
}

/** The filter choice heuristic: bytes read as signed, summed as magnitudes. */
unsigned long magnitude(const uchar *bytes, size_t length)
{
    unsigned long sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += bytes[i] < 128 ? bytes[i] : 256 - bytes[i];
    return sum;
}

/** The image data as PNG stores it before compression: per row a filter byte and the filtered RGBA bytes. */
std::vector<uchar> filteredRows(const QImage &image)
{
    const int width = image.width();
    const size_t length = size_t(width) * kBytesPerPixel;
    std::vector<uchar> out(size_t(image.height()) * (length + 1));
    std::vector<uchar> row(length), above(length, 0);
    std::array<std::vector<uchar>, 5> candidates;
    for (auto &candidate : candidates)
        candidate.resize(length);

    for (int y = 0; y < image.height(); ++y) {
        const auto *pixels = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            uchar *rgba = &row[size_t(x) * kBytesPerPixel];
            rgba[0] = uchar(qRed(pixels[x]));
            rgba[1] = uchar(qGreen(pixels[x]));
            rgba[2] = uchar(qBlue(pixels[x]));
            rgba[3] = uchar(qAlpha(pixels[x]));
        }
        int best = None;
        unsigned long bestSum = ~0ul;
        for (int f = None; f <= Paeth; ++f) {
            applyFilter(Filter(f), row.data(), above.data(), length, candidates[f].data());
            const unsigned long sum = magnitude(candidates[f].data(), length);
            if (sum < bestSum) {
                bestSum = sum;
                best = f;
            }
        }
        uchar *dst = &out[size_t(y) * (length + 1)];
        dst[0] = uchar(best);
        std::memcpy(dst + 1, candidates[best].data(), length);
        std::swap(row, above);
    }
    return out;
}

/**
 * Compresses data[begin, end) as one piece of a zlib stream. The first
 * piece carries the zlib header; a later one is raw deflate primed with the
 * window before begin. The last piece ends the stream's final block; an
 * earlier one ends on a byte boundary (sync flush) so the next can follow.
 * Returns false when zlib fails.
 */
bool compressPiece(const std::vector<uchar> &data, size_t begin, size_t end, bool last, std::vector<uchar> &out)
{
    const bool first = begin == 0;
    z_stream stream = {};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, first ? 15 : -15, 8, Z_FILTERED) != Z_OK)
        return false;
    if (!first) {
        const size_t dictionary = std::min(begin, kWindow);
        deflateSetDictionary(&stream, data.data() + begin - dictionary, uInt(dictionary));
    }
    out.resize(deflateBound(&stream, uLong(end - begin)) + 16);
    stream.next_in = const_cast<Bytef *>(data.data() + begin);
    stream.avail_in = uInt(end - begin);
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    const bool ok = (last ? result == Z_STREAM_END : result == Z_OK) && stream.avail_in == 0;
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return ok;
}

void appendBigEndian32(QByteArray &out, quint32 value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

void appendChunk(QByteArray &out, const char *type, const QByteArray &data)
{
    appendBigEndian32(out, quint32(data.size()));
    const qsizetype typeAt = out.size();
    out.append(type, 4);
    out.append(data);
    const auto *crcStart = reinterpret_cast<const Bytef *>(out.constData() + typeAt);
    appendBigEndian32(out, quint32(crc32(0, crcStart, uInt(out.size() - typeAt))));
}

} // namespace

QByteArray encodePng(const QImage &image)
{
    if (image.format() != QImage::Format_ARGB32 || image.isNull())
        return {};
    const std::vector<uchar> data = filteredRows(image);

    // Split at a row boundary near the middle; a one-row image is one piece.
    const size_t rowBytes = data.size() / size_t(image.height());
    const size_t middle = size_t(image.height() / 2) * rowBytes;
    std::vector<uchar> head, tail;
    bool headOk = true;
    bool tailOk = true;
    if (middle == 0) {
        headOk = compressPiece(data, 0, data.size(), true, head);
    } else {
        const auto compressTail = [&] { tailOk = compressPiece(data, middle, data.size(), true, tail); };
        std::thread worker;
        if (QThread::idealThreadCount() > 1) {
            try {
                worker = std::thread(compressTail);
            } catch (const std::system_error &) {
                // no thread to be had: compress both pieces here
            }
        }
        headOk = compressPiece(data, 0, middle, false, head);
        if (worker.joinable())
            worker.join();
        else
            compressTail();
    }
    if (!headOk || !tailOk)
        return {};

    QByteArray idat;
    idat.reserve(qsizetype(head.size() + tail.size() + 4));
    idat.append(reinterpret_cast<const char *>(head.data()), qsizetype(head.size()));
    if (middle != 0) {
        // A single piece carries zlib's own trailer; a split one gets it here.
        idat.append(reinterpret_cast<const char *>(tail.data()), qsizetype(tail.size()));
        appendBigEndian32(idat, quint32(adler32(adler32(0, nullptr, 0), data.data(), uInt(data.size()))));
    }

    QByteArray header;
    appendBigEndian32(header, quint32(image.width()));
    appendBigEndian32(header, quint32(image.height()));
    header.append("\x08\x06\x00\x00\x00", 5); // 8 bits, RGBA, deflate, adaptive filters, no interlace

    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png.reserve(idat.size() + 64);
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", idat);
    appendChunk(png, "IEND", {});
    return png;
}

} // namespace imaging
