#include "imaging/Resample.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>
#include <vector>

namespace imaging {

namespace {

constexpr double kLobes = 3.0;

/** Where catmullRom() is not zero: |t| < 2. */
constexpr double kCubicSupport = 2.0;

/**
 * One pixel as four floats (red, green, blue, alpha; premultiplied; 0..255)
 * that the compiler keeps in one SIMD register, so that a filter tap is one
 * multiply-add for all channels. A GCC/Clang vector extension.
 */
using Pixel = float __attribute__((vector_size(16)));
using Ints = int __attribute__((vector_size(16)));
using Words = quint32 __attribute__((vector_size(16)));

/** Filtered pixels are turned into canvas pixels this many at a time. */
constexpr int kStoreGroup = 4;

/** Filter taps are stored in groups of this many, padded with zero weights. */
constexpr int kTapGroup = 4;

/** Samples past the end that the vertical pass may read and write: a group of eight grey levels. */
constexpr int kSpareSamples = 8;

/** Pixels of a format read through Qt's conversion that are converted at a time. */
constexpr qsizetype kBlockPixels = 64 * 1024;

/**
 * Where a picture lands along one axis: srcLength source pixels, whose full
 * picture measures srcExtent of them, drawn over [dstStart, dstEnd) of a
 * canvas side pixels long. Positions are continuous: pixel i spans [i, i + 1]
 * and is sampled at its centre. Source pixels beyond either end repeat the
 * edge pixel.
 */
struct Axis
{
    int srcLength = 0;
    double dstStart = 0.0;
    double dstEnd = 0.0;
    double scale = 1.0;      // canvas pixels per source pixel
    bool enlarges = false;   // scale > 1: the cubic kernel, else Lanczos-3
    double kernelStep = 1.0; // the kernel is widened by 1 / kernelStep when shrinking
    double radius = kLobes;  // the kernel's reach, in source pixels
    int first = 0;           // first canvas pixel touched
    int count = 0;           // number of canvas pixels touched
    int stride = 0;          // weights stored per canvas pixel: the most taps one can have, padded

