#include "tests/imaging/ReferenceResample.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

double sinc(double x)
{
    return x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
}

double lanczos3(double t)
{
    return std::abs(t) < 3.0 ? sinc(t) * sinc(t / 3.0) : 0.0;
}

struct Tap
{
    int index;
    double weight;
};

/** Canvas pixel i along an axis: its coverage and its source taps. */
struct AxisSample
{
    double coverage = 0.0;
    std::vector<Tap> taps;
};

AxisSample sampleAxis(int i, int n, double start, double length)
{
    AxisSample sample;
    sample.coverage = std::clamp(std::min(i + 1.0, start + length) - std::max(double(i), start), 0.0, 1.0);
    if (sample.coverage == 0.0)
        return sample;
    const double scale = length / n; // canvas pixels per source pixel
    const double squeeze = std::min(scale, 1.0);
    const double centre = (i + 0.5 - start) / scale; // sampled point in source pixels
    const double reach = 3.0 / squeeze;
    std::vector<double> weights(n, 0.0);
    double sum = 0.0;
    for (int s = int(std::floor(centre - reach)) - 1; s <= int(std::ceil(centre + reach)) + 1; ++s) {
        const double w = lanczos3((s + 0.5 - centre) * squeeze);
        weights[std::clamp(s, 0, n - 1)] += w;
        sum += w;
    }
    for (int s = 0; s < n; ++s)
        if (weights[s] != 0.0)
            sample.taps.push_back({s, weights[s] / sum});
    return sample;
}

} // namespace

std::vector<double> referenceRender(const QImage &image, const QRectF &dst, int side)
{
    const QImage src = image.convertToFormat(QImage::Format_ARGB32);
    const int width = src.width();
    const int height = src.height();
    std::vector<std::array<double, 4>> pixels(size_t(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb p = src.pixel(x, y);
            const double a = qAlpha(p);
            pixels[size_t(y) * width + x] = {qRed(p) * a / 255.0, qGreen(p) * a / 255.0, qBlue(p) * a / 255.0, a};
        }
    }

    std::vector<AxisSample> columns(side), rows(side);
    for (int i = 0; i < side; ++i) {
        columns[i] = sampleAxis(i, width, dst.x(), dst.width());
        rows[i] = sampleAxis(i, height, dst.y(), dst.height());
    }

    std::vector<double> out(size_t(side) * side * 4, 0.0);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const double coverage = columns[x].coverage * rows[y].coverage;
            if (coverage == 0.0)
                continue;
            std::array<double, 4> sum = {0.0, 0.0, 0.0, 0.0};
            for (const Tap &ty : rows[y].taps)
                for (const Tap &tx : columns[x].taps)
                    for (int c = 0; c < 4; ++c)
                        sum[c] += ty.weight * tx.weight * pixels[size_t(ty.index) * width + tx.index][c];
            const double alpha = std::clamp(sum[3], 0.0, 255.0);
            double *o = &out[(size_t(y) * side + x) * 4];
            for (int c = 0; c < 3; ++c)
                o[c] = std::clamp(sum[c], 0.0, alpha) * coverage;
            o[3] = alpha * coverage;
        }
    }
    return out;
}
