#include "imaging/PngDecode.h"

#include <QScopeGuard>
#include <QtEndian>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

namespace imaging {

namespace {

/** libpng's default limit on either side; larger headers are refused as libpng refuses them. */
constexpr quint32 kMaxSide = 1'000'000;

/** Bytes the unfilter and conversion loops may read or write past a row's end. */
constexpr size_t kSlack = 16;

/**
 * How far ahead of a row's place in the picture its filtered bytes must lie
 * for it to be unfiltered in place: the loops write a whole vector of 8
 * bytes for each pixel, which must not reach bytes not yet read.
 */
constexpr size_t kInPlaceGap = 8;

/** Rows up to this long are unfiltered several at a time where all are Paeth's (unpaethRows()). */
constexpr size_t kPaethRowBytes = 64 * 1024;

/** Bytes of a row unfiltered at a time where it cannot be done in place. */
constexpr size_t kChunkBytes = 12 * 1024; // whole pixels of 1, 2, 3, 4, 6 and 8 bytes

/** More than an inflater holds: libdeflate's decompressor, or zlib's state and its 32 KB window. */
constexpr qint64 kInflaterBytes = 64 * 1024;

quint32 bigEndian32(const char *p)
{
    return qFromBigEndian<quint32>(p);
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isCritical(const PngChunk &chunk)
{
    return chunk.type[0] >= 'A' && chunk.type[0] <= 'Z';
}

// Undoing the row filters. cur and prev have bpp zero bytes before them
// (the pixels left of the row) and kSlack spare bytes after them.
// Pixels are handled whole, in vectors of the next power of two of bytes,
// so the byte after a 3-byte pixel is written too, and later overwritten.
// Eight lanes whatever the pixel size: the compiler keeps them in one SSE
// register, where smaller vectors would be taken apart lane by lane.
using Bytes8 = quint8 __attribute__((vector_size(8)));
using Words8 = qint16 __attribute__((vector_size(16)));

template <typename V> V loadVector(const quint8 *p)
{
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename V> void storeVector(quint8 *p, V v)
{
    std::memcpy(p, &v, sizeof v);
}

// Always inlined, so that no call passes a 32-byte vector (unpaethRows()),
// whose calling convention differs with and without AVX; GCC warns of it
// all the same, for the whole file.
#pragma GCC diagnostic ignored "-Wpsabi"
template <typename Words> [[gnu::always_inline]] inline Words absolute(Words v)
{
    const Words negated = -v;
    return v > negated ? v : negated;
}

/** The Paeth predictor of left a, above b and above-left c, lane by lane. */
template <typename Words> [[gnu::always_inline]] inline Words paeth(Words a, Words b, Words c)
{
    const Words bc = b - c;
    const Words ac = a - c;
    const Words pa = absolute(bc);
    const Words pb = absolute(ac);
    const Words pc = absolute(bc + ac);
    return ((pa <= pb) & (pa <= pc)) ? a : (pb <= pc ? b : c);
}

/** Filters 1 to 4 (Sub, Up, Average, Paeth) of a row of n bytes, bpp bytes a pixel, vectorised per pixel. */
template <int Bpp>
[[gnu::always_inline]] inline void unfilterPixels(int filter, const quint8 *raw, const quint8 *prev, quint8 *cur, size_t n)
{
    using B = Bytes8;
    using W = Words8;
    switch (filter) {
    case 1:
        for (size_t i = 0; i < n; i += Bpp)
            storeVector(cur + i, B(loadVector<B>(raw + i) + loadVector<B>(cur + i - Bpp)));
        break;
    case 3:
        for (size_t i = 0; i < n; i += Bpp) {
            const W left = __builtin_convertvector(loadVector<B>(cur + i - Bpp), W);
            const W up = __builtin_convertvector(loadVector<B>(prev + i), W);
            storeVector(cur + i, B(loadVector<B>(raw + i) + __builtin_convertvector(W((left + up) >> 1), B)));
        }
        break;
    case 4: {
        W a = __builtin_convertvector(loadVector<B>(cur - Bpp), W);
        W c = __builtin_convertvector(loadVector<B>(prev - Bpp), W);
        for (size_t i = 0; i < n; i += Bpp) {
            const W b = __builtin_convertvector(loadVector<B>(prev + i), W);
            const W x = __builtin_convertvector(loadVector<B>(raw + i), W);
            a = W(x + paeth(a, b, c)) & 0xff;
            c = b;
            storeVector(cur + i, __builtin_convertvector(a, B));
        }
        break;
    }
    }
}

/** The same, a byte at a time, for 1 and 2 bytes a pixel. */
[[gnu::always_inline]] inline void unfilterBytes(int filter, int bpp, const quint8 *raw, const quint8 *prev, quint8 *cur, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const int a = cur[ptrdiff_t(i) - bpp];
        const int b = prev[i];
        const int c = prev[ptrdiff_t(i) - bpp];
        int predicted = a;
        if (filter == 3) {
            predicted = (a + b) >> 1;
        } else if (filter == 4) {
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        }
        cur[i] = quint8(raw[i] + predicted);
    }
}

// The unfilter loops are also built for AVX2 (x86-64-v3), picked when the
// program loads on a processor that has it: its absolute value, minimum and
// blend instructions take a third off Paeth, the filter of most photos.
#if defined(__x86_64__) && defined(__GNUC__)
#define VELK_UNFILTER_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VELK_UNFILTER_CLONES
#endif

/**
 * Undoes filter on a row of n bytes; false for an unknown filter type. cur
 * may lie before raw in the same buffer, at least kInPlaceGap bytes before
 * (or exactly at it for None), as the rows unfiltered in place do.
 */
VELK_UNFILTER_CLONES
bool unfilter(int filter, int bpp, const quint8 *raw, const quint8 *prev, quint8 *cur, size_t n)
{
    if (filter == 0) {
        std::memmove(cur, raw, n);
        return true;
    }
    if (filter == 2) {
        for (size_t i = 0; i < n; ++i)
            cur[i] = quint8(raw[i] + prev[i]);
        return true;
    }
    if (filter > 4)
        return false;
    switch (bpp) {
    case 3: unfilterPixels<3>(filter, raw, prev, cur, n); break;
    case 4: unfilterPixels<4>(filter, raw, prev, cur, n); break;
    case 6: unfilterPixels<6>(filter, raw, prev, cur, n); break;
    case 8: unfilterPixels<8>(filter, raw, prev, cur, n); break;
    default: unfilterBytes(filter, bpp, raw, prev, cur, n); break;
    }
    return true;
}

/** Rows undone together by unpaethRows(). */
constexpr int kPaethRows = 4;

/**
 * kPaethRows rows that are all filtered by Paeth, 3 or 4 bytes a pixel,
 * undone together as a wavefront: each row a pixel behind the one above
 * it, whose pixels it predicts from. Each pixel of a Paeth row waits for
 * the one left of it, so a row at a time leaves the processor idle most of
 * the time; here one vector holds a pixel of each row, four lanes of 16
 * bits apiece, and a step makes all four. Left of the rows are zeros;
 * above is the row above the first; rows[k] are the rows' filtered bytes
 * and out[k] where their pixels go. Pixels of 3 bytes are written as 4, the
 * fourth overwritten by the next pixel or past the row's end.
 */
template <int Bpp>
[[gnu::always_inline]] inline void unpaethRows(const quint8 *const *rows, const quint8 *above, quint8 *const *out, size_t n)
{
    using Words = qint16 __attribute__((vector_size(32)));
    using Bytes = quint8 __attribute__((vector_size(16)));
    const size_t pixels = n / Bpp;
    const auto pixelAt = [](const quint8 *row, size_t i) {
        quint32 v;
        std::memcpy(&v, row + i * Bpp, sizeof v);
        return v;
    };
    Words a = {}; // each row's pixel left of the one being made
    Words bLeft = {}; // the pixel above that, each row's upper left
    // Step i: row k makes its pixel i - k. Rows not yet started, or done,
    // take zeros and write nothing; that happens only in the first and last
    // kPaethRows - 1 steps (edge).
    const auto step = [&](size_t i, auto edge) {
        const auto active = [&](int k) { return !edge || (i >= size_t(k) && i - k < pixels); };
        quint32 filtered[kPaethRows];
        for (int k = 0; k < kPaethRows; ++k)
            filtered[k] = active(k) ? pixelAt(rows[k], i - k) : 0;
        const quint32 top = !edge || i < pixels ? pixelAt(above, i) : 0;
        Bytes xBytes, topBytes = {};
        std::memcpy(&xBytes, filtered, sizeof xBytes);
        std::memcpy(&topBytes, &top, sizeof top);
        const Words x = __builtin_convertvector(xBytes, Words);
        // Each row's upper neighbour is the pixel the row above made last step.
        const Words b = __builtin_shufflevector(a, __builtin_convertvector(topBytes, Words), 16, 17, 18, 19, 0, 1, 2,
                                                3, 4, 5, 6, 7, 8, 9, 10, 11);
        a = Words(x + paeth(a, b, bLeft)) & 0xff;
        bLeft = b;
        const Bytes made = __builtin_convertvector(a, Bytes);
        for (int k = 0; k < kPaethRows; ++k) {
            if (active(k))
                std::memcpy(out[k] + (i - k) * Bpp, reinterpret_cast<const quint8 *>(&made) + 4 * k, 4);
        }
    };
    const size_t started = std::min<size_t>(kPaethRows - 1, pixels);
    size_t i = 0;
    for (; i < started; ++i)
        step(i, std::true_type());
    for (; i < pixels; ++i)
        step(i, std::false_type());
    for (; i < pixels + kPaethRows - 1; ++i)
        step(i, std::true_type());
}

/** unpaethRows() for 3 bytes a pixel, else 4: the only sizes undone as a wavefront. */
VELK_UNFILTER_CLONES
void unpaethRows(int bpp, const quint8 *const *rows, const quint8 *above, quint8 *const *out, size_t n)
{
    if (bpp == 3)
        unpaethRows<3>(rows, above, out, n);
    else
        unpaethRows<4>(rows, above, out, n);
}

quint16 sample16(const quint8 *p)
{
    return quint16(p[0] << 8 | p[1]);
}

/** An Adam7 pass: the first column and row it covers, and its steps across and down. */
struct Pass
{
    int x0;
    int y0;
    int dx;
    int dy;
};
constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

/** The columns (or rows) of size that a pass starting at start with step step covers. */
int passExtent(int size, int start, int step)
{
    return size > start ? (size - start + step - 1) / step : 0;
}

/** A pass's row of count pixels, Bytes bytes each, into its places in the picture's line. */
template <int Bytes>
void scatter(const uchar *pixels, uchar *line, int count, const Pass &pass)
{
    for (int i = 0; i < count; ++i)
        std::memcpy(line + size_t(pass.x0 + i * pass.dx) * Bytes, pixels + size_t(i) * Bytes, Bytes);
}

} // namespace

bool PngChunk::crcMatches() const
{
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    return true; // lets a fuzzer's changes reach the pixels
#endif
    const quint32 crc = quint32(libdeflate_crc32(0, data - 4, size_t(length) + 4));
    return crc == bigEndian32(data + length);
}

bool pngChunkAt(QByteArrayView file, qsizetype at, PngChunk &chunk)
{
    if (at + 12 > file.size())
        return false;
    chunk.at = at;
    chunk.length = bigEndian32(file.data() + at);
    chunk.type = file.sliced(at + 4, 4);
    chunk.data = file.data() + at + 8;
    return chunk.length <= 0x7fffffffu && qsizetype(chunk.length) <= file.size() - at - 12
        && std::all_of(chunk.type.begin(), chunk.type.end(), isLetter);
}

bool isPngFile(QByteArrayView file)
{
    return file.startsWith(QByteArrayView("\x89PNG\r\n\x1a\n", 8));
}

PngDecoder::PngDecoder(QByteArrayView file)
{
    PngChunk header;
    if (!isPngFile(file) || !pngChunkAt(file, 8, header) || header.type != "IHDR" || header.length != 13
        || !header.crcMatches())
        return;
    const quint32 width = bigEndian32(header.data);
    const quint32 height = bigEndian32(header.data + 4);
    m_depth = uchar(header.data[8]);
    m_colourType = uchar(header.data[9]);
    const bool subByte = m_depth == 1 || m_depth == 2 || m_depth == 4;
    bool depthAllowed = m_depth == 8 || m_depth == 16; // colour types 2, 4 and 6
    if (m_colourType == 0)
        depthAllowed = depthAllowed || subByte;
    else if (m_colourType == 3)
        depthAllowed = m_depth == 8 || subByte;
    const bool valid = width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide
        && (m_colourType == 0 || m_colourType == 2 || m_colourType == 3 || m_colourType == 4 || m_colourType == 6)
        && depthAllowed && header.data[10] == 0 && header.data[11] == 0
        && (header.data[12] == 0 || header.data[12] == 1);
    if (!valid)
        return;
    m_handles = true;
    m_width = int(width);
    m_height = int(height);
    m_interlaced = header.data[12] == 1;
    m_channels = m_colourType == 2 ? 3 : m_colourType == 4 ? 2 : m_colourType == 6 ? 4 : 1;
    m_bpp = std::max(1, m_channels * m_depth / 8);

    // The chunks up to the first IDAT: PLTE and tRNS are taken, every
    // other ancillary chunk skipped unread.
    bool palette = false;
    bool transparency = false;
    QList<QRgb> colours;
    PngChunk chunk;
    for (qsizetype at = header.next();; at = chunk.next()) {
        if (!pngChunkAt(file, at, chunk) || (isCritical(chunk) && !chunk.crcMatches())) {
            m_damaged = true;
            return;
        }
        if (chunk.type == "IDAT") {
            m_firstIdat = at;
            break;
        }
        if (chunk.type == "PLTE") {
            if (palette) {
                m_damaged = true; // a second PLTE
                return;
            }
            palette = true;
            if (m_colourType == 0 || m_colourType == 4)
                continue; // libpng ignores a palette in a grey image
            if (chunk.length == 0 || chunk.length % 3 != 0 || chunk.length > 3 * 256) {
                m_damaged = m_colourType == 3; // only a suggestion in a colour image
                continue;
            }
            // Entries that no index of the bit depth reaches are dropped, as libpng drops them.
            const quint32 entries = std::min(chunk.length / 3, m_colourType == 3 ? 1u << m_depth : 256u);
            for (quint32 i = 0; i < 3 * entries; i += 3)
                colours.append(qRgb(uchar(chunk.data[i]), uchar(chunk.data[i + 1]), uchar(chunk.data[i + 2])));
        } else if (isCritical(chunk)) {
            m_damaged = true; // IHDR again, IEND before the image data, or unknown
            return;
        } else if (chunk.type == "tRNS" && !transparency && chunk.crcMatches()) {
            // The first one libpng takes: in place, of the right length.
            if (m_colourType == 3 && chunk.length > 0 && chunk.length <= quint32(colours.size())) {
                transparency = true;
                for (quint32 i = 0; i < chunk.length; ++i)
                    colours[i] = (colours[i] & 0xffffff) | quint32(uchar(chunk.data[i])) << 24;
            } else if ((m_colourType == 0 && chunk.length == 2) || (m_colourType == 2 && chunk.length == 6)) {
                m_colourKey = transparency = true;
                for (quint32 i = 0; i < chunk.length / 2; ++i)
                    m_key[i] = sample16(reinterpret_cast<const quint8 *>(chunk.data) + 2 * i);
            }
        }
    }
    if (m_colourType == 3) {
        m_damaged = colours.isEmpty();
        m_palette = colours;
    } else if (m_colourType == 0 && (m_depth < 8 || (m_depth == 8 && m_colourKey))) {
        // Grey levels, spread over 0 to 255; the key is transparent black, as Qt has it.
        const int top = (1 << m_depth) - 1;
        for (int v = 0; v <= top; ++v) {
            const int grey = v * 255 / top;
            m_palette.append(m_colourKey && v == m_key[0] ? qRgba(0, 0, 0, 0) : qRgb(grey, grey, grey));
        }
    }
}

QImage::Format PngDecoder::format() const
{
    const bool deep = m_depth == 16;
    switch (m_colourType) {
    case 0:
        return deep ? (m_colourKey ? QImage::Format_RGBA64 : QImage::Format_Grayscale16)
                    : (m_colourKey || m_depth < 8 ? QImage::Format_Indexed8 : QImage::Format_Grayscale8);
    case 2:
        return deep ? (m_colourKey ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
                    : (m_colourKey ? QImage::Format_ARGB32 : QImage::Format_RGB888);
    case 3:
        return QImage::Format_Indexed8;
    case 4:
        return deep ? QImage::Format_RGBA64 : QImage::Format_ARGB32;
    default:
        return deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888;
    }
}

size_t PngDecoder::packedBytes(int count) const
{
    return (size_t(count) * size_t(m_channels * m_depth) + 7) / 8;
}

size_t PngDecoder::lineBytes() const
{
    return (size_t(m_width) * size_t(QImage::toPixelFormat(format()).bitsPerPixel()) + 31) / 32 * 4;
}

bool PngDecoder::unfiltersInPlace() const
{
    // The formats whose pixels are the unfiltered bytes as they are: 8-bit
    // grey, RGB and RGBA, and 8-bit palette indices.
    return !m_interlaced && m_depth == 8 && !m_colourKey && m_colourType != 4;
}

qint64 PngDecoder::pictureBytes() const
{
    return qint64(lineBytes()) * m_height;
}

qint64 PngDecoder::workingBytes() const
{
    const qint64 rowBytes = qint64(packedBytes(m_width));
    const qint64 beyondPicture = std::max<qint64>(rowBytes + 1 - qint64(lineBytes()), 0) * m_height + qint64(kSlack);
    if (unfiltersInPlace()) // a chunk of a row, one of zeros above the first row, and the rows of a wavefront
        return 2 * qint64(8 + kChunkBytes + kSlack) + 3 * qint64(kPaethRowBytes + kSlack) + beyondPicture + kInflaterBytes;
    const qint64 rows = 3 * (8 + rowBytes + 1 + qint64(kSlack)); // filtered, unfiltered, the row above
    if (m_interlaced)
        return rows + qint64(lineBytes()) + qint64(kSlack) + kInflaterBytes; // and a row of picture pixels
    return rows + beyondPicture + kInflaterBytes;
}

void PngDecoder::convertRow(const quint8 *s, uchar *line, int count) const
{
    switch (format()) {
    case QImage::Format_Grayscale8:
    case QImage::Format_RGB888:
    case QImage::Format_RGBA8888:
        std::memcpy(line, s, packedBytes(count));
        break;
    case QImage::Format_Indexed8: // indices as stored; the resampler reads one past the palette as its first colour
        if (m_depth < 8) {
            // Samples packed from the high bits down, one byte a pixel once unpacked.
            const int depth = m_depth;
            const int perByte = 8 / depth;
            const int mask = (1 << depth) - 1;
            for (int x = 0; x < count; ++x) {
                const int v = (s[x / perByte] >> (8 - depth - depth * (x % perByte))) & mask;
                line[x] = uchar(v);
            }
        } else {
            std::memcpy(line, s, size_t(count));
        }
        break;
    case QImage::Format_Grayscale16:
        for (int x = 0; x < count; ++x)
            reinterpret_cast<quint16 *>(line)[x] = sample16(s + 2 * x);
        break;
    case QImage::Format_ARGB32:
        if (m_colourType == 2) {
            for (int x = 0; x < count; ++x) {
                const quint8 *p = s + 3 * x;
                const bool key = p[0] == m_key[0] && p[1] == m_key[1] && p[2] == m_key[2];
                reinterpret_cast<QRgb *>(line)[x] = qRgba(p[0], p[1], p[2], key ? 0 : 255);
            }
        } else { // grey and alpha
            for (int x = 0; x < count; ++x)
                reinterpret_cast<QRgb *>(line)[x] = qRgba(s[2 * x], s[2 * x], s[2 * x], s[2 * x + 1]);
        }
        break;
    default: { // RGBX64, RGBA64: 16-bit red, green, blue, alpha
        auto *out = reinterpret_cast<quint16 *>(line);
        for (int x = 0; x < count; ++x) {
            const quint8 *p = s + size_t(m_bpp) * x;
            quint16 r, g, b, a = 0xffff;
            if (m_colourType == 0 || m_colourType == 4) {
                r = g = b = sample16(p);
                if (m_colourType == 4)
                    a = sample16(p + 2);
                else if (r == m_key[0])
                    a = 0;
            } else {
                r = sample16(p);
                g = sample16(p + 2);
                b = sample16(p + 4);
                if (m_colourType == 6)
                    a = sample16(p + 6);
                else if (m_colourKey && r == m_key[0] && g == m_key[1] && b == m_key[2])
                    a = 0;
            }
            out[4 * x] = r;
            out[4 * x + 1] = g;
            out[4 * x + 2] = b;
            out[4 * x + 3] = a;
        }
        break;
    }
    }
}

QImage PngDecoder::decode(QByteArray &file)
{
    if (!m_handles || m_damaged)
        return {};

    // The IDAT chunks, one after another, joined in place into one zlib
    // stream; then IEND.
    char *const stream = file.data() + m_firstIdat + 8;
    size_t streamLength = 0;
    bool imageDataEnded = false;
    PngChunk chunk;
    for (qsizetype at = m_firstIdat;; at = chunk.next()) {
        if (!pngChunkAt(file, at, chunk) || (isCritical(chunk) && !chunk.crcMatches()))
            return {};
        if (chunk.type == "IDAT") {
            if (imageDataEnded)
                return {}; // image data resumed after another chunk
            std::memmove(stream + streamLength, chunk.data, chunk.length);
            streamLength += chunk.length;
            continue;
        }
        if (chunk.type == "IEND")
            break;
        if (isCritical(chunk))
            return {};
        imageDataEnded = true;
    }
    if (streamLength > std::numeric_limits<uInt>::max())
        return {}; // more than zlib takes in one go; no image within the limits has that much
    QImage image = m_interlaced ? decodePasses(stream, streamLength) : decodeRows(stream, streamLength);
    if (!image.isNull() && !m_palette.isEmpty())
        image.setColorTable(m_palette);
    return image;
}

QImage PngDecoder::decodeRows(const char *stream, size_t streamLength) const
{
    // The picture's rows in Qt's layout, and the filtered rows inflated into
    // the far end of the same buffer: writing picture row y never reaches
    // filtered row y + 1, since a filtered row is at least as long as the
    // part of a picture row that it leaves unused.
    const QImage::Format imageFormat = format();
    const size_t rowBytes = packedBytes(m_width);
    const size_t rawRow = rowBytes + 1;
    const size_t lineLength = lineBytes();
    const size_t rawBytes = rawRow * size_t(m_height);
    const size_t bufferBytes = std::max(lineLength, rawRow) * size_t(m_height);
    auto *buffer = static_cast<uchar *>(std::malloc(bufferBytes + kSlack));
    if (!buffer)
        return {};
    QImage image(buffer, m_width, m_height, qsizetype(lineLength), imageFormat, [](void *p) { std::free(p); }, buffer);
    if (image.isNull()) {
        std::free(buffer);
        return {};
    }
    quint8 *const raw = buffer + (bufferBytes - rawBytes);

    const std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!inflater)
        return {};
    size_t inflated = 0;
    size_t consumed = 0;
    const libdeflate_result result = libdeflate_zlib_decompress_ex(inflater.get(), stream, streamLength, raw,
                                                                   rawBytes, &consumed, &inflated);
    if (result == LIBDEFLATE_INSUFFICIENT_SPACE && rawBytes <= std::numeric_limits<uInt>::max()) {
        // More data than the picture needs: libpng takes the rows it needs
        // and warns. zlib stops where the buffer ends.
        z_stream z = {};
        if (inflateInit(&z) != Z_OK)
            return {};
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream));
        z.avail_in = uInt(streamLength);
        z.next_out = raw;
        z.avail_out = uInt(rawBytes);
        while (inflate(&z, Z_NO_FLUSH) == Z_OK && z.avail_out > 0) {
        }
        inflated = rawBytes - z.avail_out;
        inflateEnd(&z);
    } else if (result != LIBDEFLATE_SUCCESS) {
        return {};
    }
    if (inflated != rawBytes)
        return {};