    /** The source pixels canvas pixel first + k reads, edges clamped: [lo, hi]. */
    std::pair<int, int> reach(int k) const
    {
        const double centre = (first + k + 0.5 - dstStart) / scale;
        return {std::clamp(int(std::ceil(centre - radius - 0.5)), 0, srcLength - 1),
                std::clamp(int(std::floor(centre + radius - 0.5)), 0, srcLength - 1)};
    }
};

Axis makeAxis(int srcLength, double srcExtent, double dstStart, double dstLength, int side)
{
    Axis axis;
    const double dstEnd = dstStart + dstLength;
    const int first = std::max(0, int(std::floor(dstStart)));
    const int end = std::min(side, int(std::ceil(dstEnd)));
    if (end <= first || srcLength <= 0 || !(srcExtent > 0.0) || !(dstLength > 0.0))
        return axis;
    axis.srcLength = srcLength;
    axis.dstStart = dstStart;
    axis.dstEnd = dstEnd;
    axis.scale = dstLength / srcExtent;
    // Enlarging interpolates with the cubic: its one small negative lobe
    // turns a hard edge (an icon's) into a short ramp, where Lanczos-3's
    // wider ringing leaves more partly transparent pixels, which cost bytes
    // in the PNG. Reducing filters with Lanczos-3 widened by the reduction
    // factor. At exactly 1 either kernel copies whole-pixel positions;
    // Lanczos-3 keeps more detail at fractional ones.
    axis.enlarges = axis.scale > 1.0;
    axis.kernelStep = std::min(axis.scale, 1.0);
    axis.radius = axis.enlarges ? kCubicSupport : kLobes / axis.kernelStep;
    axis.first = first;
    axis.count = end - first;
    const int tapsBound = int(std::ceil(2.0 * axis.radius)) + 1;
    axis.stride = (tapsBound + kTapGroup - 1) / kTapGroup * kTapGroup;
    return axis;
}

/** The share of canvas pixel j that the rectangle covers along the axis. */
float coverageOf(const Axis &axis, int j)
{
    return float(std::clamp(std::min(j + 1.0, axis.dstEnd) - std::max(double(j), axis.dstStart), 0.0, 1.0));
}

/**
 * The filter for a run of canvas pixels along one axis: for each, the run of
 * source pixels it reads, their weights (summing to 1, padded with zeros to
 * the axis's stride), and the share of the canvas pixel inside the
 * rectangle.
 */
struct AxisFilter
{
    int firstOut = 0; // the run's first canvas pixel
    int outCount = 0;
    int stride = 0;
    int maxTaps = 0;  // longest run of source pixels any of them reads
    std::vector<int> start;
    std::vector<int> taps;
    std::vector<float> weights;
    std::vector<float> coverage; // padded with zeros to whole groups of kStoreGroup
    std::vector<double> scratch;
};

/**
 * lanczos3() tabulated at 1/1024 steps and interpolated linearly (error
 * below 2e-6). Building the weights then makes no libm calls, which matters
 * more than it seems: after Qt's AVX code has run, each call into libm's
 * AVX code pays a state-transition stall that made sin() 20 times slower.
 */
double tabulatedLanczos3(double t)
{
    constexpr int kSteps = 1024;
    static const std::vector<double> table = [] {
        std::vector<double> values(size_t(kLobes * kSteps) + 2);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = lanczos3(double(i) / kSteps);
        return values;
    }();
    const double position = std::abs(t) * kSteps;
    if (position >= kLobes * kSteps)
        return 0.0;
    const size_t i = size_t(position);
    const double fraction = position - double(i);
    return table[i] + (table[i + 1] - table[i]) * fraction;
}

/** Fills filter for canvas pixels [axis.first + offset, axis.first + offset + count), reusing its storage. */
void fillAxisFilter(const Axis &axis, int offset, int count, AxisFilter &filter)
{
    filter.firstOut = axis.first + offset;
    filter.outCount = count;
    filter.stride = axis.stride;
    filter.maxTaps = 0;
    filter.start.resize(size_t(count));
    filter.taps.resize(size_t(count));
    filter.weights.assign(size_t(count) * axis.stride, 0.0f);
    filter.coverage.assign(size_t(count + kStoreGroup - 1) / kStoreGroup * kStoreGroup, 0.0f);
    filter.scratch.resize(size_t(axis.stride));

    std::vector<double> &w = filter.scratch;
    for (int k = 0; k < count; ++k) {
        const int j = filter.firstOut + k;
        const double centre = (j + 0.5 - axis.dstStart) / axis.scale; // in source pixels
        const int lo = int(std::ceil(centre - axis.radius - 0.5));
        const int hi = int(std::floor(centre + axis.radius - 0.5));
        const auto [clampedLo, clampedHi] = axis.reach(offset + k);

        std::fill(w.begin(), w.end(), 0.0);
        double sum = 0.0;
        for (int i = lo; i <= hi; ++i) {
            const double weight = axis.enlarges ? catmullRom(i + 0.5 - centre)
                                                : tabulatedLanczos3((i + 0.5 - centre) * axis.kernelStep);
            w[std::clamp(i, 0, axis.srcLength - 1) - clampedLo] += weight;
            sum += weight;
        }
        // Drop the run's negligible end weights: at 1:1 scale the kernel's
        // zeros fall on whole pixels and a single tap remains.
        constexpr double kNegligible = 1e-9;
        int from = 0;
        int to = clampedHi - clampedLo;
        while (from < to && std::abs(w[from]) < kNegligible * sum)
            ++from;
        while (to > from && std::abs(w[to]) < kNegligible * sum)
            --to;
        const int taps = to - from + 1;
        for (int t = 0; t < taps; ++t)
            filter.weights[size_t(k) * axis.stride + t] = float(w[from + t] / sum);
        filter.start[k] = clampedLo + from;
        filter.taps[k] = taps;
        filter.maxTaps = std::max(filter.maxTaps, taps);
        filter.coverage[k] = coverageOf(axis, j);
    }
}

AxisFilter makeAxisFilter(const Axis &axis, int offset, int count)
{
    AxisFilter filter;
    fillAxisFilter(axis, offset, count, filter);
    return filter;
}

// The per-pixel loops are also built for AVX2 with FMA (x86-64-v3), and
// that build is picked when the program loads on a processor that has it.
#if defined(__x86_64__) && defined(__GNUC__)
#define VELK_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VELK_SIMD_CLONES
#endif

Pixel toPixel(int r, int g, int b, int a)
{
    return __builtin_convertvector((Ints{r, g, b, a}), Pixel);
}

/** A straight (not premultiplied) pixel, channels 0..255, premultiplied. */
Pixel premultiplied(Pixel p)
{
    const float alpha = p[3];
    p = p * (alpha * (1.0f / 255.0f));
    p[3] = alpha;
    return p;
}

/**
 * Which stored channel each of red, green, blue and alpha is, for the four
 * bytes of a pixel as they lie in memory: RGBA8888 and RGBA64 store red
 * first, (A)RGB32 stores a 32-bit 0xAARRGGBB in the machine's byte order.
 */
enum class Order { Rgba, Argb32 };

/** Bytes or 16-bit words of n pixels, channel by channel, as floats times scale. */
template <typename Channel>
void toFloats(const Channel *in, int n, float scale, Pixel *out)
{
    auto *floats = reinterpret_cast<float *>(out);
    for (int i = 0; i < 4 * n; ++i)
        floats[i] = float(in[i]) * scale;
}

/** out's n pixels put in red, green, blue, alpha order, alpha set to opaque if asked, premultiplied if asked. */
template <Order order, bool opaque, bool premultiply>
void arrange(Pixel *out, int n)
{
    for (int x = 0; x < n; ++x) {
        Pixel p = out[x];
        if constexpr (order == Order::Argb32) {
            if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN)
                p = __builtin_shufflevector(p, p, 2, 1, 0, 3);
            else
                p = __builtin_shufflevector(p, p, 1, 2, 3, 0);
        }
        if constexpr (opaque)
            p[3] = 255.0f;
        if constexpr (premultiply)
            p = premultiplied(p);
        out[x] = p;
    }
}

/**
 * n pixels of 3 bytes as floats, opaque: four at a time from 16 bytes, where
 * 16 can be read, then one at a time.
 */
[[gnu::always_inline]] inline void loadRgb888(const uchar *in, int n, Pixel *out)
{
    using Bytes16 = quint8 __attribute__((vector_size(16)));
    constexpr Bytes16 zero = {};
    constexpr Ints opaque = {0, 0, 0, 255};
    int x = 0;
    for (; x + 5 < n; x += 4) {
        Bytes16 v;
        std::memcpy(&v, in + 3 * x, sizeof v);
        // Each pixel's three bytes into the low bytes of three 32-bit lanes.
        const auto pixel = [&](Bytes16 lanes) { return __builtin_convertvector(Ints(lanes) | opaque, Pixel); };
        out[x] = pixel(__builtin_shufflevector(v, zero, 0, 16, 16, 16, 1, 16, 16, 16, 2, 16, 16, 16, 16, 16, 16, 16));
        out[x + 1] = pixel(__builtin_shufflevector(v, zero, 3, 16, 16, 16, 4, 16, 16, 16, 5, 16, 16, 16, 16, 16, 16, 16));
        out[x + 2] = pixel(__builtin_shufflevector(v, zero, 6, 16, 16, 16, 7, 16, 16, 16, 8, 16, 16, 16, 16, 16, 16, 16));
        out[x + 3] = pixel(__builtin_shufflevector(v, zero, 9, 16, 16, 16, 10, 16, 16, 16, 11, 16, 16, 16, 16, 16, 16, 16));
    }
    for (; x < n; ++x)
        out[x] = toPixel(in[3 * x], in[3 * x + 1], in[3 * x + 2], 255);
}

/**
 * Reads source rows as premultiplied float pixels. The formats our PNG and
 * JPEG decoders and Qt's GIF reader produce are read directly; any other is
 * converted by Qt a block of rows at a time, which never holds a second
 * full-size copy of the picture.
 */
class RowLoader
{
public:
    explicit RowLoader(const QImage &src)
        : m_src(src)
    {
        if (src.format() == QImage::Format_Indexed8) {
            // An index past the table stands for its first colour, as in Qt's own readers.
            const QList<QRgb> colours = src.colorTable();
            m_palette.assign(256, Pixel{});
            for (qsizetype i = 0; i < colours.size() && i < 256; ++i) {
                const QRgb c = colours[i];
                m_palette[size_t(i)] = premultiplied(toPixel(qRed(c), qGreen(c), qBlue(c), qAlpha(c)));
            }
            if (!colours.isEmpty())
                std::fill(m_palette.begin() + std::min<qsizetype>(colours.size(), 256), m_palette.end(), m_palette[0]);
        }
    }

