#include "core/ServerError.h"
#include "imaging/DecodeBudget.h"
#include "imaging/ImageLoad.h"
#include "imaging/Png512.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>

#include <cstdio> // before jpeglib.h, which uses FILE
#include <jpeglib.h>
#include <lcms2.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <thread>

namespace {

constexpr int kSide = 512;

QByteArray encode(const QImage &image, const char *format, int quality = 95, bool progressive = false)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    return writer.write(image) ? buffer.data() : QByteArray();
}

// Waves of several scales, hard-edged blocks and some noise.
QImage photo(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::vector<double> across(width);
    for (int x = 0; x < width; ++x)
        across[x] = 40 * std::sin(x * 0.013) + 20 * std::sin(x * 0.11);
    QRandomGenerator random(42);
    for (int y = 0; y < height; ++y) {
        const double down = 30 * std::cos(y * 0.017) + 20 * std::sin(y * 0.093);
        for (int x = 0; x < width; ++x) {
            const int v = qBound(0, int(110 + across[x] + down + ((x / 97 + y / 61) % 3 ? 0 : 60) + random.bounded(16)), 255);
            reinterpret_cast<QRgb *>(image.scanLine(y))[x] = qRgb(v, 255 - v, (v + x / 4) % 256);
        }
    }
    return image;
}

// Concentric rings whose frequency grows with the radius: cos(pi r^2 / n).
QImage zonePlate(int n)
{
    QImage image(n, n, QImage::Format_Grayscale8);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            image.scanLine(y)[x] = uchar(std::lround(127.5 + 127.5 * std::cos(M_PI * (std::pow(x - n / 2.0, 2) + std::pow(y - n / 2.0, 2)) / n)));
    return image;
}

// Grey fog whose alpha is its grey level, split by a band of wholly transparent rows (red in colour),
// the row after the band repeating the row before it. Drawn at 512 it is copied 1:1, and the PNG
// encoder meets rows where Sub decides, and a blank row inside the upper half it filters on its own.
QImage fog(int n)
{
    QImage image(n, n, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int v = int(random.bounded(1, 255));
            image.setPixel(x, y, y > n / 8 && y < n / 4 ? qRgba(255, 0, 0, 0) : qRgba(v, v, v, v));
        }
    std::memcpy(image.scanLine(n / 4), image.scanLine(n / 8), size_t(image.bytesPerLine()));
    return image;
}

QByteArray bigEndian(quint32 v)
{
    return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v);
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    const QByteArray body = type + data;
    return bigEndian(quint32(data.size())) + body + bigEndian(quint32(crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()))));
}

// An RGBA PNG of side x side transparent pixels, 16-bit unless depth says 8: at 16 bits, 8 bytes a pixel
// decoded and a few hundred KB stored. Its image data stops after the first rows rows, each of them
// filtered by the given filter type.
QByteArray deepPng(quint32 side, quint32 rows, char filter = 0, char depth = 16)
{
    QByteArray row(qsizetype(side) * depth / 2 + 1, '\0'), idat(4 << 20, '\0');
    row[0] = filter;
    z_stream z = {};
    deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_RLE);
    z.next_out = reinterpret_cast<Bytef *>(idat.data());
    z.avail_out = uInt(idat.size());
    for (quint32 y = 0; y < rows; ++y) {
        z.next_in = reinterpret_cast<Bytef *>(row.data());
        z.avail_in = uInt(row.size());
        deflate(&z, y + 1 < rows ? Z_NO_FLUSH : Z_FINISH);
    }
    deflateEnd(&z);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", bigEndian(side) + bigEndian(side) + depth + QByteArray("\x06\0\0\0", 4))
        + pngChunk("IDAT", idat.left(qsizetype(z.total_out))) + pngChunk("IEND", {});
}