    if (unfiltersInPlace()) {
        if (!unfilterInPlace(raw, image.bits(), rowBytes, lineLength))
            return {};
        return image;
    }

    // Unfiltered rows, with bpp zero bytes before each for the pixels left of the row.
    std::vector<quint8> rows(2 * (8 + rowBytes + kSlack), 0);
    quint8 *prev = rows.data() + 8;
    quint8 *cur = prev + rowBytes + kSlack + 8;
    uchar *const bits = image.bits();
    for (int y = 0; y < m_height; ++y) {
        const quint8 *filtered = raw + size_t(y) * rawRow;
        if (!unfilter(filtered[0], m_bpp, filtered + 1, prev, cur, rowBytes))
            return {};
        convertRow(cur, bits + size_t(y) * lineLength, m_width);
        std::swap(prev, cur);
    }
    return image;
}

/** Whether kPaethRows filtered rows from filtered on, rawRow bytes apart, are all filtered by Paeth. */
static bool allPaeth(const quint8 *filtered, size_t rawRow)
{
    for (int k = 0; k < kPaethRows; ++k) {
        if (filtered[size_t(k) * rawRow] != 4)
            return false;
    }
    return true;
}

bool PngDecoder::unfilterInPlace(const quint8 *raw, uchar *bits, size_t rowBytes, size_t lineLength) const
{
    // Row y's filtered bytes lie at least a byte further on than its pixels
    // (the filter type bytes of rows 0 to y come before them), and the rows
    // above are done. Where they lie kInPlaceGap bytes or more further on,
    // the row is unfiltered straight into place; else a chunk at a time
    // through a small buffer, whose copy into place ends before the next
    // chunk's filtered bytes. Left of each row, and above the first, are
    // zeros.
    const size_t bpp = size_t(m_bpp);
    const size_t rawRow = rowBytes + 1;
    std::vector<quint8> zeros(8 + kChunkBytes + kSlack, 0);
    std::vector<quint8> chunk(8 + kChunkBytes + kSlack, 0);
    const bool wavefront = (bpp == 3 || bpp == 4) && rowBytes <= kPaethRowBytes;
    std::vector<quint8> later(wavefront ? (kPaethRows - 1) * (rowBytes + kSlack) : 0);
    for (int y = 0; y < m_height; ++y) {
        const quint8 *filtered = raw + size_t(y) * rawRow;
        const int filter = filtered[0];
        const quint8 *in = filtered + 1;
        uchar *line = bits + size_t(y) * lineLength;
        const quint8 *above = y > 0 ? line - lineLength : nullptr;
        if (wavefront && above && size_t(in - line) >= kInPlaceGap && y + kPaethRows <= m_height
            && allPaeth(filtered, rawRow)) {
            // The rows after this one are unfiltered beside it into a
            // buffer, since their places hold bytes of this row not yet
            // read; they go into place once this row is done.
            const quint8 *rows[kPaethRows];
            quint8 *out[kPaethRows] = {line};
            for (int k = 0; k < kPaethRows; ++k) {
                rows[k] = in + size_t(k) * rawRow;
                if (k > 0)
                    out[k] = later.data() + size_t(k - 1) * (rowBytes + kSlack);
            }
            unpaethRows(int(bpp), rows, above, out, rowBytes);
            for (int k = 1; k < kPaethRows; ++k)
                std::memcpy(line + size_t(k) * lineLength, out[k], rowBytes);
            y += kPaethRows - 1;
            continue;
        }
        if (above && size_t(in - line) >= kInPlaceGap) {
            // The first pixel, whose left and upper-left neighbours are 0:
            // Up, Average and Paeth predict from the pixel above alone.
            if (filter > 4)
                return false;
            for (size_t i = 0; i < bpp; ++i)
                line[i] = quint8(in[i] + (filter == 2 || filter == 4 ? above[i] : filter == 3 ? above[i] >> 1 : 0));
            if (!unfilter(filter, int(bpp), in + bpp, above + bpp, line + bpp, rowBytes - bpp))
                return false;
        } else {
            for (size_t at = 0; at < rowBytes; at += kChunkBytes) {
                const size_t n = std::min(kChunkBytes, rowBytes - at);
                quint8 *out = chunk.data() + 8;
                // The pixel left of the chunk, and the one above that.
                std::memset(chunk.data(), 0, 8);
                if (at > 0)
                    std::memcpy(out - bpp, line + at - bpp, bpp);
                const quint8 *up = above ? above + at : zeros.data() + 8;
                if (at == 0 && above) {
                    // The pixel up-left of the row's first is 0: the above row's pixels start the chunk.
                    std::memcpy(zeros.data() + 8, above, std::min(n + kSlack, rowBytes));
                    up = zeros.data() + 8;
                }
                if (!unfilter(filter, int(bpp), in + at, up, out, n))
                    return false;
                if (at == 0 && above)
                    std::memset(zeros.data() + 8, 0, std::min(n + kSlack, rowBytes));
                std::memcpy(line + at, out, n);
            }
        }
    }
    return true;
}

