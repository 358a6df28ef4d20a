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

Pixel toPixel(int r, int g, int b, int a)
{
    return __builtin_convertvector((Ints{r, g, b, a}), Pixel);
}

Pixel unpackPremultiplied(QRgb p)
{
    return toPixel(qRed(p), qGreen(p), qBlue(p), qAlpha(p));
}

/** A straight (not premultiplied) pixel, channels 0..255, premultiplied. */
Pixel premultiplied(Pixel p)
{
    const float alpha = p[3];
    p = p * (alpha / 255.0f);
    p[3] = alpha;
    return p;
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
            for (qsizetype i = 0; i < colours.size() && i < 256; ++i)
                m_palette[size_t(i)] = premultiplied(unpackPremultiplied(colours[i]));
        }
    }

    /** Source row y into out[0, width). */
    void load(int y, Pixel *out)
    {
        const int width = m_src.width();
        const uchar *line = m_src.constScanLine(y);
        const auto *argb = reinterpret_cast<const QRgb *>(line);
        const auto *rgba64 = reinterpret_cast<const quint16 *>(line);
        switch (m_src.format()) {
        case QImage::Format_ARGB32_Premultiplied:
            for (int x = 0; x < width; ++x)
                out[x] = unpackPremultiplied(argb[x]);
            break;
        case QImage::Format_RGB32:
            for (int x = 0; x < width; ++x)
                out[x] = unpackPremultiplied(argb[x] | 0xff000000u);
            break;
        case QImage::Format_ARGB32:
            for (int x = 0; x < width; ++x) {
                const Pixel p = unpackPremultiplied(argb[x]);
                const float alpha = p[3];
                out[x] = p * (alpha / 255.0f);
                out[x][3] = alpha;
            }
            break;
        case QImage::Format_RGBA8888:
            for (int x = 0; x < width; ++x)
                out[x] = premultiplied(toPixel(line[4 * x], line[4 * x + 1], line[4 * x + 2], line[4 * x + 3]));
            break;
        case QImage::Format_RGBX8888:
        case QImage::Format_RGBA8888_Premultiplied:
            for (int x = 0; x < width; ++x)
                out[x] = toPixel(line[4 * x], line[4 * x + 1], line[4 * x + 2],
                                 m_src.format() == QImage::Format_RGBX8888 ? 255 : line[4 * x + 3]);
            break;
        case QImage::Format_Indexed8:
            for (int x = 0; x < width; ++x)
                out[x] = m_palette[line[x]];
            break;
        case QImage::Format_Grayscale8:
            for (int x = 0; x < width; ++x)
                out[x] = toPixel(line[x], line[x], line[x], 255);
            break;
        case QImage::Format_RGBA64:
        case QImage::Format_RGBX64:
            // 16-bit channels, kept at their full precision.
            for (int x = 0; x < width; ++x) {
                const quint16 *p = rgba64 + 4 * x;
                const int alpha = m_src.format() == QImage::Format_RGBX64 ? 65535 : p[3];
                out[x] = premultiplied(toPixel(p[0], p[1], p[2], alpha) * (1.0f / 257.0f));
            }
            break;
        default: {
            constexpr int kBlockRows = 16;
            if (m_block.isNull() || y < m_blockStart || y >= m_blockStart + m_block.height()) {
                m_blockStart = y;
                m_block = m_src.copy(0, y, width, std::min(kBlockRows, m_src.height() - y))
                              .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            }
            const auto *in = reinterpret_cast<const QRgb *>(m_block.constScanLine(y - m_blockStart));
            for (int x = 0; x < width; ++x)
                out[x] = unpackPremultiplied(in[x]);
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

/**
 * The sum of w[t] * p[t] over taps pixels, with t in whole tap groups (the
 * padding weights are zero). Four accumulators let the additions overlap.
 */
Pixel weightedSum(const float *w, const Pixel *p, int taps)
{
    Pixel a0 = {}, a1 = {}, a2 = {}, a3 = {};
    for (int t = 0; t < taps; t += kTapGroup) {
        a0 += w[t] * p[t];
        a1 += w[t + 1] * p[t + 1];
        a2 += w[t + 2] * p[t + 2];
        a3 += w[t + 3] * p[t + 3];
    }
    return (a0 + a1) + (a2 + a3);
}

/** The same over column j of rows[0..taps). */
Pixel weightedSum(const float *w, const Pixel *const *rows, int j, int taps)
{
    Pixel a0 = {}, a1 = {}, a2 = {}, a3 = {};
    for (int t = 0; t < taps; t += kTapGroup) {
        a0 += w[t] * rows[t][j];
        a1 += w[t + 1] * rows[t + 1][j];
        a2 += w[t + 2] * rows[t + 2][j];
        a3 += w[t + 3] * rows[t + 3][j];
    }
    return (a0 + a1) + (a2 + a3);
}

/**
 * out[j] = the sum of w[t] * rows[t][j] over the taps, for j < count: one
 * canvas row from the horizontally filtered rows. rows has whole tap
 * groups; the padding weights are zero.
 */
void weightedRows(const float *w, const Pixel *const *rows, int taps, int count, Pixel *out)
{
    for (int j = 0; j < count; ++j)
        out[j] = weightedSum(w, rows, j, taps);
}

void filterRow(const Pixel *in, const AxisFilter &fx, Pixel *out)
{
    for (int j = 0; j < fx.outCount; ++j)
        out[j] = weightedSum(&fx.weights[size_t(j) * fx.stride], in + fx.start[j], fx.taps[j]);
}

/**
 * Filtered premultiplied pixels as straight RGBA bytes, kStoreGroup at a
 * time, one pixel per lane. Lanczos rings, so each value is first brought
 * back into range: alpha to 0..255 and colour to 0..alpha. The rectangle's
 * coverage then scales alpha only; the straight colour does not depend on
 * it. in and coverage hold whole groups; only count pixels are written.
 */
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
        std::memcpy(out + 4 * j, staged, size_t(std::min(kStoreGroup, count - j)) * 4);
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
    // the filter passes would multiply by 1 and add 0, so they are skipped.
    if (isCopy(fx) && isCopy(fy)) {
        for (int k = 0; k < fy.outCount; ++k) {
            loader.load(fy.start[k], sourceRow.data());
            storeRow(sourceRow.data() + fx.start[0], fx.coverage.data(), 1.0f, fx.outCount, canvasRow(k));
        }
        return canvas;
    }

    // Horizontal pass first, one source row at a time, into a ring of the
    // last fy.maxTaps filtered rows; the vertical pass reads the ring. Source
    // rows are filtered once each and the working set stays small.
    std::vector<Pixel> ring(size_t(fy.maxTaps) * fx.outCount);
    std::vector<const Pixel *> rows(size_t(fy.stride), ring.data());
    std::vector<Pixel> line(fx.coverage.size());
    const auto ringRow = [&](int y) { return ring.data() + size_t(y % fy.maxTaps) * fx.outCount; };
    int nextSourceRow = fy.start[0];

    for (int k = 0; k < fy.outCount; ++k) {
        const int firstRow = fy.start[k];
        const int taps = fy.taps[k];
        for (; nextSourceRow < firstRow + taps; ++nextSourceRow) {
            loader.load(nextSourceRow, sourceRow.data());
            filterRow(sourceRow.data(), fx, ringRow(nextSourceRow));
        }
        for (int t = 0; t < taps; ++t)
            rows[t] = ringRow(firstRow + t);
        weightedRows(&fy.weights[size_t(k) * fy.stride], rows.data(), taps, fx.outCount, line.data());
        storeRow(line.data(), fx.coverage.data(), fy.coverage[k], fx.outCount, canvasRow(k));
    }
    return canvas;
}

} // namespace imaging