    /**
     * Source pixels [x0, x0 + count) of row y straight into canvas pixels,
     * exactly as load() and storeRow() at full coverage give them, for the
     * formats where that is a plain conversion: 8-bit straight colour comes
     * back unchanged (fully transparent pixels as transparent black) and
     * 16-bit colour as v / 257 rounded. Both were checked for every colour
     * and alpha value, with and without fused multiply-add. Returns false
     * for other formats.
     */
    VELK_SIMD_CLONES bool copy(int y, int x0, int count, uchar *out)
    {
        const uchar *line = m_src.constScanLine(y);
        const auto put = [out](int x, quint32 r, quint32 g, quint32 b, quint32 a) {
            const quint32 rgba = qToLittleEndian(a == 0 ? 0 : r | g << 8 | b << 16 | a << 24);
            std::memcpy(out + 4 * x, &rgba, 4);
        };
        const auto from16 = [](quint32 v) { return (v + 128) / 257; };
        const auto *argb = reinterpret_cast<const QRgb *>(line) + x0;
        const uchar *rgba = line + 4 * x0;
        const auto *rgba64 = reinterpret_cast<const quint16 *>(line) + 4 * x0;
        switch (m_src.format()) {
        case QImage::Format_ARGB32:
            for (int x = 0; x < count; ++x)
                put(x, qRed(argb[x]), qGreen(argb[x]), qBlue(argb[x]), qAlpha(argb[x]));
            return true;
        case QImage::Format_RGB32:
            for (int x = 0; x < count; ++x)
                put(x, qRed(argb[x]), qGreen(argb[x]), qBlue(argb[x]), 255);
            return true;
        case QImage::Format_RGBA8888:
            for (int x = 0; x < count; ++x)
                put(x, rgba[4 * x], rgba[4 * x + 1], rgba[4 * x + 2], rgba[4 * x + 3]);
            return true;
        case QImage::Format_RGB888:
            for (int x = 0; x < count; ++x) {
                const uchar *p = line + 3 * (x0 + x);
                put(x, p[0], p[1], p[2], 255);
            }
            return true;
        case QImage::Format_RGBA64:
            for (int x = 0; x < count; ++x) {
                const quint16 *p = rgba64 + 4 * x;
                put(x, from16(p[0]), from16(p[1]), from16(p[2]), from16(p[3]));
            }
            return true;
        case QImage::Format_RGBX64:
            for (int x = 0; x < count; ++x) {
                const quint16 *p = rgba64 + 4 * x;
                put(x, from16(p[0]), from16(p[1]), from16(p[2]), 255);
            }
            return true;
        case QImage::Format_Grayscale8:
            for (int x = 0; x < count; ++x)
                put(x, line[x0 + x], line[x0 + x], line[x0 + x], 255);
            return true;
        default:
            return false;
        }
    }