// image's grey levels and alpha as an 8-bit grey-and-alpha PNG, which Qt does not write.
QByteArray greyAlphaPng(const QImage &image)
{
    QByteArray rows;
    for (int y = 0; y < image.height(); ++y) {
        rows += '\0'; // no filter
        for (int x = 0; x < image.width(); ++x)
            rows += QByteArray(1, char(qGray(image.pixel(x, y)))) + char(qAlpha(image.pixel(x, y)));
    }
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", bigEndian(image.width()) + bigEndian(image.height()) + QByteArray("\x08\x04\0\0\0", 5))
        + pngChunk("IDAT", qCompress(rows).mid(4)) + pngChunk("IEND", {});
}

// image as a baseline JPEG written by libjpeg with a restart marker after every MCU, as cameras write them;
// in CMYK, as print work keeps it, its red, green and blue as the (inverted) cyan, magenta and yellow
// samples with a black that varies along each row; in JCS_UNKNOWN, its red and green as two components
// of no known colour space.
QByteArray jpegWithRestarts(const QImage &image, J_COLOR_SPACE space = JCS_RGB)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct c = {};
    jpeg_error_mgr errors = {};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(rgb.width());
    c.image_height = JDIMENSION(rgb.height());
    c.input_components = space == JCS_CMYK ? 4 : space == JCS_UNKNOWN ? 2 : 3;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    c.restart_interval = 1;
    jpeg_start_compress(&c, TRUE);
    std::vector<uchar> samples(size_t(rgb.width()) * 4);
    while (c.next_scanline < c.image_height) {
        const uchar *line = rgb.constScanLine(int(c.next_scanline));
        for (int x = 0; x < rgb.width(); ++x) {
            uchar *sample = samples.data() + size_t(x) * size_t(c.input_components);
            std::memcpy(sample, line + 3 * x, size_t(std::min(c.input_components, 3)));
            if (space == JCS_CMYK)
                sample[3] = uchar(128 + x % 128);
        }
        JSAMPROW row = samples.data();
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    const QByteArray bytes(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return bytes;
}

// The ICC profile littleCMS makes of a grey (or, with primaries, an RGB) space with a power-law tone curve.
QByteArray iccProfile(double exponent, const cmsCIExyYTRIPLE *primaries = nullptr)
{
    cmsToneCurve *curve = cmsBuildGamma(nullptr, exponent);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsHPROFILE profile = primaries ? cmsCreateRGBProfile(&white, primaries, curves) : cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsUInt32Number length = 0;
    cmsSaveProfileToMem(profile, nullptr, &length);
    QByteArray icc(length, '\0');
    cmsSaveProfileToMem(profile, icc.data(), &length);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return icc;
}

// png with the chunk of type and data inserted after its header.
QByteArray withChunk(QByteArray png, const QByteArray &type, const QByteArray &data)
{
    return png.insert(33, pngChunk(type, data));
}

// png with one bit of the checksum of its first chunk of type flipped.
QByteArray damagedChunk(QByteArray png, const char *type)
{
    const qsizetype at = png.indexOf(type) - 4;
    png[at + 8 + qFromBigEndian<quint32>(png.constData() + at) + 3] ^= 1;
    return png;
}

// jpeg with its frame header's height and width replaced.
QByteArray resized(QByteArray jpeg, int width, int height)
{
    const qsizetype frame = std::max(jpeg.indexOf("\xff\xc0"), jpeg.indexOf("\xff\xc2")); // baseline, progressive
    return jpeg.replace(frame + 5, 4, bigEndian(quint32(height) << 16 | quint32(width)));
}

// image taken from the space of the ICC profile icc to sRGB by littleCMS, relative colorimetric.
QImage viaLittleCms(const QImage &image, const QByteArray &icc)
{
    cmsHPROFILE from = cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size())), srgb = cmsCreate_sRGBProfile();
    const bool grey = cmsGetColorSpace(from) == cmsSigGrayData;
    const QImage in = image.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
    QImage out = in.convertToFormat(QImage::Format_RGB32); // opaque: the transform writes colour only
    cmsHTRANSFORM transform = cmsCreateTransform(from, grey ? TYPE_GRAY_8 : TYPE_BGRA_8, srgb, TYPE_BGRA_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    for (int y = 0; y < in.height(); ++y)
        cmsDoTransform(transform, in.constScanLine(y), out.scanLine(y), cmsUInt32Number(in.width()));
    cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    cmsCloseProfile(from);
    return out;
}

