#include "imaging/ColourSpace.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace imaging {

namespace {

using Profile = std::unique_ptr<void, decltype(&cmsCloseProfile)>;
using Transform = std::unique_ptr<void, decltype(&cmsDeleteTransform)>;

// A QRgb is 0xAARRGGBB in a 32-bit word: blue first in memory on a
// little-endian machine. RGBA64 keeps its 16-bit channels in memory order.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr cmsUInt32Number kQRgbLayout = TYPE_BGRA_8;
#else
constexpr cmsUInt32Number kQRgbLayout = TYPE_ARGB_8;
#endif
constexpr cmsUInt32Number kRgba64Layout = TYPE_RGBA_16;

/** sRGB's tone curve (IEC 61966-2-1) as littleCMS's parametric curve of type 4. */
constexpr cmsFloat64Number kSrgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};

/**
 * The profile of the declared colour space; null when it is sRGB, when
 * nothing is declared, or when the declaration cannot be read.
 *
 * gAMA and cHRM describe an RGB space with a power-law tone curve. A gAMA
 * within 5% of 1/2.2 stands for sRGB's own curve, as libpng and the common
 * viewers take it: countless sRGB files carry that gAMA, and converting
 * them with a pure 2.2 power would darken their shadows. With no cHRM, or
 * sRGB's own (as ImageMagick writes by default), that is sRGB itself.
 */
Profile declaredProfile(const DeclaredColour &declared)
{
    if (!declared.iccProfile.isEmpty())
        return {cmsOpenProfileFromMem(declared.iccProfile.constData(), cmsUInt32Number(declared.iccProfile.size())),
                cmsCloseProfile};
    const auto &c = declared.chromaticities;
    const bool chromaticities = std::any_of(c.begin(), c.end(), [](quint32 v) { return v != 0; });
    const double exponent = declared.gamma != 0 ? 1e5 / declared.gamma : 2.2;
    const bool srgbCurve = std::abs(exponent / 2.2 - 1.0) <= 0.05;
    constexpr std::array<quint32, 8> kSrgbChromaticities = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
    const bool srgbPrimaries = !chromaticities
        || std::equal(c.begin(), c.end(), kSrgbChromaticities.begin(), [](quint32 a, quint32 b) { return std::abs(qint64(a) - qint64(b)) <= 100; }); // within 0.001
    if (declared.srgb || (declared.gamma == 0 && !chromaticities) || (srgbCurve && srgbPrimaries))
        return {nullptr, cmsCloseProfile};

    cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    if (chromaticities) {
        if (c[1] == 0 || c[3] == 0 || c[5] == 0 || c[7] == 0)
            return {nullptr, cmsCloseProfile};
        white = {c[0] / 1e5, c[1] / 1e5, 1.0};
        primaries = {{c[2] / 1e5, c[3] / 1e5, 1.0}, {c[4] / 1e5, c[5] / 1e5, 1.0}, {c[6] / 1e5, c[7] / 1e5, 1.0}};
    }
    cmsToneCurve *curve = srgbCurve ? cmsBuildParametricToneCurve(nullptr, 4, kSrgbCurve) : cmsBuildGamma(nullptr, exponent);
    if (!curve)
        return {nullptr, cmsCloseProfile};
    cmsToneCurve *curves[3] = {curve, curve, curve};
    Profile profile(cmsCreateRGBProfile(&white, &primaries, curves), cmsCloseProfile);
    cmsFreeToneCurve(curve);
    return profile;
}

Transform makeTransform(cmsHPROFILE from, cmsUInt32Number fromLayout, cmsHPROFILE to, cmsUInt32Number toLayout)
{
    return {cmsCreateTransform(from, fromLayout, to, toLayout, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_COPY_ALPHA),
            cmsDeleteTransform};
}

/**
 * For each 16-bit grey level, the level of the sRGB grey it becomes: what
 * a grey profile gives a grey pixel, or an RGB profile a neutral one.
 * Empty when every level stays within one 8-bit level of itself.
 */
std::vector<quint16> greyLevels(cmsHPROFILE profile, cmsHPROFILE srgb)
{
    const bool grey = cmsGetColorSpace(profile) == cmsSigGrayData;
    const Transform transform = makeTransform(profile, grey ? TYPE_GRAY_16 : TYPE_RGB_16, srgb, TYPE_RGB_16);
    if (!transform)
        return {};
    constexpr int kLevels = 65536;
    const int channels = grey ? 1 : 3;
    std::vector<quint16> in(size_t(kLevels) * channels);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = quint16(i / channels);
    std::vector<quint16> out(size_t(kLevels) * 3);
    cmsDoTransform(transform.get(), in.data(), out.data(), kLevels);
    std::vector<quint16> levels(kLevels);
    bool unchanged = true;
    for (int i = 0; i < kLevels; ++i) {
        levels[i] = out[size_t(i) * 3 + 1]; // green: a neutral grey's channels differ by rounding only
        unchanged = unchanged && std::abs(levels[i] - i) <= 257;
    }
    return unchanged ? std::vector<quint16>() : levels;
}