    /** Whether the picture is grey, and so opaque: it can be filtered as grey levels alone. */
    bool grey() const
    {
        return m_src.format() == QImage::Format_Grayscale8 || m_src.format() == QImage::Format_Grayscale16;
    }

    /** The grey levels (0..255) of source pixels [x0, x0 + count) of row y of a grey picture into out[0, count). */
    VELK_SIMD_CLONES void load(int y, int x0, int count, float *out)
    {
        const uchar *line = m_src.constScanLine(y);
        if (m_src.format() == QImage::Format_Grayscale16) {
            const auto *words = reinterpret_cast<const quint16 *>(line) + x0;
            for (int x = 0; x < count; ++x)
                out[x] = float(words[x]) * (1.0f / 257.0f);
        } else {
            for (int x = 0; x < count; ++x)
                out[x] = float(line[x0 + x]);
        }
    }

    /** Source pixels [x0, x0 + count) of row y into out[0, count). */
    VELK_SIMD_CLONES void load(int y, int x0, int count, Pixel *out)
    {
        const uchar *line = m_src.constScanLine(y);
        const auto *words = reinterpret_cast<const quint16 *>(line) + 4 * x0;
        const uchar *bytes = line + 4 * x0;
        constexpr float k16To8 = 1.0f / 257.0f;
        switch (m_src.format()) {
        case QImage::Format_RGB32:
            toFloats(bytes, count, 1.0f, out);
            arrange<Order::Argb32, true, false>(out, count);
            break;
        case QImage::Format_ARGB32:
            toFloats(bytes, count, 1.0f, out);
            arrange<Order::Argb32, false, true>(out, count);
            break;
        case QImage::Format_RGBA8888:
            toFloats(bytes, count, 1.0f, out);
            arrange<Order::Rgba, false, true>(out, count);
            break;
        case QImage::Format_RGB888:
            loadRgb888(line + 3 * x0, count, out);
            break;
        case QImage::Format_RGBA64: // 16-bit channels keep their precision
            toFloats(words, count, k16To8, out);
            arrange<Order::Rgba, false, true>(out, count);
            break;
        case QImage::Format_RGBX64:
            toFloats(words, count, k16To8, out);
            arrange<Order::Rgba, true, false>(out, count);
            break;
        case QImage::Format_Indexed8:
            for (int x = 0; x < count; ++x)
                out[x] = m_palette[line[x0 + x]];
            break;
        default: {
            // Converted by Qt a block of up to kBlockPixels at a time: whole
            // rows of the span, at least one.
            const int rows = int(std::clamp<qsizetype>(kBlockPixels / count, 1, 16));
            if (m_block.isNull() || y < m_blockStart || y >= m_blockStart + m_block.height() || x0 != m_blockX
                || count != m_block.width()) {
                m_blockStart = y;
                m_blockX = x0;
                m_block = m_src.copy(x0, y, count, std::min(rows, m_src.height() - y))
                              .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            }
            toFloats(m_block.constScanLine(y - m_blockStart), count, 1.0f, out);
            arrange<Order::Argb32, false, false>(out, count);
            break;
        }
        }
    }

private:
    const QImage &m_src;
    std::vector<Pixel> m_palette;
    QImage m_block;
    int m_blockStart = 0;
    int m_blockX = 0;
};

/**
 * From this many taps on, weightedRows() goes through the rows a few at a
 * time rather than a pixel at a time: a large reduction reads a hundred
 * rows for each canvas row.
 */
constexpr int kManyTaps = 16;

/** Two pixels side by side, eight floats: one AVX register, two SSE ones. */
using PixelPair = float __attribute__((vector_size(32)));


/**
 * One source row filtered horizontally: out[j] = the sum of w[t] * in[start
 * + t - origin] over canvas pixel j's taps, two taps at a time, each weight
 * spread over a whole pixel in the register. The padding weights are zero,
 * and in has a tap group of spare pixels at its end.
 */
VELK_SIMD_CLONES
void filterRow(const Pixel *in, int origin, const AxisFilter &fx, Pixel *out)
{
    for (int j = 0; j < fx.outCount; ++j) {
        const float *w = fx.weights.data() + size_t(j) * fx.stride;
        const Pixel *p = in + (fx.start[j] - origin);
        PixelPair a0 = {}, a1 = {};
        for (int t = 0; t < fx.taps[j]; t += kTapGroup) {
            Pixel w4;
            PixelPair p0, p1;
            std::memcpy(&w4, w + t, sizeof w4);
            std::memcpy(&p0, p + t, sizeof p0);
            std::memcpy(&p1, p + t + 2, sizeof p1);
            a0 += __builtin_shufflevector(w4, w4, 0, 0, 0, 0, 1, 1, 1, 1) * p0;
            a1 += __builtin_shufflevector(w4, w4, 2, 2, 2, 2, 3, 3, 3, 3) * p1;
        }
        const PixelPair sum = a0 + a1;
        out[j] = __builtin_shufflevector(sum, sum, 0, 1, 2, 3) + __builtin_shufflevector(sum, sum, 4, 5, 6, 7);
    }
}

/**
 * out[j] = the sum of w[t] * rows[t][j] over the taps, eight floats at a
 * time (two pixels, or eight grey levels), for j < count rounded up to the
 * step. Inlined into each caller's clones.
 */
template<typename T>
[[gnu::always_inline]] inline void weightedSums(const float *w, const T *const *rows, int taps, int count, T *out)
{
    constexpr int step = int(sizeof(PixelPair) / sizeof(T));
    for (int j = 0; j < count; j += step) {
        PixelPair a0 = {}, a1 = {};
        for (int t = 0; t < taps; t += 2) {
            PixelPair p0, p1;
            std::memcpy(&p0, rows[t] + j, sizeof p0);
            std::memcpy(&p1, rows[t + 1] + j, sizeof p1);
            a0 += w[t] * p0;
            a1 += w[t + 1] * p1;
        }
        const PixelPair sum = a0 + a1;
        std::memcpy(out + j, &sum, sizeof sum);
    }
}

/**
 * One canvas row from the horizontally filtered rows: out[j] = the sum of
 * w[t] * rows[t][j] over the taps, two pixels at a time, for j < count
 * rounded up to even. rows holds whole tap groups (of four), the padding
 * weights are zero, and each row can be read one pixel past count.
 */
VELK_SIMD_CLONES
void weightedRows(const float *w, const Pixel *const *rows, int taps, int count, Pixel *out)
{
    if (taps > kManyTaps) {
        // Four rows at a time over the whole row, adding into out: the
        // processor's prefetchers follow five streams, not dozens.
        for (int t = 0; t < taps; t += 4) {
            for (int j = 0; j < count; j += 2) {
                PixelPair p0, p1, p2, p3, sum = {};
                std::memcpy(&p0, rows[t] + j, sizeof p0);
                std::memcpy(&p1, rows[t + 1] + j, sizeof p1);
                std::memcpy(&p2, rows[t + 2] + j, sizeof p2);
                std::memcpy(&p3, rows[t + 3] + j, sizeof p3);
                if (t > 0)
                    std::memcpy(&sum, out + j, sizeof sum);
                sum += (w[t] * p0 + w[t + 1] * p1) + (w[t + 2] * p2 + w[t + 3] * p3);
                std::memcpy(out + j, &sum, sizeof sum);
            }
        }
        return;
    }
    weightedSums(w, rows, taps, count, out);
}

/** The same for grey levels: four taps a multiply-add. */
VELK_SIMD_CLONES
void filterRow(const float *in, int origin, const AxisFilter &fx, float *out)
{
    for (int j = 0; j < fx.outCount; ++j) {
        const float *w = fx.weights.data() + size_t(j) * fx.stride;
        const float *p = in + (fx.start[j] - origin);
        Pixel sum = {};
        for (int t = 0; t < fx.taps[j]; t += kTapGroup) {
            Pixel w4, p4;
            std::memcpy(&w4, w + t, sizeof w4);
            std::memcpy(&p4, p + t, sizeof p4);
            sum += w4 * p4;
        }
        out[j] = (sum[0] + sum[1]) + (sum[2] + sum[3]);
    }
}

/** The same for grey levels, eight at a time; rows can be read kSpareSamples past count. */
VELK_SIMD_CLONES
void weightedRows(const float *w, const float *const *rows, int taps, int count, float *out)
{
    weightedSums(w, rows, taps, count, out);
}

/**
 * Filtered premultiplied pixels as straight RGBA bytes, kStoreGroup at a
 * time, one pixel per lane. Both kernels ring, so each value is first brought
 * back into range: alpha to 0..255 and colour to 0..alpha. The rectangle's
 * coverage then scales alpha only; the straight colour does not depend on
 * it. in and coverage hold whole groups; only count pixels are written.
 */
VELK_SIMD_CLONES
void storeRow(const Pixel *in, const float *coverage, float rowCoverage, int count, uchar *out)
{
    quint32 staged[kStoreGroup];
    for (int j = 0; j < count; j += kStoreGroup) {
        // Four pixels of four channels in, four channels of four pixels out.
        const Pixel p0 = in[j], p1 = in[j + 1], p2 = in[j + 2], p3 = in[j + 3];
        const Pixel rg01 = __builtin_shufflevector(p0, p1, 0, 4, 1, 5);
        const Pixel rg23 = __builtin_shufflevector(p2, p3, 0, 4, 1, 5);
        const Pixel ba01 = __builtin_shufflevector(p0, p1, 2, 6, 3, 7);
        const Pixel ba23 = __builtin_shufflevector(p2, p3, 2, 6, 3, 7);
        const Pixel red = __builtin_shufflevector(rg01, rg23, 0, 1, 4, 5);
        const Pixel green = __builtin_shufflevector(rg01, rg23, 2, 3, 6, 7);
        const Pixel blue = __builtin_shufflevector(ba01, ba23, 0, 1, 4, 5);
        const Pixel rawAlpha = __builtin_shufflevector(ba01, ba23, 2, 3, 6, 7);

        Pixel cover;
        std::memcpy(&cover, coverage + j, sizeof cover);
        const Pixel alpha = rawAlpha < 0.0f ? 0.0f : rawAlpha > 255.0f ? 255.0f : rawAlpha;
        const Ints a = __builtin_convertvector(alpha * (cover * rowCoverage) + 0.5f, Ints);
        const Pixel unpremultiply = alpha > 0.0f ? 255.0f / alpha : 0.0f;
        const auto channel = [&](Pixel c) {
            const Pixel inRange = c < 0.0f ? 0.0f : c > alpha ? alpha : c;
            return __builtin_convertvector(inRange * unpremultiply + 0.5f, Ints);
        };
        const Words rgba = Words(channel(red)) | Words(channel(green)) << 8 | Words(channel(blue)) << 16 | Words(a) << 24;
        const Words packed = a == 0 ? 0 : rgba;
        for (int lane = 0; lane < kStoreGroup; ++lane)
            staged[lane] = qToLittleEndian(quint32(packed[lane]));
        if (count - j >= kStoreGroup)
            std::memcpy(out + 4 * j, staged, sizeof staged);
        else
            std::memcpy(out + 4 * j, staged, size_t(count - j) * 4);
    }
}

/**
 * Filtered grey levels as RGBA bytes, as storeRow() turns opaque grey
 * pixels into them: the level brought into 0..255, alpha the rectangle's
 * coverage. in and coverage hold whole groups; only count pixels are
 * written.
 */
VELK_SIMD_CLONES
void storeRow(const float *in, const float *coverage, float rowCoverage, int count, uchar *out)
{
    quint32 staged[kStoreGroup];
    for (int j = 0; j < count; j += kStoreGroup) {
        Pixel level, cover;
        std::memcpy(&level, in + j, sizeof level);
        std::memcpy(&cover, coverage + j, sizeof cover);
        const Pixel inRange = level < 0.0f ? 0.0f : level > 255.0f ? 255.0f : level;
        const Words grey = Words(__builtin_convertvector(inRange + 0.5f, Ints));
        const Ints a = __builtin_convertvector(255.0f * (cover * rowCoverage) + 0.5f, Ints);
        const Words rgba = grey | grey << 8 | grey << 16 | Words(a) << 24;
        const Words packed = a == 0 ? 0 : rgba;
        for (int lane = 0; lane < kStoreGroup; ++lane)
            staged[lane] = qToLittleEndian(quint32(packed[lane]));
        if (count - j >= kStoreGroup)
            std::memcpy(out + 4 * j, staged, sizeof staged);
        else
            std::memcpy(out + 4 * j, staged, size_t(count - j) * 4);
    }
}

/** Source pixels a strip of the horizontal pass reads at most (as floats, 1 MB), unless one canvas pixel reads more. */
constexpr int kStripPixels = 64 * 1024;

/** Horizontal weights kept for a whole row at most (8 MB). */
constexpr qsizetype kMaxKeptWeights = 2 * 1024 * 1024;

/** Whether the horizontal weights of a whole row are too many to keep: more than kMaxKeptWeights over several strips. */
bool keepsNoWeights(const Axis &axis)
{
    return qsizetype(axis.count) * axis.stride > kMaxKeptWeights && axis.reach(axis.count - 1).second + 1 - axis.reach(0).first > kStripPixels;
}

/** Canvas pixels [from, from + count) of an axis (counted from its first) and the source pixels [x0, x1) they read. */
struct Strip
{
    int from = 0;
    int count = 0;
    int x0 = 0;
    int x1 = 0;
};

/** The axis's canvas pixels in runs that each read at most kStripPixels source pixels, at least one canvas pixel a run. */
std::vector<Strip> planStrips(const Axis &axis)
{
    std::vector<Strip> strips;
    for (int k = 0; k < axis.count;) {
        Strip strip{k, 0, axis.reach(k).first, 0};
        do {
            strip.x1 = axis.reach(k).second + 1;
            ++strip.count;
            ++k;
        } while (k < axis.count && axis.reach(k).second + 1 - strip.x0 <= kStripPixels);
        strips.push_back(strip);
    }
    return strips;
}

/** The share of each canvas pixel along the axis inside the rectangle, padded with zeros to whole groups of kStoreGroup. */
std::vector<float> makeAxisCoverage(const Axis &axis)
{
    std::vector<float> coverage(size_t(axis.count + kStoreGroup - 1) / kStoreGroup * kStoreGroup, 0.0f);
    for (int k = 0; k < axis.count; ++k)
        coverage[size_t(k)] = coverageOf(axis, axis.first + k);
    return coverage;
}

/**
 * Whether every canvas pixel along the axis reads one source pixel, the
 * next one each, at full weight and full coverage: the picture is drawn at
 * its own size at a whole-pixel position, and drawing is a copy.
 */
bool isCopy(const AxisFilter &filter)
{
    for (int k = 0; k < filter.outCount; ++k) {
        if (filter.taps[k] != 1 || filter.weights[size_t(k) * filter.stride] != 1.0f || filter.coverage[k] != 1.0f
            || filter.start[k] != filter.start[0] + k)
            return false;
    }
    return true;
}

/** Where canvas pixel x of canvas row y lies. */
uchar *canvasRow(QImage &canvas, int y, int x)
{
    return canvas.scanLine(y) + 4 * x;
}

/**
 * The canvas pixels the axes touch, filtered from the loader's rows: as
 * premultiplied pixels (Sample = Pixel) or, for a grey picture, which is
 * opaque, as grey levels alone (Sample = float), a quarter of the work.
 */
template <typename Sample>
void resampleRows(RowLoader &loader, const Axis &ax, const Axis &ay, QImage &canvas)
{
    // Horizontal pass first, one source row at a time, into a ring of
    // the last filtered rows; the vertical pass reads the ring. Source
    // rows are filtered once each and the working set stays small.
    //
    // A row is read in strips of at most kStripPixels source pixels, and
    // the horizontal weights are kept for the whole row only up to
    // kMaxKeptWeights. A picture too wide for that (a million pixels
    // wide, say) has few rows within the decoding limits: all of them
    // are then filtered first, strip by strip, each strip's weights
    // built once, into a ring that holds every row.
    const std::vector<Strip> strips = planStrips(ax);
    const bool stripFirst = keepsNoWeights(ax);
    std::vector<AxisFilter> kept;
    if (!stripFirst) {
        for (const Strip &strip : strips)
            kept.push_back(makeAxisFilter(ax, strip.from, strip.count));
    }
    AxisFilter passing;
    int widest = 0;
    for (const Strip &strip : strips)
        widest = std::max(widest, strip.x1 - strip.x0);
    std::vector<Sample> sourceRow(size_t(widest) + kTapGroup, Sample{});
    const std::vector<float> coverageX = makeAxisCoverage(ax);

    const int ringRows = stripFirst ? ay.srcLength : std::min(ay.stride, ay.srcLength);
    std::vector<Sample> ring(size_t(ringRows) * ax.count + kSpareSamples);
    std::vector<const Sample *> rows(size_t(ay.stride), ring.data());
    std::vector<Sample> line(coverageX.size() + kSpareSamples);
    const auto ringRow = [&](int y) { return ring.data() + size_t(y % ringRows) * ax.count; };
    const auto filterStrip = [&](int y, const Strip &strip, const AxisFilter &fx) {
        loader.load(y, strip.x0, strip.x1 - strip.x0, sourceRow.data());
        filterRow(sourceRow.data(), strip.x0, fx, ringRow(y) + strip.from);
    };

    int nextSourceRow = 0;
    if (stripFirst) {
        for (const Strip &strip : strips) {
            fillAxisFilter(ax, strip.from, strip.count, passing);
            for (int y = 0; y < ay.srcLength; ++y)
                filterStrip(y, strip, passing);
        }
        nextSourceRow = ay.srcLength;
    }
    AxisFilter fy; // one canvas row's: each is used once
    for (int k = 0; k < ay.count; ++k) {
        fillAxisFilter(ay, k, 1, fy);
        const int firstRow = fy.start[0];
        const int taps = fy.taps[0];
        for (nextSourceRow = std::max(nextSourceRow, firstRow); nextSourceRow < firstRow + taps; ++nextSourceRow) {
            for (size_t s = 0; s < strips.size(); ++s)
                filterStrip(nextSourceRow, strips[s], kept[s]);
        }
        for (int t = 0; t < taps; ++t)
            rows[t] = ringRow(firstRow + t);
        weightedRows(fy.weights.data(), rows.data(), taps, ax.count, line.data());
        storeRow(line.data(), coverageX.data(), fy.coverage[0], ax.count, canvasRow(canvas, ay.first + k, ax.first));
    }
}

} // namespace