QImage PngDecoder::decodePasses(const char *stream, size_t streamLength) const
{
    QImage image(m_width, m_height, format());
    if (image.isNull())
        return {};
    z_stream z = {};
    if (inflateInit(&z) != Z_OK)
        return {};
    const auto endInflate = qScopeGuard([&z] { inflateEnd(&z); });
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream));
    z.avail_in = uInt(streamLength);
    bool ended = false;
    const auto inflateInto = [&](quint8 *out, size_t n) {
        z.next_out = out;
        z.avail_out = uInt(n);
        while (z.avail_out > 0 && !ended) {
            const int result = inflate(&z, Z_NO_FLUSH);
            if (result == Z_STREAM_END)
                ended = true;
            else if (result != Z_OK)
                return false;
        }
        return z.avail_out == 0;
    };

    // A filtered row, then the row unfiltered and the row above it, with
    // bpp zero bytes before each for the pixels left of the row; the widest
    // pass, the last, is as wide as the picture.
    const size_t rowBytes = packedBytes(m_width);
    std::vector<quint8> rows(3 * (8 + rowBytes + 1 + kSlack), 0);
    quint8 *const filtered = rows.data() + 8;
    quint8 *prev = filtered + rowBytes + 1 + kSlack + 8;
    quint8 *cur = prev + rowBytes + 1 + kSlack + 8;
    const int pixelBytes = QImage::toPixelFormat(image.format()).bitsPerPixel() / 8;
    std::vector<uchar> pixels(size_t(m_width) * size_t(pixelBytes) + kSlack);
    uchar *const bits = image.bits();
    const size_t lineLength = size_t(image.bytesPerLine());

    for (const Pass &pass : kAdam7) {
        const int columns = passExtent(m_width, pass.x0, pass.dx);
        const int passRows = passExtent(m_height, pass.y0, pass.dy);
        if (columns == 0 || passRows == 0)
            continue; // an empty pass has no rows, not even their filter bytes
        const size_t n = packedBytes(columns);
        std::memset(prev, 0, n);
        for (int row = 0; row < passRows; ++row) {
            if (!inflateInto(filtered, n + 1) || !unfilter(filtered[0], m_bpp, filtered + 1, prev, cur, n))
                return {};
            convertRow(cur, pixels.data(), columns);
            uchar *line = bits + size_t(pass.y0 + row * pass.dy) * lineLength;
            switch (pixelBytes) {
            case 1: scatter<1>(pixels.data(), line, columns, pass); break;
            case 2: scatter<2>(pixels.data(), line, columns, pass); break;
            case 3: scatter<3>(pixels.data(), line, columns, pass); break;
            case 4: scatter<4>(pixels.data(), line, columns, pass); break;
            default: scatter<8>(pixels.data(), line, columns, pass); break;
            }
            std::swap(prev, cur);
        }
    }

    // The end of the stream with its checksum right, or more image data
    // than the picture needs, which libpng takes with a warning.
    if (!ended) {
        quint8 none = 0;
        z.next_out = &none;
        z.avail_out = 0;
        const int result = inflate(&z, Z_NO_FLUSH);
        if (result != Z_STREAM_END && !(result == Z_BUF_ERROR && z.avail_in > 0))
            return {};
    }
    return image;
}

} // namespace imaging
