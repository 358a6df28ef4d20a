#include "imaging/Resample.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace imaging {

namespace {

constexpr double kLobes = 3.0;

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

/**
 * The filter along one axis, precomputed once: for every canvas pixel the
 * destination rectangle touches, the run of source pixels it reads, their
 * weights (summing to 1), and the share of the canvas pixel inside the
 * rectangle.
 */
struct AxisFilter
{
    int firstOut = 0; // first canvas pixel touched
    int outCount = 0; // number of canvas pixels touched
    int stride = 0;   // weights stored per canvas pixel
    int maxTaps = 0;  // longest run of source pixels any canvas pixel reads
    std::vector<int> start;
    std::vector<int> taps;
    std::vector<float> weights;
    std::vector<float> coverage; // padded with zeros to whole groups of kStoreGroup
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

/**
 * srcLength source pixels, whose full picture measures srcExtent of them,
 * drawn over [dstStart, dstStart + dstLength) of a canvas side pixels long.
 * Positions are continuous: pixel i spans [i, i + 1] and is sampled at its
 * centre. Source pixels beyond either end repeat the edge pixel.
 */
AxisFilter makeAxisFilter(int srcLength, double srcExtent, double dstStart, double dstLength, int side)
{
    AxisFilter filter;
    const double dstEnd = dstStart + dstLength;
    const int first = std::max(0, int(std::floor(dstStart)));
    const int end = std::min(side, int(std::ceil(dstEnd)));
    if (end <= first || srcLength <= 0 || !(srcExtent > 0.0) || !(dstLength > 0.0))
        return filter;

    const double scale = dstLength / srcExtent;          // canvas pixels per source pixel
    const double kernelStep = std::min(scale, 1.0);      // widen the kernel when shrinking
    const double radius = kLobes / kernelStep;           // in source pixels
    filter.firstOut = first;
    filter.outCount = end - first;
    const int tapsBound = int(std::ceil(2.0 * radius)) + 1;
    filter.stride = (tapsBound + kTapGroup - 1) / kTapGroup * kTapGroup;
    filter.start.resize(filter.outCount);
    filter.taps.resize(filter.outCount);
    filter.weights.assign(size_t(filter.outCount) * filter.stride, 0.0f);
    filter.coverage.assign(size_t(filter.outCount + kStoreGroup - 1) / kStoreGroup * kStoreGroup, 0.0f);

    std::vector<double> w(filter.stride);
    for (int j = first; j < end; ++j) {
        const int k = j - first;
        const double centre = (j + 0.5 - dstStart) / scale; // in source pixels
        const int lo = int(std::ceil(centre - radius - 0.5));
        const int hi = int(std::floor(centre + radius - 0.5));
        const int clampedLo = std::clamp(lo, 0, srcLength - 1);
        const int clampedHi = std::clamp(hi, 0, srcLength - 1);

        std::fill(w.begin(), w.end(), 0.0);
        double sum = 0.0;
        for (int i = lo; i <= hi; ++i) {
            const double weight = tabulatedLanczos3((i + 0.5 - centre) * kernelStep);
            w[std::clamp(i, 0, srcLength - 1) - clampedLo] += weight;
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
            filter.weights[size_t(k) * filter.stride + t] = float(w[from + t] / sum);
        filter.start[k] = clampedLo + from;
        filter.taps[k] = taps;
        filter.maxTaps = std::max(filter.maxTaps, taps);
        filter.coverage[k] = float(std::clamp(std::min(j + 1.0, dstEnd) - std::max(double(j), dstStart), 0.0, 1.0));
    }
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
 * Reads source rows as premultiplied float pixels. The formats that Qt's
 * decoders produce are read directly; any other is converted by Qt a block
 * of rows at a time, which never holds a second full-size copy of the
 * picture.
 */
class RowLoader
{
public:
    explicit RowLoader(const QImage &src)
        : m_src(src)
    {
        if (src.format() == QImage::Format_Indexed8) {
            const QList<QRgb> colours = src.colorTable();
            m_palette.assign(256, Pixel{});
            for (qsizetype i = 0; i < colours.size() && i < 256; ++i) {
                const QRgb c = colours[i];
                m_palette[size_t(i)] = premultiplied(toPixel(qRed(c), qGreen(c), qBlue(c), qAlpha(c)));
            }
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
        case QImage::Format_RGBX8888:
            for (int x = 0; x < count; ++x)
                put(x, rgba[4 * x], rgba[4 * x + 1], rgba[4 * x + 2], 255);
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

    /** Source row y into out[0, width). */
    VELK_SIMD_CLONES void load(int y, Pixel *out)
    {
        const int width = m_src.width();
        const uchar *line = m_src.constScanLine(y);
        const auto *words = reinterpret_cast<const quint16 *>(line);
        constexpr float k16To8 = 1.0f / 257.0f;
        switch (m_src.format()) {
        case QImage::Format_ARGB32_Premultiplied:
            toFloats(line, width, 1.0f, out);
            arrange<Order::Argb32, false, false>(out, width);
            break;
        case QImage::Format_RGB32:
            toFloats(line, width, 1.0f, out);
            arrange<Order::Argb32, true, false>(out, width);
            break;
        case QImage::Format_ARGB32:
            toFloats(line, width, 1.0f, out);
            arrange<Order::Argb32, false, true>(out, width);
            break;
        case QImage::Format_RGBA8888:
            toFloats(line, width, 1.0f, out);
            arrange<Order::Rgba, false, true>(out, width);
            break;
        case QImage::Format_RGBX8888:
            toFloats(line, width, 1.0f, out);
            arrange<Order::Rgba, true, false>(out, width);
            break;
        case QImage::Format_RGBA8888_Premultiplied:
            toFloats(line, width, 1.0f, out);
            break;
        case QImage::Format_RGBA64: // 16-bit channels keep their precision
            toFloats(words, width, k16To8, out);
            arrange<Order::Rgba, false, true>(out, width);
            break;
        case QImage::Format_RGBX64:
            toFloats(words, width, k16To8, out);
            arrange<Order::Rgba, true, false>(out, width);
            break;
        case QImage::Format_RGBA64_Premultiplied:
            toFloats(words, width, k16To8, out);
            break;
        case QImage::Format_Indexed8:
            for (int x = 0; x < width; ++x)
                out[x] = m_palette[line[x]];
            break;
        case QImage::Format_Grayscale8:
            for (int x = 0; x < width; ++x) {
                const float grey = line[x];
                out[x] = Pixel{grey, grey, grey, 255.0f};
            }
            break;
        default: {
            constexpr int kBlockRows = 16;
            if (m_block.isNull() || y < m_blockStart || y >= m_blockStart + m_block.height()) {
                m_blockStart = y;
                m_block = m_src.copy(0, y, width, std::min(kBlockRows, m_src.height() - y))
                              .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            }
            toFloats(m_block.constScanLine(y - m_blockStart), width, 1.0f, out);
            arrange<Order::Argb32, false, false>(out, width);
            break;
        }
        }
    }

private:
    const QImage &m_src;
    std::vector<Pixel> m_palette;
    QImage m_block;
    int m_blockStart = 0;
};

/** Two pixels side by side, eight floats: one AVX register, two SSE ones. */
using PixelPair = float __attribute__((vector_size(32)));


/** Each of the weights four times over, a whole pixel of them per weight. */
std::vector<float> spreadWeights(const std::vector<float> &weights)
{
    std::vector<float> spread(weights.size() * 4);
    for (size_t i = 0; i < weights.size(); ++i)
        std::fill_n(&spread[4 * i], 4, weights[i]);
    return spread;
}

/**
 * One source row filtered horizontally: out[j] = the sum of w[t] * in[start
 * + t] over canvas pixel j's taps, two taps at a time. spread holds fx's
 * weights from spreadWeights(); the padding weights are zero, and in has a
 * tap group of spare pixels at its end.
 */
VELK_SIMD_CLONES
void filterRow(const Pixel *in, const AxisFilter &fx, const float *spread, Pixel *out)
{
    for (int j = 0; j < fx.outCount; ++j) {
        const float *w = spread + size_t(j) * fx.stride * 4;
        const Pixel *p = in + fx.start[j];
        PixelPair a0 = {}, a1 = {};
        for (int t = 0; t < fx.taps[j]; t += kTapGroup) {
            PixelPair w0, w1, p0, p1;
            std::memcpy(&w0, w + 4 * t, sizeof w0);
            std::memcpy(&w1, w + 4 * t + 8, sizeof w1);
            std::memcpy(&p0, p + t, sizeof p0);
            std::memcpy(&p1, p + t + 2, sizeof p1);
            a0 += w0 * p0;
            a1 += w1 * p1;
        }
        const PixelPair sum = a0 + a1;
        out[j] = __builtin_shufflevector(sum, sum, 0, 1, 2, 3) + __builtin_shufflevector(sum, sum, 4, 5, 6, 7);
    }
}

/**
 * One canvas row from the horizontally filtered rows: out[j] = the sum of
 * w[t] * rows[t][j] over the taps, two pixels at a time, for j < count
 * rounded up to even. rows holds whole tap groups, the padding weights are
 * zero, and each row can be read one pixel past count.
 */
VELK_SIMD_CLONES
void weightedRows(const float *w, const Pixel *const *rows, int taps, int count, Pixel *out)
{
    for (int j = 0; j < count; j += 2) {
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
 * Filtered premultiplied pixels as straight RGBA bytes, kStoreGroup at a
 * time, one pixel per lane. Lanczos rings, so each value is first brought
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

QImage renderFitted(const QImage &src, const QSizeF &srcExtent, const QRectF &dst, int side)
{
    QImage canvas(side, side, QImage::Format_RGBA8888);
    if (canvas.isNull())
        return canvas;
    canvas.fill(Qt::transparent);

    const AxisFilter fx = makeAxisFilter(src.width(), srcExtent.width(), dst.x(), dst.width(), side);
    const AxisFilter fy = makeAxisFilter(src.height(), srcExtent.height(), dst.y(), dst.height(), side);
    if (fx.outCount == 0 || fy.outCount == 0)
        return canvas;

    RowLoader loader(src);
    const auto canvasRow = [&](int k) { return canvas.scanLine(fy.firstOut + k) + 4 * fx.firstOut; };
    // The source row has a tap group of spare zero pixels at its end, which
    // the zero padding weights may read.
    std::vector<Pixel> sourceRow(size_t(src.width()) + std::max(kTapGroup, kStoreGroup), Pixel{});

    // Drawn at its own size, each source pixel lands on one canvas pixel:
    // the filter passes would multiply by 1 and add 0, so they are skipped,
    // and where the format allows, the conversion to floats and back too.
    if (isCopy(fx) && isCopy(fy)) {
        for (int k = 0; k < fy.outCount; ++k) {
            if (loader.copy(fy.start[k], fx.start[0], fx.outCount, canvasRow(k)))
                continue;
            loader.load(fy.start[k], sourceRow.data());
            storeRow(sourceRow.data() + fx.start[0], fx.coverage.data(), 1.0f, fx.outCount, canvasRow(k));
        }
        return canvas;
    }

    // Horizontal pass first, one source row at a time, into a ring of the
    // last fy.maxTaps filtered rows; the vertical pass reads the ring. Source
    // rows are filtered once each and the working set stays small.
    std::vector<Pixel> ring(size_t(fy.maxTaps) * fx.outCount + 1);
    const std::vector<float> spread = spreadWeights(fx.weights);
    std::vector<const Pixel *> rows(size_t(fy.stride), ring.data());
    std::vector<Pixel> line(fx.coverage.size());
    const auto ringRow = [&](int y) { return ring.data() + size_t(y % fy.maxTaps) * fx.outCount; };
    int nextSourceRow = fy.start[0];

    for (int k = 0; k < fy.outCount; ++k) {
        const int firstRow = fy.start[k];
        const int taps = fy.taps[k];
        for (; nextSourceRow < firstRow + taps; ++nextSourceRow) {
            loader.load(nextSourceRow, sourceRow.data());
            filterRow(sourceRow.data(), fx, spread.data(), ringRow(nextSourceRow));
        }
        for (int t = 0; t < taps; ++t)
            rows[t] = ringRow(firstRow + t);
        weightedRows(&fy.weights[size_t(k) * fy.stride], rows.data(), taps, fx.outCount, line.data());
        storeRow(line.data(), fx.coverage.data(), fy.coverage[k], fx.outCount, canvasRow(k));
    }
    return canvas;
}

} // namespace imaging