double lanczos3(double t)
{
    t = std::abs(t);
    if (t >= kLobes)
        return 0.0;
    if (t < 1e-12)
        return 1.0;
    const double x = std::numbers::pi * t;
    return kLobes * std::sin(x) * std::sin(x / kLobes) / (x * x);
}

double catmullRom(double t)
{
    t = std::abs(t);
    if (t < 1.0)
        return (1.5 * t - 2.5) * t * t + 1.0;
    if (t < kCubicSupport)
        return ((-0.5 * t + 2.5) * t - 4.0) * t + 2.0;
    return 0.0;
}

QImage renderFitted(const QImage &src, const QSizeF &srcExtent, const QRectF &dst, int side)
{
    QImage canvas(side, side, QImage::Format_RGBA8888);
    if (canvas.isNull())
        return canvas;
    canvas.fill(Qt::transparent);

    const Axis ax = makeAxis(src.width(), srcExtent.width(), dst.x(), dst.width(), side);
    const Axis ay = makeAxis(src.height(), srcExtent.height(), dst.y(), dst.height(), side);
    if (ax.count == 0 || ay.count == 0)
        return canvas;

    try {
        RowLoader loader(src);
        const auto canvasRow = [&](int k) { return canvas.scanLine(ay.first + k) + 4 * ax.first; };

        // Drawn at its own size, each source pixel lands on one canvas pixel:
        // the filter passes would multiply by 1 and add 0, so they are
        // skipped, and where the format allows, the conversion to floats and
        // back too.
        if (ax.scale == 1.0 && ay.scale == 1.0) {
            const AxisFilter fx = makeAxisFilter(ax, 0, ax.count);
            const AxisFilter fy = makeAxisFilter(ay, 0, ay.count);
            if (isCopy(fx) && isCopy(fy)) {
                std::vector<Pixel> sourceRow(fx.coverage.size());
                for (int k = 0; k < fy.outCount; ++k) {
                    if (loader.copy(fy.start[k], fx.start[0], fx.outCount, canvasRow(k)))
                        continue;
                    loader.load(fy.start[k], fx.start[0], fx.outCount, sourceRow.data());
                    storeRow(sourceRow.data(), fx.coverage.data(), 1.0f, fx.outCount, canvasRow(k));
                }
                return canvas;
            }
        }

        if (loader.grey())
            resampleRows<float>(loader, ax, ay, canvas);
        else
            resampleRows<Pixel>(loader, ax, ay, canvas);
    } catch (const std::bad_alloc &) {
        return QImage();
    }
    return canvas;
}