void mapGreyLevels(QImage &image, const std::vector<quint16> &levels)
{
    uchar levels8[256];
    for (int v = 0; v < 256; ++v)
        levels8[v] = uchar((levels[v * 257] + 128) / 257);
    const auto map = [&](QRgb p) { return qRgba(levels8[qRed(p)], levels8[qGreen(p)], levels8[qBlue(p)], qAlpha(p)); };
    if (image.colorCount() > 0) {
        QList<QRgb> table = image.colorTable();
        std::transform(table.begin(), table.end(), table.begin(), map);
        image.setColorTable(table);
        return;
    }
    const QImage::Format format = image.format();
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        uchar *line = image.scanLine(y);
        if (format == QImage::Format_Grayscale8) {
            for (int x = 0; x < width; ++x)
                line[x] = levels8[line[x]];
        } else if (format == QImage::Format_Grayscale16) {
            auto *pixels = reinterpret_cast<quint16 *>(line);
            for (int x = 0; x < width; ++x)
                pixels[x] = levels[pixels[x]];
        } else if (image.depth() == 64) { // RGBX64, RGBA64
            auto *pixels = reinterpret_cast<QRgba64 *>(line);
            for (int x = 0; x < width; ++x) {
                const QRgba64 p = pixels[x];
                pixels[x] = QRgba64::fromRgba64(levels[p.red()], levels[p.green()], levels[p.blue()], p.alpha());
            }
        } else if (format == QImage::Format_RGB888 || format == QImage::Format_RGBA8888) {
            const int step = format == QImage::Format_RGB888 ? 3 : 4;
            for (int x = 0; x < width; ++x) {
                uchar *p = line + step * x;
                p[0] = levels8[p[0]];
                p[1] = levels8[p[1]];
                p[2] = levels8[p[2]];
            }
        } else { // RGB32, ARGB32
            auto *pixels = reinterpret_cast<QRgb *>(line);
            for (int x = 0; x < width; ++x)
                pixels[x] = map(pixels[x]);
        }
    }
}

/** Every colour pixel (or colour-table entry) through the profile to sRGB. */
void transformColours(QImage &image, cmsHPROFILE profile, cmsHPROFILE srgb)
{
    const Transform rgb8 = makeTransform(profile, kQRgbLayout, srgb, kQRgbLayout);
    if (!rgb8)
        return;
    // A profile that maps a 6x6x6 grid of colours to themselves within one
    // level is sRGB, or as near as makes no difference: many cameras and
    // editors embed one. Such an image is left as it is.
    std::vector<QRgb> grid;
    for (int i = 0; i < 216; ++i)
        grid.push_back(qRgb(i / 36 * 51, i / 6 % 6 * 51, i % 6 * 51));
    std::vector<QRgb> mapped(grid.size());
    cmsDoTransform(rgb8.get(), grid.data(), mapped.data(), cmsUInt32Number(grid.size()));
    const auto near = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) <= 1 && std::abs(qGreen(a) - qGreen(b)) <= 1 && std::abs(qBlue(a) - qBlue(b)) <= 1;
    };
    if (std::equal(grid.begin(), grid.end(), mapped.begin(), near))
        return;

    if (image.colorCount() > 0) {
        QList<QRgb> table = image.colorTable();
        QList<QRgb> converted(table.size());
        cmsDoTransform(rgb8.get(), table.constData(), converted.data(), cmsUInt32Number(table.size()));
        image.setColorTable(converted);
        return;
    }
    const bool deep = image.depth() == 64;
    // 16-bit pixels, and those whose bytes lie in another order than QRgb's, need a transform of their own.
    cmsUInt32Number layout = 0;
    if (deep)
        layout = kRgba64Layout;
    else if (image.format() == QImage::Format_RGB888)
        layout = TYPE_RGB_8;
    else if (image.format() == QImage::Format_RGBA8888)
        layout = TYPE_RGBA_8;
    const Transform own = layout ? makeTransform(profile, layout, srgb, layout) : Transform(nullptr, cmsDeleteTransform);
    cmsHTRANSFORM transform = layout ? own.get() : rgb8.get();
    if (!transform)
        return;
    for (int y = 0; y < image.height(); ++y) {
        uchar *line = image.scanLine(y);
        cmsDoTransform(transform, line, line, cmsUInt32Number(image.width())); // littleCMS works in place
    }
}

} // namespace

void convertToSrgb(QImage &image, const DeclaredColour &declared)
{
    const Profile profile = declaredProfile(declared);
    if (!profile || image.isNull())
        return;
    const cmsColorSpaceSignature space = cmsGetColorSpace(profile.get());
    if (space != cmsSigRgbData && space != cmsSigGrayData)
        return;

    // The formats the conversion works on in place; our PNG and JPEG
    // decoders and Qt's GIF reader produce no others. Premultiplied colour is unpremultiplied.
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_RGB888:
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
        break;
    default:
        image.convertTo(image.depth() > 32 ? QImage::Format_RGBA64 : QImage::Format_ARGB32);
        break;
    }

    const Profile srgb(cmsCreate_sRGBProfile(), cmsCloseProfile);
    const bool greyImage = image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    if (space == cmsSigGrayData || greyImage) {
        const std::vector<quint16> levels = greyLevels(profile.get(), srgb.get());
        if (!levels.empty())
            mapGreyLevels(image, levels);
    } else {
        transformColours(image, profile.get(), srgb.get());
    }
}

} // namespace imaging
