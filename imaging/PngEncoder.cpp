#include "imaging/PngEncoder.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace imaging {

namespace {

constexpr int kBytesPerPixel = 4; // of the image given

/**
 * How the PNG stores a pixel: as RGBA, or as grey and alpha when every
 * pixel of the picture is grey, which halves what is filtered and
 * compressed. Either keeps the alpha channel.
 */
struct Layout
{
    int bytesPerPixel = 4;
    char colourType = 6; // 6 RGBA, 4 grey and alpha
};
constexpr int kDeflateLevel = 6;

/** The memory libdeflate's compressor and zlib's take, with room to spare. */
constexpr qint64 kCompressorBytes = 2 * 1024 * 1024;

enum Filter : uchar { None, Sub, Up, Average, Paeth };

/**
 * The filters tried on a row that is not blank. None is left out: it
 * rarely wins such a row (on the benchmark set, never).
 */
constexpr std::array<Filter, 4> kCandidates = {Sub, Up, Average, Paeth};

/**
 * Sixteen bytes, filtered all at once in wrapping byte arithmetic as PNG
 * defines it. A GCC/Clang vector extension, which compiles to SIMD
 * instructions on every target.
 */
using Bytes = uint8_t __attribute__((vector_size(16)));
using Counts = uint16_t __attribute__((vector_size(16)));
constexpr size_t kLanes = sizeof(Bytes);

Bytes load(const uchar *bytes)
{
    Bytes v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

/** |x - y| of unsigned bytes. */
Bytes distance(Bytes x, Bytes y)
{
    return (x > y ? x : y) - (x < y ? x : y);
}

/**
 * The Paeth predictor: of a (left), b (up) and c (upper left), the one
 * nearest to a + b - c, ties going to a, then b. The distances pa = |b - c|
 * and pb = |a - c| fit a byte; pc = |(b - c) + (a - c)| is their sum when
 * both differences have the same sign, else the distance between them. A
 * sum past 255 saturates, which keeps every comparison's outcome: pc then
 * exceeds both pa and pb either way.
 */
Bytes paethPredictor(Bytes a, Bytes b, Bytes c)
{
    const Bytes pa = distance(b, c);
    const Bytes pb = distance(a, c);
    const Bytes sum = pa + pb;
    const Bytes saturated = sum < pa ? Bytes{} + 255 : sum;
    const Bytes pc = (b >= c) == (a >= c) ? saturated : distance(pa, pb);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

/** floor((a + b) / 2) without overflow. */
Bytes average(Bytes a, Bytes b)
{
    return (a & b) + ((a ^ b) >> 1);
}

/** A filtered byte read as signed, as a magnitude: libpng's filter choice heuristic. */
Bytes magnitude(Bytes filtered)
{
    const Bytes negated = -filtered;
    return filtered < negated ? filtered : negated;
}

/** The sixteen magnitudes added pairwise into eight 16-bit counts. */
Counts widenedSum(Bytes magnitudes)
{
    const Counts pairs = Counts(magnitudes); // the same bits, read as byte pairs
    return (pairs & 0xff) + (pairs >> 8);
}

/**
 * One row padded for the filters: kPad zero bytes before it, so that the
 * first pixel's left neighbours read as 0, and a lane group of zero bytes
 * after it.
 */
constexpr size_t kPad = 16;

struct RowBuffer
{
    std::vector<uchar> bytes;
    explicit RowBuffer(size_t length)
        : bytes(kPad + length + kLanes, 0)
    {
    }
    uchar *data() { return bytes.data() + kPad; }
};

/**
 * The four candidate filterings of row (filtered against above) into
 * out[0..3], in the order of kCandidates, and per candidate the sum of its
 * bytes' magnitudes. Reads bpp bytes before row and above, and up to a
 * lane group past length; writes up to a lane group past length.
 */
void filterCandidates(const uchar *row, const uchar *above, size_t length, size_t bpp,
                      const std::array<uchar *, 4> &out, std::array<uint64_t, 4> &sums)
{
    sums.fill(0);
    std::array<Counts, 4> counts = {};
    const auto addUp = [&] {
        for (size_t f = 0; f < counts.size(); ++f) {
            for (size_t lane = 0; lane < kLanes / 2; ++lane)
                sums[f] += counts[f][lane];
            counts[f] = Counts{};
        }
    };
    constexpr Bytes laneIndex = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    size_t pending = 0; // iterations added to counts since addUp()
    for (size_t i = 0; i < length; i += kLanes) {
        const Bytes x = load(row + i);
        const Bytes a = load(row + i - bpp);   // left
        const Bytes b = load(above + i);       // up
        const Bytes c = load(above + i - bpp); // upper left
        const std::array<Bytes, 4> filtered = {x - a, x - b, x - average(a, b), x - paethPredictor(a, b, c)};

        // Lanes past the row's end count nothing.
        const Bytes inRow = laneIndex < uint8_t(std::min(length - i, kLanes));
        for (size_t f = 0; f < filtered.size(); ++f) {
            std::memcpy(out[f] + i, &filtered[f], kLanes);
            counts[f] += widenedSum(magnitude(filtered[f]) & inRow);
        }
        // A count gains at most 256 an iteration: add up before 65535.
        if (++pending == 255) {
            addUp();
            pending = 0;
        }
    }
    addUp();
}

/** The number of zero bytes among length bytes. */
uint64_t countZeros(const uchar *bytes, size_t length)
{
    uint64_t zeros = 0;
    size_t i = 0;
    while (i + kLanes <= length) {
        // Each lane counts up to 255 zeros, then the lanes are added up.
        Bytes counts = {};
        for (int n = 0; n < 255 && i + kLanes <= length; ++n, i += kLanes)
            counts -= load(bytes + i) == 0;
        for (size_t lane = 0; lane < kLanes; ++lane)
            zeros += counts[lane];
    }
    for (; i < length; ++i)
        zeros += bytes[i] == 0;
    return zeros;
}

/** Whether all length bytes are 0; no early exit, so that it vectorises. */
bool isBlank(const uchar *bytes, size_t length)
{
    uchar any = 0;
    for (size_t i = 0; i < length; ++i)
        any |= bytes[i];
    return any == 0;
}

/** Pixel x of a row as red, green, blue and alpha: a row of Format_RGBA8888 when rgba, else of Format_ARGB32. */
std::array<uchar, 4> rgbaAt(bool rgba, const uchar *line, int x)
{
    if (rgba)
        return {line[4 * x], line[4 * x + 1], line[4 * x + 2], line[4 * x + 3]};
    QRgb pixel;
    std::memcpy(&pixel, line + 4 * x, sizeof pixel);
    return {uchar(qRed(pixel)), uchar(qGreen(pixel)), uchar(qBlue(pixel)), uchar(qAlpha(pixel))};
}

/** Whether every pixel of image is grey: red, green and blue equal. */
bool isGrey(const QImage &image)
{
    const bool rgba = image.format() == QImage::Format_RGBA8888;
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        const uchar *line = image.constScanLine(y);
        bool grey = true; // no early exit within a row, so that it vectorises
        for (int x = 0; x < width; ++x) {
            const std::array<uchar, 4> p = rgbaAt(rgba, line, x);
            grey &= p[0] == p[1] && p[1] == p[2];
        }
        if (!grey)
            return false;
    }
    return true;
}

/** Row y of image as the layout stores it. */
void layoutRow(const QImage &image, int y, const Layout &layout, uchar *out)
{
    const uchar *line = image.constScanLine(y);
    const bool rgba = image.format() == QImage::Format_RGBA8888;
    const int width = image.width();
    if (layout.bytesPerPixel == 2) {
        for (int x = 0; x < width; ++x) {
            const std::array<uchar, 4> p = rgbaAt(rgba, line, x);
            out[2 * x] = p[0];
            out[2 * x + 1] = p[3];
        }
    } else if (rgba) {
        std::memcpy(out, line, size_t(width) * kBytesPerPixel);
    } else {
        for (int x = 0; x < width; ++x) {
            const std::array<uchar, 4> p = rgbaAt(rgba, line, x);
            std::memcpy(out + 4 * x, p.data(), 4);
        }
    }
}

/** The image as PNG stores it before compression, and what its rows are like. */
struct Filtered
{
    std::unique_ptr<uchar[]> data; // per row a filter byte and the filtered bytes
    size_t size = 0;
    size_t rowBytes = 0;  // the filter byte included
    uint64_t zeros = 0;   // zero bytes in the filtered rows that are not blank
    uint64_t counted = 0; // bytes in those rows
    int firstDrawn = -1;  // the first and the last row that is not blank
    int lastDrawn = -1;
    bool uniform = false; // every row filtered alike
};

/**
 * Share of zero bytes in the filtered rows from which a picture counts as
 * smooth: icons, enlargements and flat colour filter to mostly zeros,
 * nearly all of a photo's colour bytes do not.
 */
constexpr double kSmoothZeroShare = 0.5;

/**
 * Filters every row of image. Per row the filter with the smallest sum of
 * magnitudes wins, as libpng chooses; the first candidate wins a tie. On a
 * smooth picture (judged by the rows so far) Up's sum counts three
 * quarters: its rows repeat the row above's pattern, which deflate turns
 * into long matches, and on enlarged icons that saves more than the sums
 * tell.
 */
Filtered filterRows(const QImage &image, const Layout &layout)
{
    const size_t bpp = size_t(layout.bytesPerPixel);
    const size_t length = size_t(image.width()) * bpp;
    Filtered result;
    result.rowBytes = length + 1;
    result.size = size_t(image.height()) * result.rowBytes;
    result.data = std::make_unique_for_overwrite<uchar[]>(result.size);
    RowBuffer row(length);
    RowBuffer above(length);
    std::array<RowBuffer, 4> candidates = {RowBuffer(length), RowBuffer(length), RowBuffer(length), RowBuffer(length)};
    const std::array<uchar *, 4> out = {candidates[0].data(), candidates[1].data(), candidates[2].data(), candidates[3].data()};
    std::array<uint64_t, 4> sums;
    uint64_t &zeros = result.zeros;
    uint64_t &counted = result.counted;

    for (int y = 0; y < image.height(); ++y) {
        layoutRow(image, y, layout, row.data());
        uchar *dst = result.data.get() + size_t(y) * result.rowBytes;
        // A row of zeros, as in the transparent bands, scores 0 unfiltered,
        // the best score: stored as it is, without trying the filters.
        if (isBlank(row.data(), length)) {
            dst[0] = None;
            std::memset(dst + 1, 0, length);
            std::swap(row, above);
            continue;
        }
        filterCandidates(row.data(), above.data(), length, bpp, out, sums);
        const bool smooth = zeros >= counted * kSmoothZeroShare;
        size_t best = 0;
        uint64_t bestScore = UINT64_MAX;
        for (size_t f = 0; f < kCandidates.size(); ++f) {
            const uint64_t score = sums[f] * (smooth && kCandidates[f] == Up ? 3 : 4);
            if (score < bestScore) {
                bestScore = score;
                best = f;
            }
        }
        dst[0] = kCandidates[best];
        std::memcpy(dst + 1, out[best], length);
        zeros += countZeros(dst + 1, length);
        counted += length;
        if (result.firstDrawn < 0)
            result.firstDrawn = y;
        result.lastDrawn = y;
        std::swap(row, above);
    }
    return result;
}

/**
 * The calling thread's compressor, made on first use and kept for the
 * thread's life, so that its tables are allocated once per thread rather
 * than once per image.
 */
libdeflate_compressor *threadCompressor()
{
    struct Free
    {
        void operator()(libdeflate_compressor *compressor) const { libdeflate_free_compressor(compressor); }
    };
    thread_local const std::unique_ptr<libdeflate_compressor, Free> compressor(libdeflate_alloc_compressor(kDeflateLevel));
    return compressor.get();
}

/**
 * in[0, size) as a zlib stream by libdeflate at level 6, into out from at
 * on, out growing as needed. Returns the stream's size, 0 on failure.
 */
size_t deflateWhole(const uchar *in, size_t size, QByteArray &out, qsizetype at)
{
    libdeflate_compressor *compressor = threadCompressor();
    if (!compressor)
        return 0;
    const size_t bound = libdeflate_zlib_compress_bound(compressor, size);
    out.resize(at + qsizetype(bound));
    return libdeflate_zlib_compress(compressor, in, size, out.data() + at, bound);
}

/**
 * The same by zlib with its run-length strategy: matches only repeat the
 * previous byte. Its largest blocks (memory level 9) come out 0.2% smaller
 * on photos than the default's. Takes less than 4 GB in one call, which is
 * plenty.
 */
size_t deflateRuns(const uchar *in, size_t size, QByteArray &out, qsizetype at)
{
    z_stream stream = {};
    if (size > std::numeric_limits<uInt>::max() / 2
        || deflateInit2(&stream, kDeflateLevel, Z_DEFLATED, 15, 9, Z_RLE) != Z_OK)
        return 0;
    const size_t bound = deflateBound(&stream, uLong(size));
    out.resize(at + qsizetype(bound));
    stream.next_in = const_cast<Bytef *>(in);
    stream.avail_in = uInt(size);
    stream.next_out = reinterpret_cast<Bytef *>(out.data() + at);
    stream.avail_out = uInt(bound);
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    const size_t written = bound - stream.avail_out;
    deflateEnd(&stream);
    return done ? written : 0;
}

/** From this share of zero bytes on, filtered rows are left to libdeflate without a trial. */
constexpr double kSparseZeroShare = 0.9;

/** Consecutive rows compressed both ways to choose the compressor: 64 KB of a 512-pixel canvas. */
constexpr int kTrialRows = 32;

/** The first and the number of the rows a trial compresses: kTrialRows from the middle of the drawn ones. */
std::pair<int, int> trialRows(const Filtered &filtered)
{
    const int rows = filtered.rowBytes ? int(filtered.size / filtered.rowBytes) : 0;
    const int middle = (filtered.firstDrawn + filtered.lastDrawn) / 2;
    const int first = std::clamp(middle - kTrialRows / 2, 0, std::max(0, rows - kTrialRows));
    return {first, std::min(kTrialRows, rows)};
}

/** Blocks of consecutive rows, and rows a block, that the trial of uniform filtering compresses. */
constexpr int kRawTrialBlocks = 8;
constexpr int kRawTrialBlockRows = 8;

/** How the rows are filtered: each its own way, all unfiltered, or all by Up. */
enum class Rows { Adaptive, Raw, Up };

/**
 * How much smaller unfiltered rows must come out of the trial than either
 * filtering to be chosen. Where the trial finds them about even, the whole
 * picture has so far always favoured the filters.
 */
constexpr double kRawMargin = 0.08;

/** Row y of image filtered as rows says (Raw or Up) into out, its filter byte first. */
void uniformRow(const QImage &image, const Layout &layout, Rows rows, int y, uchar *out, std::vector<uchar> &above)
{
    const size_t length = size_t(image.width()) * size_t(layout.bytesPerPixel);
    out[0] = rows == Rows::Up ? Up : None;
    layoutRow(image, y, layout, out + 1);
    if (rows != Rows::Up)
        return;
    above.resize(length);
    if (y == 0)
        std::fill(above.begin(), above.end(), uchar(0));
    else
        layoutRow(image, y - 1, layout, above.data());
    for (size_t i = 0; i < length; ++i)
        out[1 + i] = uchar(out[1 + i] - above[i]);
}

/** Every row of image filtered as rows says (Raw or Up). */
Filtered uniformRows(const QImage &image, const Layout &layout, Rows rows)
{
    Filtered result;
    result.rowBytes = size_t(image.width()) * size_t(layout.bytesPerPixel) + 1;
    result.size = size_t(image.height()) * result.rowBytes;
    result.data = std::make_unique_for_overwrite<uchar[]>(result.size);
    std::vector<uchar> above;
    for (int y = 0; y < image.height(); ++y)
        uniformRow(image, layout, rows, y, result.data.get() + size_t(y) * result.rowBytes, above);
    result.uniform = true;
    return result;
}

/**
 * Whether the rows compress smaller unfiltered, or all filtered by Up, than
 * each filtered its own way. Deflate matches whole runs of raw pixels, also
 * from the rows above, which on pictures that repeat themselves (flat and
 * slightly enlarged icons) beats the residues of any filter; on large
 * enlargements Up's residues repeat the row above's and beat the per-row
 * choice, whose sums cannot see that; on photos the per-row choice wins.
 * Only smooth pictures, whose filtered rows are mostly zeros, are tried: on
 * blocks of rows spread over the drawn ones, since an icon's edges, where
 * the three differ most, are seldom in its middle. Choosing costs three
 * compressions of 64 rows; compressing the whole picture each way would
 * cost three of 512.
 */
Rows chooseRows(const QImage &image, const Layout &layout, const Filtered &filtered)
{
    if (filtered.counted == 0 || filtered.zeros < filtered.counted * kSmoothZeroShare)
        return Rows::Adaptive;
    const int drawn = filtered.lastDrawn - filtered.firstDrawn + 1;
    const int blockRows = std::min(kRawTrialBlockRows, drawn);
    const int blocks = std::min(kRawTrialBlocks, drawn / blockRows);
    const size_t sampleSize = size_t(blocks) * blockRows * filtered.rowBytes;
    std::array<std::vector<uchar>, 3> samples;
    for (std::vector<uchar> &sample : samples)
        sample.resize(sampleSize);
    std::vector<uchar> above;
    for (int b = 0; b < blocks; ++b) {
        const int first = filtered.firstDrawn + int(qint64(drawn - blockRows) * b / std::max(1, blocks - 1));
        for (int k = 0; k < blockRows; ++k) {
            const size_t at = (size_t(b) * blockRows + size_t(k)) * filtered.rowBytes;
            std::memcpy(&samples[0][at], filtered.data.get() + size_t(first + k) * filtered.rowBytes, filtered.rowBytes);
            uniformRow(image, layout, Rows::Raw, first + k, &samples[1][at], above);
            uniformRow(image, layout, Rows::Up, first + k, &samples[2][at], above);
        }
    }
    QByteArray trial;
    std::array<double, 3> sizes;
    for (size_t i = 0; i < samples.size(); ++i) {
        const size_t size = deflateWhole(samples[i].data(), sampleSize, trial, 0);
        sizes[i] = size ? double(size) : std::numeric_limits<double>::max();
    }
    const auto [adaptive, raw, up] = sizes;
    if (raw < (1 - kRawMargin) * std::min(adaptive, up))
        return Rows::Raw;
    return up < adaptive ? Rows::Up : Rows::Adaptive;
}

/**
 * filtered as a zlib stream in out from at on, out growing as needed; the
 * stream's size, or 0 when compression fails.
 *
 * libdeflate at level 6 is three to eight times as fast as zlib at the same
 * level and as small or smaller on icons, enlargements, flat colour and
 * regular patterns, where long matches pay. On photos every fast libdeflate
 * level stays 2 to 6% above zlib's filtered strategy, since short matches
 * cost more bits than the bytes they replace; zlib's run-length strategy is
 * smaller than both there, and faster still. (Plain Huffman coding, with no
 * matches at all, is smaller still on a few photos, but the rows of a trial
 * cannot tell which: it came out 10% larger on others.) Which kind a
 * picture is, 32 consecutive rows from its middle tell, compressed both
 * ways; rows that are nearly all zeros go to libdeflate without asking.
 */
size_t compress(const Filtered &filtered, QByteArray &out, qsizetype at)
{
    const uchar *data = filtered.data.get();
    if (filtered.uniform || filtered.counted == 0 || filtered.zeros >= filtered.counted * kSparseZeroShare)
        return deflateWhole(data, filtered.size, out, at);

    const auto [first, count] = trialRows(filtered);
    const uchar *sample = data + size_t(first) * filtered.rowBytes;
    const size_t sampleSize = size_t(count) * filtered.rowBytes;
    QByteArray trial;
    const size_t whole = deflateWhole(sample, sampleSize, trial, 0);
    const size_t runs = deflateRuns(sample, sampleSize, trial, 0);
    if (runs != 0 && runs < whole) {
        if (const size_t written = deflateRuns(data, filtered.size, out, at))
            return written;
    }
    return deflateWhole(data, filtered.size, out, at);
}

void appendBigEndian32(QByteArray &out, quint32 value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

/** The CRC of the chunk whose type starts at typeAt and whose data ends out, appended. */
void appendChunkCrc(QByteArray &out, qsizetype typeAt)
{
    appendBigEndian32(out, quint32(libdeflate_crc32(0, out.constData() + typeAt, size_t(out.size() - typeAt))));
}

void appendChunk(QByteArray &out, const char *type, const QByteArray &data)
{
    appendBigEndian32(out, quint32(data.size()));
    const qsizetype typeAt = out.size();
    out.append(type, 4);
    out.append(data);
    appendChunkCrc(out, typeAt);
}

} // namespace

qint64 encodePngWorkingBytes(const QSize &size)
{
    // Two sets of filtered rows (a uniform filtering is made before the
    // per-row one is let go) or one and the result (with room for
    // incompressible data), six row buffers, the trials' samples and
    // output, and the compressors kept per thread.
    const qint64 rowBytes = qint64(size.width()) * kBytesPerPixel + 1;
    const qint64 filtered = qint64(size.height()) * rowBytes;
    const qint64 rows = 6 * (rowBytes + qint64(2 * kLanes + kPad));
    const qint64 trials = (3 * kRawTrialBlocks * kRawTrialBlockRows + 2 * kTrialRows) * rowBytes;
    return 2 * filtered + filtered / 64 + rows + trials + kCompressorBytes;
}

QByteArray encodePng(const QImage &image)
{
    if ((image.format() != QImage::Format_ARGB32 && image.format() != QImage::Format_RGBA8888) || image.isNull())
        return {};
    try {
        Layout layout;
        if (isGrey(image))
            layout = {2, 4};
        Filtered filtered = filterRows(image, layout);
        const Rows rows = chooseRows(image, layout, filtered);
        if (rows != Rows::Adaptive)
            filtered = uniformRows(image, layout, rows);

        QByteArray header;
        appendBigEndian32(header, quint32(image.width()));
        appendBigEndian32(header, quint32(image.height()));
        header.append('\x08'); // 8 bits a sample
        header.append(layout.colourType);
        header.append("\x00\x00\x00", 3); // deflate, adaptive filters, no interlace

        QByteArray png("\x89PNG\r\n\x1a\n", 8);
        appendChunk(png, "IHDR", header);
        // The IDAT chunk, compressed straight into place; its length is filled in after.
        const qsizetype lengthAt = png.size();
        appendBigEndian32(png, 0);
        png.append("IDAT", 4);
        const size_t compressed = compress(filtered, png, lengthAt + 8);
        if (compressed == 0 || compressed > 0x7fffffffu)
            return {};
        png.resize(lengthAt + 8 + qsizetype(compressed));
        for (int i = 0; i < 4; ++i)
            png[lengthAt + i] = char(compressed >> (24 - 8 * i));
        appendChunkCrc(png, lengthAt + 4);
        appendChunk(png, "IEND", {});
        png.squeeze(); // room was made for incompressible data
        return png;
    } catch (const std::bad_alloc &) {
        return {};
    }
}

} // namespace imaging