// Canvas pixel i along an axis: the share of it that [start, start + length) covers, and the weights of
// the n source pixels from first on, the edges repeated: enlarging, the Catmull-Rom cubic; otherwise the
// Lanczos-3 kernel, widened when shrinking.
struct Axis { double coverage = 0.0; int first = 0; std::vector<double> weights; };

Axis axis(int i, int n, double start, double length)
{
    const auto lanczos3 = [](double t) {
        const double x = std::abs(t) * M_PI;
        return x < 1e-12 ? 1.0 : x >= 3 * M_PI ? 0.0 : 3 * std::sin(x) * std::sin(x / 3) / (x * x);
    };
    const auto cubic = [](double t) { // Keys, a = -0.5
        t = std::abs(t);
        return t < 1 ? 1.5 * t * t * t - 2.5 * t * t + 1 : t < 2 ? -0.5 * t * t * t + 2.5 * t * t - 4 * t + 2 : 0.0;
    };
    Axis a{std::clamp(std::min(i + 1.0, start + length) - std::max(double(i), start), 0.0, 1.0), 0, {}};
    const double scale = length / n, squeeze = std::min(scale, 1.0), centre = (i + 0.5 - start) / scale;
    const auto kernel = [&](double t) { return scale > 1 ? cubic(t) : lanczos3(t * squeeze); };
    const double reach = scale > 1 ? 2 : 3 / squeeze;
    const int lo = int(std::floor(centre - reach)), hi = int(std::ceil(centre + reach));
    a.first = std::clamp(lo, 0, n - 1);
    a.weights.assign(size_t(std::clamp(hi, 0, n - 1) - a.first + 1), 0.0);
    double sum = 0.0;
    for (int s = lo; s <= hi; ++s) {
        const double w = kernel(s + 0.5 - centre);
        a.weights[size_t(std::clamp(s, 0, n - 1) - a.first)] += w;
        sum += w;
    }
    for (double &w : a.weights)
        w /= sum;
    return a;
}

// The drawing makePNG512 does, plainly and in double precision: premultiplied source pixels weighted
// (rows first, the weights being separable), brought into range (alpha 0..255, colour 0..alpha), scaled
// by the share of the pixel the fitted rectangle covers. Premultiplied r, g, b, a of each canvas pixel.
std::vector<std::array<double, 4>> referenceRender(const QImage &src)
{
    const QSizeF drawn = QSizeF(src.size()) * std::min(double(kSide) / src.width(), double(kSide) / src.height());
    std::vector<Axis> columns, rows;
    for (int i = 0; i < kSide; ++i) {
        columns.push_back(axis(i, src.width(), (kSide - drawn.width()) / 2, drawn.width()));
        rows.push_back(axis(i, src.height(), (kSide - drawn.height()) / 2, drawn.height()));
    }
    std::vector<std::array<double, 4>> across(size_t(src.height()) * kSide), out(size_t(kSide) * kSide);
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < kSide; ++x)
            for (size_t k = 0; k < columns[x].weights.size(); ++k) {
                const QRgb p = src.pixel(columns[x].first + int(k), y);
                const std::array<double, 4> premultiplied = {qRed(p) * qAlpha(p) / 255.0, qGreen(p) * qAlpha(p) / 255.0, qBlue(p) * qAlpha(p) / 255.0, double(qAlpha(p))};
                for (int c = 0; c < 4; ++c)
                    across[size_t(y) * kSide + x][c] += columns[x].weights[k] * premultiplied[c];
            }
    for (int i = 0; i < kSide * kSide; ++i) {
        const int x = i % kSide, y = i / kSide;
        for (size_t k = 0; k < rows[y].weights.size(); ++k)
            for (int c = 0; c < 4; ++c)
                out[i][c] += rows[y].weights[k] * across[(rows[y].first + k) * kSide + x][c];
        const double alpha = std::clamp(out[i][3], 0.0, 255.0), coverage = columns[x].coverage * rows[y].coverage;
        out[i] = {std::clamp(out[i][0], 0.0, alpha) * coverage, std::clamp(out[i][1], 0.0, alpha) * coverage, std::clamp(out[i][2], 0.0, alpha) * coverage, alpha * coverage};
    }
    return out;
}

} // namespace

