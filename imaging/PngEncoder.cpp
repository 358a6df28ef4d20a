#include "imaging/PngEncoder.h"

#include <QThread>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
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

/** Row y of image as RGBA bytes. */
void rgbaRow(const QImage &image, int y, uchar *out)
{
    const auto *pixels = reinterpret_cast<const QRgb *>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) {
        out[4 * x] = uchar(qRed(pixels[x]));
        out[4 * x + 1] = uchar(qGreen(pixels[x]));
        out[4 * x + 2] = uchar(qBlue(pixels[x]));
        out[4 * x + 3] = uchar(qAlpha(pixels[x]));
    }
}

/**
 * Rows [firstRow, endRow) as PNG stores them before compression: per row a
 * filter byte and the filtered RGBA bytes, written to their place in out.
 */
void filterRows(const QImage &image, int firstRow, int endRow, std::vector<uchar> &out)
{
    const size_t length = size_t(image.width()) * kBytesPerPixel;
    std::vector<uchar> row(length), above(length, 0);
    if (firstRow > 0)
        rgbaRow(image, firstRow - 1, above.data());
    std::array<std::vector<uchar>, 5> candidates;
    for (auto &candidate : candidates)
        candidate.resize(length);

    for (int y = firstRow; y < endRow; ++y) {
        rgbaRow(image, y, row.data());
        uchar *dst = &out[size_t(y) * (length + 1)];
        // A row of zeros, as in the transparent bands, scores 0 unfiltered,
        // the best score, and None is the first filter tried.
        if (std::all_of(row.begin(), row.end(), [](uchar b) { return b == 0; })) {
            dst[0] = None;
            std::memset(dst + 1, 0, length);
            std::swap(row, above);
            continue;
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
        dst[0] = uchar(best);
        std::memcpy(dst + 1, candidates[best].data(), length);
        std::swap(row, above);
    }
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

/** One half of the image: its rows, their compressed bytes and their checksum. */
struct Piece
{
    int firstRow = 0;
    int endRow = 0;
    std::vector<uchar> compressed;
    uLong adler = 0;
    bool ok = false;
};

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
    const size_t rowBytes = size_t(image.width()) * kBytesPerPixel + 1;
    std::vector<uchar> data(size_t(image.height()) * rowBytes);

    // Each half filters its own rows, then compresses them. The second half
    // compresses with the first half's last rows as its dictionary, so it
    // waits until they are filtered. A one-row image is one piece.
    const int middle = image.height() / 2;
    Piece head;
    head.endRow = middle;
    Piece tail;
    tail.firstRow = middle;
    tail.endRow = image.height();
    std::latch headFiltered(1);
    const auto run = [&](Piece &piece, bool last) {
        filterRows(image, piece.firstRow, piece.endRow, data);
        const size_t begin = size_t(piece.firstRow) * rowBytes;
        const size_t end = size_t(piece.endRow) * rowBytes;
        if (&piece == &head)
            headFiltered.count_down();
        else
            headFiltered.wait();
        piece.adler = adler32(adler32(0, nullptr, 0), data.data() + begin, uInt(end - begin));
        piece.ok = compressPiece(data, begin, end, last, piece.compressed);
    };

    if (middle == 0) {
        headFiltered.count_down();
        run(tail, true);
        if (!tail.ok)
            return {};
    } else {
        std::thread worker;
        if (QThread::idealThreadCount() > 1) {
            try {
                worker = std::thread(run, std::ref(tail), true);
            } catch (const std::system_error &) {
                // no thread to be had: both halves run here
            }
        }
        run(head, false);
        if (worker.joinable())
            worker.join();
        else
            run(tail, true);
        if (!head.ok || !tail.ok)
            return {};
    }

    QByteArray idat;
    idat.reserve(qsizetype(head.compressed.size() + tail.compressed.size() + 4));
    idat.append(reinterpret_cast<const char *>(head.compressed.data()), qsizetype(head.compressed.size()));
    idat.append(reinterpret_cast<const char *>(tail.compressed.data()), qsizetype(tail.compressed.size()));
    if (middle != 0) {
        // A single piece carries zlib's own trailer; a split stream gets it here.
        const uLong tailLength = uLong(tail.endRow - tail.firstRow) * rowBytes;
        appendBigEndian32(idat, quint32(adler32_combine(head.adler, tail.adler, z_off_t(tailLength))));
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
