#include "imaging/Resample.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace imaging {

namespace {

constexpr double kLobes = 3.0;

/**
 * One pixel as four floats (blue, green, red, alpha; premultiplied; 0..255)
 * that the compiler keeps in one SIMD register, so that a filter tap is one
 * multiply-add for all channels. A GCC/Clang vector extension.
 */
using Pixel = float __attribute__((vector_size(16)));
using Ints = int __attribute__((vector_size(16)));

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
    std::vector<float> coverage;
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
    filter.coverage.resize(filter.outCount);

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

Pixel unpackPremultiplied(QRgb p)
{
    const Ints channels = {int(p & 0xff), int((p >> 8) & 0xff), int((p >> 16) & 0xff), int(p >> 24)};
    return __builtin_convertvector(channels, Pixel);
}

/** Source row y as premultiplied float pixels. */
void loadRow(const QImage &src, int y, Pixel *out)
{
    const int width = src.width();
    switch (src.format()) {
    case QImage::Format_ARGB32_Premultiplied: {
        const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        for (int x = 0; x < width; ++x)
            out[x] = unpackPremultiplied(in[x]);
        break;
    }
    case QImage::Format_RGB32: {
        const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        for (int x = 0; x < width; ++x)
            out[x] = unpackPremultiplied(in[x] | 0xff000000u);
        break;
    }
    case QImage::Format_ARGB32: {
        const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const Pixel p = unpackPremultiplied(in[x]);
            const float alpha = p[3];
            out[x] = p * (alpha / 255.0f);
            out[x][3] = alpha;
        }
        break;
    }
    default: {
        // Palette, grey, 16-bit and other layouts: let Qt convert one row at
        // a time, which never holds a second full-size copy of the picture.
        const QImage row = src.copy(0, y, width, 1).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const auto *in = reinterpret_cast<const QRgb *>(row.constScanLine(0));
        for (int x = 0; x < width; ++x)
            out[x] = unpackPremultiplied(in[x]);
        break;
    }
    }
}

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
    int t = 0;
    for (; t + kTapGroup <= taps; t += kTapGroup) {
        a0 += w[t] * rows[t][j];
        a1 += w[t + 1] * rows[t + 1][j];
        a2 += w[t + 2] * rows[t + 2][j];
        a3 += w[t + 3] * rows[t + 3][j];
    }
    for (; t < taps; ++t)
        a0 += w[t] * rows[t][j];
    return (a0 + a1) + (a2 + a3);
}

void filterRow(const Pixel *in, const AxisFilter &fx, Pixel *out)
{
    for (int j = 0; j < fx.outCount; ++j)
        out[j] = weightedSum(&fx.weights[size_t(j) * fx.stride], in + fx.start[j], fx.taps[j]);
}

/**
 * A filtered premultiplied pixel as straight ARGB32. Lanczos rings, so the
 * value is first brought back into range: alpha to 0..255 and colour to
 * 0..alpha. The rectangle's coverage then scales alpha only; the straight
 * colour does not depend on it.
 */
QRgb toStraight(Pixel p, float coverage)
{
    const float alpha = std::clamp(p[3], 0.0f, 255.0f);
    const int a = int(alpha * coverage + 0.5f);
    if (a == 0)
        return 0;
    const float unpremultiply = 255.0f / alpha;
    const auto channel = [&](float c) { return int(std::clamp(c, 0.0f, alpha) * unpremultiply + 0.5f); };
    return qRgba(channel(p[2]), channel(p[1]), channel(p[0]), a);
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
    QImage canvas(side, side, QImage::Format_ARGB32);
    if (canvas.isNull())
        return canvas;
    canvas.fill(Qt::transparent);

    const AxisFilter fx = makeAxisFilter(src.width(), srcExtent.width(), dst.x(), dst.width(), side);
    const AxisFilter fy = makeAxisFilter(src.height(), srcExtent.height(), dst.y(), dst.height(), side);
    if (fx.outCount == 0 || fy.outCount == 0)
        return canvas;

    // Horizontal pass first, one source row at a time, into a ring of the
    // last fy.maxTaps filtered rows; the vertical pass reads the ring. Source
    // rows are filtered once each and the working set stays small. The
    // source row has a tap group of spare zero pixels at its end, which the
    // zero padding weights may read.
    std::vector<Pixel> sourceRow(size_t(src.width()) + kTapGroup, Pixel{});
    std::vector<Pixel> ring(size_t(fy.maxTaps) * fx.outCount);
    std::vector<const Pixel *> rows(size_t(fy.maxTaps));
    const auto ringRow = [&](int y) { return ring.data() + size_t(y % fy.maxTaps) * fx.outCount; };
    int nextSourceRow = fy.start[0];

    for (int k = 0; k < fy.outCount; ++k) {
        const int firstRow = fy.start[k];
        const int taps = fy.taps[k];
        for (; nextSourceRow < firstRow + taps; ++nextSourceRow) {
            loadRow(src, nextSourceRow, sourceRow.data());
            filterRow(sourceRow.data(), fx, ringRow(nextSourceRow));
        }
        for (int t = 0; t < taps; ++t)
            rows[t] = ringRow(firstRow + t);

        const float *w = &fy.weights[size_t(k) * fy.stride];
        auto *out = reinterpret_cast<QRgb *>(canvas.scanLine(fy.firstOut + k)) + fx.firstOut;
        const float rowCoverage = fy.coverage[k];
        for (int j = 0; j < fx.outCount; ++j)
            out[j] = toStraight(weightedSum(w, rows.data(), j, taps), fx.coverage[j] * rowCoverage);
    }
    return canvas;
}

} // namespace imaging