class TestImaging : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    // The picture as it should be drawn: decoded by Qt, turned upright, taken to sRGB by littleCMS when it
    // carries a profile, resampled by the reference. What makePNG512 writes must match it within minimumDb,
    // never under 40 dB and otherwise just under what the conversion reaches (a flat colour comes out exact),
    // so that a fault costing a few dB shows.
    void matchesReference_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<double>("minimumDb");
        QTest::newRow("photo 1200x800, reduced, fractional bands") << encode(photo(1200, 800), "png") << QByteArray() << 60.0;
        QTest::newRow("photo 97x203, enlarged, bands left and right") << encode(photo(97, 203), "png") << QByteArray() << 62.0;
        QTest::newRow("photo 400000x3, read in strips") << encode(photo(400000, 3), "png") << QByteArray() << 80.0;
        QTest::newRow("photo 96x4096, reduced 8x") << encode(photo(96, 4096), "png") << QByteArray() << 76.0;
        QTest::newRow("zone plate 1024, reduced 2x") << encode(zonePlate(1024), "png") << QByteArray() << 58.0;
        // Decoded at the smallest power-of-two scale not below the drawn size: at 1/2, 47 dB (at 1/4, below
        // the drawn size, 41 dB); at 1/8, the partial blocks at the right and bottom edges kept, 41 dB.
        QTest::newRow("photo 1400x700 jpeg, decoded at 1/2") << encode(photo(1400, 700), "jpeg", 92) << QByteArray() << 46.0;
        QTest::newRow("photo 4099x2051 jpeg, decoded at 1/8") << encode(photo(4099, 2051), "jpeg", 92) << QByteArray() << 40.0;
        QImage greyButTop = zonePlate(512).convertToFormat(QImage::Format_RGB32);
        std::fill_n(reinterpret_cast<QRgb *>(greyButTop.scanLine(0)), 512, qRgb(255, 0, 0));
        QTest::newRow("grey but for a red top row, 1:1") << encode(greyButTop, "png") << QByteArray() << 90.0;
        QTest::newRow("fog with alpha and transparent rows, 1:1") << encode(fog(512), "png") << QByteArray() << 59.0;
        QTest::newRow("fog 512x301, 1:1 across, half a pixel down") << encode(fog(512).copy(0, 0, 512, 301), "png") << QByteArray() << 59.0;
        // An EXIF segment holding only the orientation tag: 6, turned a quarter to the right.
        const QByteArray exif = QByteArray::fromHex("ffe10022457869660000" "4d4d002a00000008000101120003000000010006000000000000");
        QTest::newRow("jpeg turned by EXIF") << encode(photo(200, 100), "jpeg").insert(2, exif) << QByteArray() << 62.0;
        QByteArray gif = testsupport::gifBytes({fog(64)});
        gif[8] = char(96); // a screen taller than the frame: the picture is the screen
        QTest::newRow("gif, screen taller than its frame") << gif << QByteArray() << 62.0;

        QImage flat(64, 64, QImage::Format_RGB32);
        flat.fill(qRgb(120, 180, 60)); // (100, 182, 26) in sRGB when it is Display P3
        QTest::newRow("linear gAMA png") << withChunk(encode(flat, "png"), "gAMA", bigEndian(100000))
                                         << QColorSpace(QColorSpace::SRgbLinear).iccProfile() << 100.0;
        // gAMA 0.8 alone: sRGB's primaries with a tone curve of exponent 1.25.
        const cmsCIExyYTRIPLE srgbPrimaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
        QTest::newRow("gAMA 0.8 png") << withChunk(encode(photo(64, 64), "png"), "gAMA", bigEndian(80000))
                                      << iccProfile(1.25, &srgbPrimaries) << 58.0;
        // gAMA 1/2.2 and cHRM with Display P3's primaries.
        const cmsCIExyYTRIPLE p3Primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
        QByteArray chrm;
        for (quint32 v : {31270, 32900, 68000, 32000, 26500, 69000, 15000, 6000})
            chrm += bigEndian(v);
        QTest::newRow("png with gAMA and cHRM") << withChunk(withChunk(encode(photo(64, 64), "png"), "gAMA", bigEndian(45455)), "cHRM", chrm)
                                                << iccProfile(1 / 0.45455, &p3Primaries) << 41.5;
        // sRGB stands over a gAMA that says otherwise.
        QTest::newRow("png with sRGB and gAMA 1.0") << withChunk(withChunk(encode(photo(64, 64), "png"), "gAMA", bigEndian(100000)), "sRGB", QByteArray(1, '\0'))
                                                    << QByteArray() << 60.0;
        QTest::newRow("grey png with gAMA 0.8") << withChunk(encode(zonePlate(64), "png"), "gAMA", bigEndian(80000))
                                                << iccProfile(1.25, &srgbPrimaries) << 58.0;
        const QByteArray grey = iccProfile(1.0); // a grey profile with a linear tone curve
        QTest::newRow("grey png with a grey profile") << withChunk(encode(zonePlate(64), "png"), "iCCP", QByteArray("grey\0\0", 6) + qCompress(grey).mid(4))
                                                      << grey << 59.0;
        flat.setColorSpace(QColorSpace::DisplayP3);
        const QByteArray p3 = flat.colorSpace().iccProfile();
        QTest::newRow("display p3 png") << encode(flat, "png") << p3 << 100.0;
        QTest::newRow("display p3 16-bit png") << encode(flat.convertToFormat(QImage::Format_RGBA64), "png") << p3 << 53.0;
        QTest::newRow("display p3 palette png") << encode(flat.convertToFormat(QImage::Format_Indexed8), "png") << p3 << 100.0;
        flat.setColorSpace(QColorSpace::AdobeRgb);
        QTest::newRow("adobe rgb jpeg") << encode(flat, "jpeg") << flat.colorSpace().iccProfile() << 100.0;
        const QByteArray app2 = bigEndian(0xffe20000 + quint32(grey.size()) + 16) + QByteArray("ICC_PROFILE\0\1\1", 14) + grey;
        QTest::newRow("grey-profile jpeg") << encode(zonePlate(64), "jpeg").insert(2, app2) << grey << 59.0;
        QTest::newRow("jpeg with restart markers") << jpegWithRestarts(photo(300, 200)) << QByteArray() << 61.0;
        QTest::newRow("cmyk jpeg") << jpegWithRestarts(photo(300, 200), JCS_CMYK) << QByteArray() << 62.0;
        // Colour hidden in transparent pixels, filtered from a palette, from 16-bit samples and from grey and alpha.
        QTest::newRow("fog palette png 512x301") << encode(fog(512).copy(0, 0, 512, 301).convertToFormat(QImage::Format_Indexed8), "png") << QByteArray() << 61.0;
        QTest::newRow("fog 16-bit png 512x301") << encode(fog(512).copy(0, 0, 512, 301).convertToFormat(QImage::Format_RGBA64), "png") << QByteArray() << 59.0;
        QTest::newRow("fog grey-and-alpha png 512x301") << greyAlphaPng(fog(512).copy(0, 0, 512, 301)) << QByteArray() << 59.0;
    }

    void matchesReference()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, profile);
        QFETCH(double, minimumDb);
        const QString path = testsupport::writeFile(m_dir, QStringLiteral("picture"), bytes);
        QImageReader reader(path);
        reader.setAutoTransform(true);
        const QImage source = reader.read();
        const auto reference = referenceRender(profile.isEmpty() ? source : viaLittleCms(source, profile));

        const QImage straight = QImage::fromData(makePNG512(path), "PNG").convertToFormat(QImage::Format_ARGB32);
        const QImage out = straight.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        double squares = 0;
        for (int i = 0; i < kSide * kSide; ++i) {
            const QRgb p = out.pixel(i % kSide, i / kSide);
            if (qAlpha(p) == 0) // and no colour hidden in a transparent pixel
                QCOMPARE(straight.pixel(i % kSide, i / kSide), 0u);
            const std::array<double, 4> &r = reference[size_t(i)];
            squares += std::pow(qRed(p) - r[0], 2) + std::pow(qGreen(p) - r[1], 2) + std::pow(qBlue(p) - r[2], 2) + std::pow(qAlpha(p) - r[3], 2);
        }
        const double db = 10 * std::log10(255.0 * 255.0 * kSide * kSide * 4 / std::max(squares, 1e-9));
        QVERIFY2(db >= minimumDb, qPrintable(QStringLiteral("%1 dB").arg(db)));
    }

    // Conversions on worker threads share one budget: claims are granted in the order made, a claim that
    // fits waits behind one that does not, and one larger than the whole budget waits to run alone.
    void budgetGrantedInOrder()
    {
        imaging::DecodeBudget budget(100);
        imaging::DecodeBudget::Grant first = budget.claim(60);
        {
            // A grant shrunk to what a decode turned out to need gives back the rest, and that on release.
            imaging::DecodeBudget::Grant shrunk = budget.claim(30);
            shrunk.shrinkTo(10);
            QCOMPARE(budget.bytesInUse(), 70);
        }
        QCOMPARE(budget.bytesInUse(), 60);
        std::latch done(1);
        const auto holder = [&](qint64 bytes) {
            return std::thread([&budget, &done, bytes] {
                const imaging::DecodeBudget::Grant grant = budget.claim(bytes);
                done.wait();
            });
        };
        std::thread large = holder(50);
        QTRY_COMPARE(budget.waitingClaims(), 1);
        std::thread small = holder(10); // would fit, but comes second
        QTRY_COMPARE(budget.waitingClaims(), 2);
        std::thread whole([&budget] { budget.claim(1000); });
        QTRY_COMPARE(budget.waitingClaims(), 3);
        QCOMPARE(budget.bytesInUse(), 60);
        first.release();
        QTRY_COMPARE(budget.waitingClaims(), 1);
        QCOMPARE(budget.bytesInUse(), 60);
        done.count_down();
        for (std::thread *thread : {&large, &small, &whole})
            thread->join();
        QCOMPARE(budget.peakBytesInUse(), 100);
        QCOMPARE(budget.bytesInUse(), 0);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray jpeg = encode(photo(64, 64), "jpeg");
        const QByteArray progressive = encode(photo(64, 64), "jpeg", 90, true);
        QTest::newRow("not an image") << "notes.png" << QByteArray("Remember the milk.\n");
        QTest::newRow("missing") << "missing.png" << QByteArray();
        QTest::newRow("named pipe") << "fifo.png" << QByteArray();
        QTest::newRow("over 256 MB: an image, then zeros") << "huge.png" << encode(photo(64, 64), "png");
        QTest::newRow("truncated jpeg") << "cut.jpg" << jpeg.left(jpeg.size() * 2 / 3);
        QTest::newRow("gif cut in its frame") << "cut.gif" << testsupport::gifBytes({fog(64)}).left(2500);
        QTest::newRow("jpeg declaring 60000x60000") << "forged.jpg" << resized(jpeg, 60000, 60000);
        QTest::newRow("progressive jpeg declaring 10000x10000") << "coefficients.jpg" << resized(progressive, 10000, 10000);
        QTest::newRow("progressive jpeg of 150 scans") << "scans.jpg" << progressive.chopped(2) + QByteArray::fromHex("ffda0008010100013f00").repeated(150) + "\xff\xd9";
        QTest::newRow("16-bit png of 6000x6000") << "deep.png" << deepPng(6000, 6000);
        // Over 32 MiB, so that the rows it lacks would be fresh zeroed memory, never a bad filter by chance.
        QTest::newRow("png whose image data stops a row short") << "short.png" << deepPng(2100, 2099);
        QTest::newRow("gif of 29 bytes declaring 10950x10950") << "screen.gif" << QByteArray::fromHex("474946383961c62ac62a0000002c00000000010001000002024401003b");
        // 36 MP: within the budget at 4 bytes a pixel, not with the reader's second screen-sized image.
        QTest::newRow("gif of 29 bytes declaring 6000x6000") << "screen6000.gif" << QByteArray::fromHex("474946383961701770170000002c00000000010001000002024401003b");
        QTest::newRow("gif of no screen, its pixel at 6000,6000") << "offset.gif" << QByteArray::fromHex("474946383961000000000000002c70177017010001000002024401003b");
        QTest::newRow("png whose rows name filter type 5") << "filter.png" << deepPng(64, 64, 5);
        QTest::newRow("8-bit png whose rows name filter type 5") << "filter8.png" << deepPng(64, 64, 5, 8);
        QTest::newRow("jpeg of two components in no known colour space") << "two.jpg" << jpegWithRestarts(photo(64, 64), JCS_UNKNOWN);
        QTest::newRow("png whose header fails its checksum") << "ihdr.png" << damagedChunk(encode(photo(64, 64), "png"), "IHDR");
        QTest::newRow("png whose image data fails its checksum") << "idat.png" << damagedChunk(encode(photo(64, 64), "png"), "IDAT");
        QImage red(16, 16, QImage::Format_RGB32);
        red.fill(Qt::red);
        QByteArray palette = encode(red.convertToFormat(QImage::Format_Indexed8), "png"); // of one colour
        const qsizetype plte = palette.indexOf("PLTE") - 4, plteLength = 12 + qFromBigEndian<quint32>(palette.constData() + plte);
        QTest::newRow("palette png whose palette is not whole colours")
            << "plte-length.png" << palette.replace(plte, plteLength, pngChunk("PLTE", palette.mid(plte + 8, plteLength - 12) + '\0'));
        QTest::newRow("palette png whose palette fails its checksum") << "plte.png" << damagedChunk(encode(photo(64, 64).convertToFormat(QImage::Format_Indexed8), "png"), "PLTE");
        QTest::newRow("link to a named pipe") << "pipe-link.png" << QByteArray("fifo.png");
        QTest::newRow("link to a device") << "device-link.png" << QByteArray("/dev/zero");
        QTest::newRow("link to a folder") << "folder-link.png" << QByteArray(".");
    }

    void refused()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        const QString path = m_dir.filePath(name);
        if (name == u"fifo.png" || bytes == "fifo.png")
            mkfifo(QFile::encodeName(m_dir.filePath(QStringLiteral("fifo.png"))).constData(), 0600);
        if (name.endsWith(u"-link.png"))
            QVERIFY(QFile::link(QDir(m_dir.path()).absoluteFilePath(QString::fromLatin1(bytes)), path));
        else if (name != u"missing.png" && name != u"fifo.png")
            testsupport::writeFile(m_dir, name, bytes);
        if (name == u"huge.png")
            QVERIFY(QFile::resize(path, imaging::kMaxFileBytes + 1)); // sparse
        try {
            makePNG512(path);
            QFAIL("converted");
        } catch (const ServerError &error) {
            QCOMPARE(error.domain(), QStringLiteral("ImageConversion"));
            QCOMPARE(error.code(), 400);
            QCOMPARE(error.message(), QStringLiteral("Could not open image: ") + name);
        }
    }

    // Every colour type at every bit depth, interlaced or not, with tRNS keys and partial palette alpha:
    // files written and their true pixels given by png_variants.py, drawn 1:1 on the canvas.
    void decodesEveryKindOfPng_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("tolerance");
        QProcess script;
        script.start(QStringLiteral("/usr/bin/python3"), {QFINDTESTDATA("png_variants.py"), m_dir.path()});
        QVERIFY2(script.waitForFinished() && script.exitCode() == 0, script.readAllStandardError().constData());
        for (const QByteArray &line : script.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 4)
                QTest::newRow(f[0].constData()) << m_dir.filePath(QString::fromLatin1(f[0])) << QSize(f[1].toInt(), f[2].toInt()) << f[3].toInt();
        }
    }

    void decodesEveryKindOfPng()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QFETCH(int, tolerance);
        QFile truthFile(path + QStringLiteral(".rgba"));
        QVERIFY(truthFile.open(QIODevice::ReadOnly));
        const QByteArray truth = truthFile.readAll();
        const QImage out = QImage::fromData(makePNG512(path + QStringLiteral(".png")), "PNG").convertToFormat(QImage::Format_RGBA8888);
        const QPoint at((kSide - size.width()) / 2, (kSide - size.height()) / 2);
        for (int i = 0; i < size.width() * size.height() * 4; ++i) {
            const int x = i / 4 % size.width(), y = i / 4 / size.width();
            const int got = out.constScanLine(at.y() + y)[4 * (at.x() + x) + i % 4];
            if (std::abs(got - uchar(truth[i])) > tolerance)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 channel %3: %4, not %5").arg(x).arg(y).arg(i % 4).arg(got).arg(uchar(truth[i]))));
        }
        // Around the picture, the canvas stays transparent.
        int outside = 0;
        for (int y = 0; y < kSide; ++y) {
            const auto *row = reinterpret_cast<const quint32 *>(out.constScanLine(y));
            for (int x = 0; x < kSide; ++x)
                outside += row[x] != 0 && !QRect(at, size).contains(x, y);
        }
        QCOMPARE(outside, 0);
    }

    // Files that convert, opened by the system's exact bytes for their path: a name that is not UTF-8, a
    // symbolic link to an image, a picture of one pixel, fill bytes before a marker, more image data than the
    // rows need, text stored after it, and a GIF whose screen and the reader's second image just fit the budget.
    void converts_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("latin-1 name") << QByteArray("caf\xe9-latin1.png") << encode(photo(64, 64), "png");
        QTest::newRow("symbolic link to an image") << QByteArray("link.png") << encode(photo(64, 64), "png");
        QTest::newRow("a single pixel") << QByteArray("dot.png") << encode(photo(1, 1), "png");
        const QByteArray png = encode(photo(64, 64), "png");
        const QByteArray jpeg = encode(photo(64, 64), "jpeg");
        QTest::newRow("fill bytes before a jpeg's end marker") << QByteArray("fill.jpg") << jpeg.chopped(2) + "\xff\xff\xff\xd9";
        QTest::newRow("more image data than its rows") << QByteArray("more.png") << deepPng(64, 65);
        QTest::newRow("text after the image data") << QByteArray("text.png") << png.chopped(12) + pngChunk("tEXt", QByteArray("Comment\0late", 12)) + png.right(12);
        QTest::newRow("gif of 29 bytes declaring 5790x5790") << QByteArray("screen5790.gif") << QByteArray::fromHex("4749463839619e169e160000002c00000000010001000002024401003b");
    }

    void converts()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, bytes);
        const QByteArray path = QFile::encodeName(m_dir.path()) + '/' + name;
        const QString target = testsupport::writeFile(m_dir, QStringLiteral("target"), bytes);
        QCOMPARE(name == "link.png" ? ::symlink("target", path.constData()) : ::rename(QFile::encodeName(target).constData(), path.constData()), 0);
        const QByteArray png = makePNG512(path, QStringLiteral("shown.png"));
        ::unlink(path.constData()); // QTemporaryDir cannot name a file that is not UTF-8 to remove it
        QCOMPARE(QImage::fromData(png, "PNG").size(), QSize(kSide, kSide));
    }
};

QTEST_GUILESS_MAIN(TestImaging)
#include "test_imaging.moc"