qint64 renderFittedWorkingBytes(const QSize &srcSize, int side)
{
    const qint64 longer = std::max({srcSize.width(), srcSize.height(), 1});
    const Axis ax = makeAxis(std::max(srcSize.width(), 1), longer, 0.0, side, side);
    const qint64 strideX = ax.stride;
    const qint64 strideY = ax.stride; // the same scale on both axes
    const qint64 stripOutputs = std::min<qint64>(side, qint64(kStripPixels * ax.scale) + 2);
    const qint64 canvas = qint64(side) * side * 4;
    const qint64 sourceRow = (std::min<qint64>(srcSize.width(), kStripPixels + strideX) + kTapGroup) * qint64(sizeof(Pixel));
    const qint64 weightsX = 4 * std::max(std::min<qint64>(side * strideX, kMaxKeptWeights), stripOutputs * strideX)
        + 8 * strideX + 16 * qint64(side);
    const qint64 ring = ((keepsNoWeights(ax) ? srcSize.height() : std::min<qint64>(strideY, srcSize.height())) * side + 1)
        * qint64(sizeof(Pixel));
    const qint64 vertical = strideY * (4 + 8 + 8) + 2 * side * qint64(sizeof(Pixel));
    const qint64 block = kBlockPixels * (8 + 4);
    return canvas + sourceRow + weightsX + ring + vertical + block;
}

} // namespace imaging
