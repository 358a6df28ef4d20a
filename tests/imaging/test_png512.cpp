#include "core/ServerError.h"
#include "imaging/Png512.h"
#include "imaging/PngEncoder.h"
#include "imaging/Resample.h"
#include "tests/imaging/ReferenceResample.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

namespace {

constexpr int kSide = 512;

QByteArray encode(const QImage &image, const char *format, int quality = 90)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (!writer.write(image))
        qFatal("cannot encode test image: %s", qPrintable(writer.errorString()));
    return bytes;
}

/** Smooth waves of several scales, hard-edged shapes and some noise. */
QImage photoLike(int width, int height)
{
    std::vector<double> cx(width), cy(height);
    for (int x = 0; x < width; ++x)
        cx[x] = 40 * std::sin(x * 0.013) + 20 * std::sin(x * 0.11 + 1) + 10 * std::sin(x * 0.61);
    for (int y = 0; y < height; ++y)
        cy[y] = 40 * std::cos(y * 0.017) + 20 * std::sin(y * 0.093) + 10 * std::sin(y * 0.47 + 2);
    QRandomGenerator random(42);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const bool inShape = (x / 97 + y / 61) % 3 == 0;
            const double base = 120 + cx[x] + cy[y] + (inShape ? 50 : 0) + random.bounded(16);
            line[x] = qRgb(qBound(0, int(base), 255), qBound(0, int(base - cy[y]), 255),
                           qBound(0, int(255 - base + cx[x]), 255));
        }
    }
    return image;
}

/** Concentric rings whose frequency grows with the radius: cos(pi r^2 / n). */
QImage zonePlate(int n)
{
    QImage image(n, n, QImage::Format_Grayscale8);
    for (int y = 0; y < n; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < n; ++x) {
            const double dx = x - n / 2.0, dy = y - n / 2.0;
            line[x] = uchar(std::lround(127.5 + 127.5 * std::cos(M_PI * (dx * dx + dy * dy) / n)));
        }
    }
    return image;
}

/** A soft-edged white disc, a third of the side in radius, and an orange bar on transparent black. */
QImage iconWithAlpha(int n)
{
    QImage image(n, n, QImage::Format_ARGB32);
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const double r = std::hypot(x + 0.5 - n / 2.0, y + 0.5 - n / 2.0) / (n / 3.0);
            const int alpha = qBound(0, int((1.0 - r) * 4 * 255), 255);
            const bool bar = y >= n / 3 && y < n / 2 && x >= n / 4;
            image.setPixel(x, y, bar ? qRgba(240, 140, 20, 255) : qRgba(alpha ? 255 : 0, alpha ? 255 : 0, alpha ? 255 : 0, alpha));
        }
    }
    return image;
}

/** Share of canvas pixel i that [start, start + length) covers. */
double coverage(int i, double start, double length)
{
    return std::clamp(std::min(i + 1.0, start + length) - std::max(double(i), start), 0.0, 1.0);
}

/** Premultiplied r, g, b, a of every canvas pixel, as the reference renders them. */
std::vector<double> asValues(const QImage &premultiplied)
{
    std::vector<double> values;
    values.reserve(size_t(kSide) * kSide * 4);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            const QRgb p = premultiplied.pixel(x, y);
            values.insert(values.end(), {double(qRed(p)), double(qGreen(p)), double(qBlue(p)), double(qAlpha(p))});
        }
    }
    return values;
}

double psnr(const QImage &premultiplied, const std::vector<double> &reference)
{
    double squares = 0;
    for (int y = 0; y < kSide; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(premultiplied.constScanLine(y));
        for (int x = 0; x < kSide; ++x) {
            const double *r = &reference[(size_t(y) * kSide + x) * 4];
            const double got[4] = {double(qRed(line[x])), double(qGreen(line[x])), double(qBlue(line[x])), double(qAlpha(line[x]))};
            for (int c = 0; c < 4; ++c)
                squares += (got[c] - r[c]) * (got[c] - r[c]);
        }
    }
    const double mse = squares / (double(kSide) * kSide * 4);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

QImage toPremultiplied(const QByteArray &png)
{
    return QImage::fromData(png, "PNG").convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QRectF fitted(QSizeF size)
{
    const double scale = std::min(kSide / size.width(), kSide / size.height());
    const QSizeF drawn = size * scale;
    return QRectF((kSide - drawn.width()) / 2, (kSide - drawn.height()) / 2, drawn.width(), drawn.height());
}

/** An EXIF APP1 segment holding only the orientation tag, big-endian TIFF. */
QByteArray withExifOrientation(const QByteArray &jpeg, int orientation)
{
    QByteArray tiff = QByteArray::fromHex("4d4d002a00000008"   // header, first IFD at 8
                                          "0001"               // one entry
                                          "011200030000000100000000" // Orientation, SHORT, 1, value
                                          "00000000");         // no next IFD
    tiff[19] = char(orientation);
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(payload.size()) + 2;
    const QByteArray segment = QByteArray::fromHex("ffe1") + char(length >> 8) + char(length & 0xff) + payload;
    return jpeg.left(2) + segment + jpeg.mid(2); // right after SOI
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (char byte : data) {
        crc ^= uchar(byte);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray bigEndian32(quint32 v)
{
    return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v);
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    return bigEndian32(quint32(data.size())) + type + data + bigEndian32(crc32(type + data));
}

/** A PNG with a valid header declaring width x height RGBA pixels and no data. */
QByteArray pngHeaderOnly(quint32 width, quint32 height)
{
    const QByteArray ihdr = bigEndian32(width) + bigEndian32(height) + QByteArray::fromHex("0806000000");
    return QByteArray::fromHex("89504e470d0a1a0a") + pngChunk("IHDR", ihdr) + pngChunk("IEND", {});
}

/** jpeg with the frame header's height and width replaced. */
QByteArray withJpegSize(QByteArray jpeg, int width, int height)
{
    for (qsizetype at = 2; at + 9 < jpeg.size();) {
        const uchar marker = uchar(jpeg[at + 1]);
        const int length = (uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]);
        if (marker == 0xc0 || marker == 0xc2) {
            jpeg[at + 5] = char(height >> 8);
            jpeg[at + 6] = char(height);
            jpeg[at + 7] = char(width >> 8);
            jpeg[at + 8] = char(width);
            return jpeg;
        }
        at += 2 + length;
    }
    qFatal("no frame header");
}

void appendLittle16(QByteArray &out, int v)
{
    out.append(char(v & 0xff));
    out.append(char(v >> 8));
}

/**
 * A GIF89a of 8-bit palette indexes per frame, index 0 transparent. The
 * LZW stream holds literal 9-bit codes only, with a clear code every 250
 * pixels so that the code width never grows.
 */
QByteArray gif(int width, int height, const QList<QByteArray> &frames, const QList<QRgb> &palette)
{
    QByteArray out("GIF89a");
    appendLittle16(out, width);
    appendLittle16(out, height);
    out.append(char(0xf7)).append('\0').append('\0'); // 256-entry global palette
    for (int i = 0; i < 256; ++i) {
        const QRgb c = palette.value(i);
        out.append(char(qRed(c))).append(char(qGreen(c))).append(char(qBlue(c)));
    }
    out.append(QByteArray::fromHex("21ff0b") + "NETSCAPE2.0" + QByteArray::fromHex("0301000000")); // loop forever
    for (const QByteArray &indexes : frames) {
        out.append(QByteArray::fromHex("21f904090a000000")); // restore background, transparent index 0
        out.append(char(0x2c));
        appendLittle16(out, 0);
        appendLittle16(out, 0);
        appendLittle16(out, width);
        appendLittle16(out, height);
        out.append('\0').append(char(8)); // no local palette; LZW minimum code size 8
        QByteArray packed;
        quint32 bits = 0;
        int count = 0;
        const auto putCode = [&](int code) {
            bits |= quint32(code) << count;
            for (count += 9; count >= 8; count -= 8, bits >>= 8)
                packed.append(char(bits & 0xff));
        };
        for (qsizetype i = 0; i < indexes.size(); ++i) {
            if (i % 250 == 0)
                putCode(256);
            putCode(uchar(indexes[i]));
        }
        putCode(257);
        if (count > 0)
            packed.append(char(bits & 0xff));
        for (qsizetype at = 0; at < packed.size(); at += 255) {
            const QByteArray block = packed.mid(at, 255);
            out.append(char(block.size())).append(block);
        }
        out.append('\0');
    }
    out.append(char(0x3b));
    return out;
}

} // namespace

class TestPng512 : public QObject
{
    Q_OBJECT

private slots:
    void drawnRectangle_data();
    void drawnRectangle();
    void transparencyStaysAndEdgesHaveNoFringe();
    void smallIconIsEnlargedSmoothly();
    void exifOrientation_data();
    void exifOrientation();
    void gifFirstFrameAndTransparency();
    void reducedJpegDecodeMatchesFullDecode();
    void matchesReference_data();
    void matchesReference();
    void zonePlateDoesNotAlias();
    void unreadableFiles_data();
    void unreadableFiles();
    void missingFile();
    void encoderRoundTrip_data();
    void encoderRoundTrip();

private:
    QTemporaryDir m_dir;
};

void TestPng512::drawnRectangle_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRectF>("expected");

    const QRectF whole(0, 0, 512, 512);
    QTest::newRow("16 png") << "s16.png" << QSize(16, 16) << whole;
    QTest::newRow("32 png") << "s32.png" << QSize(32, 32) << whole;
    QTest::newRow("1024 jpeg") << "s1024.jpg" << QSize(1024, 1024) << whole;
    QTest::newRow("4096 jpeg, decoded at 1/4") << "s4096.jpg" << QSize(4096, 4096) << whole;
    QTest::newRow("1000x500") << "w1000.jpg" << QSize(1000, 500) << QRectF(0, 128, 512, 256);
    QTest::newRow("128x64") << "w128.png" << QSize(128, 64) << QRectF(0, 128, 512, 256);
    QTest::newRow("2048x512") << "w2048.png" << QSize(2048, 512) << QRectF(0, 192, 512, 128);
    // Fractional edges: rows 85 and 426 are two thirds covered.
    QTest::newRow("300x200") << "w300.jpg" << QSize(300, 200) << QRectF(0, 256 - 512.0 / 3, 512, 1024.0 / 3);
    QTest::newRow("200x300") << "t200.png" << QSize(200, 300) << QRectF(256 - 512.0 / 3, 0, 1024.0 / 3, 512);
    // Not a multiple of the reduction: the partial block is dropped, the geometry is not.
    const double dh = 2001.0 * 512 / 3001;
    QTest::newRow("3001x2001, decoded at 1/2") << "w3001.jpg" << QSize(3001, 2001) << QRectF(0, (512 - dh) / 2, 512, dh);
}

void TestPng512::drawnRectangle()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(QRectF, expected);

    QImage source(size, QImage::Format_RGB32);
    source.fill(qRgb(40, 160, 90));
    const QString path = testsupport::writeFile(m_dir, name, encode(source, name.endsWith(".png") ? "png" : "jpeg"));

    const QByteArray png = makePNG512(path);
    QVERIFY(png.startsWith(QByteArray::fromHex("89504e470d0a1a0a")));
    const QImage out = QImage::fromData(png, "PNG");
    QCOMPARE(out.size(), QSize(kSide, kSide));
    QVERIFY(out.hasAlphaChannel());

    // An opaque picture's alpha is exactly the rectangle's coverage: full
    // inside, fractional on partly covered edge pixels, zero in the bands.
    const int midX = int(expected.center().x());
    const int midY = int(expected.center().y());
    for (int y = 0; y < kSide; ++y) {
        const int want = int(std::lround(255 * coverage(y, expected.y(), expected.height())));
        if (std::abs(qAlpha(out.pixel(midX, y)) - want) > 1)
            QFAIL(qPrintable(QStringLiteral("row %1: alpha %2, expected %3").arg(y).arg(qAlpha(out.pixel(midX, y))).arg(want)));
    }
    for (int x = 0; x < kSide; ++x) {
        const int want = int(std::lround(255 * coverage(x, expected.x(), expected.width())));
        if (std::abs(qAlpha(out.pixel(x, midY)) - want) > 1)
            QFAIL(qPrintable(QStringLiteral("column %1: alpha %2, expected %3").arg(x).arg(qAlpha(out.pixel(x, midY))).arg(want)));
    }
    // Colour is unchanged where covered, even at the fractional edges.
    const QRgb centre = out.pixel(midX, midY);
    QVERIFY(std::abs(qGreen(centre) - 160) <= 3);
    const QRgb edge = out.pixel(midX, int(expected.y()));
    QVERIFY(std::abs(qGreen(edge) - 160) <= 3);
}

void TestPng512::transparencyStaysAndEdgesHaveNoFringe()
{
    const QString path = testsupport::writeFile(m_dir, "icon.png", encode(iconWithAlpha(64), "png"));
    const QImage out = QImage::fromData(makePNG512(path), "PNG");

    // Far from the disc (more than the filter's reach) nothing is drawn.
    QCOMPARE(qAlpha(out.pixel(4, 4)), 0);
    QCOMPARE(qAlpha(out.pixel(507, 507)), 0);
    QCOMPARE(qAlpha(out.pixel(256, 500)), 0);
    QCOMPARE(qAlpha(out.pixel(256, 300)), 255);

    // Premultiplied filtering: the transparent black around the white disc
    // lends it no colour, so its soft edge stays white, not grey.
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide / 4 - 32; ++x) { // left of the orange bar and its filter's reach
            const QRgb p = out.pixel(x, y);
            if (qAlpha(p) >= 8 && std::min({qRed(p), qGreen(p), qBlue(p)}) < 250)
                QFAIL(qPrintable(QStringLiteral("fringe at %1,%2: %3").arg(x).arg(y).arg(p, 8, 16)));
        }
    }
}

void TestPng512::smallIconIsEnlargedSmoothly()
{
    QImage checker(16, 16, QImage::Format_RGB32);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            checker.setPixel(x, y, ((x / 2 + y / 2) % 2) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    const QString path = testsupport::writeFile(m_dir, "checker.png", encode(checker, "png"));
    const QImage out = QImage::fromData(makePNG512(path), "PNG");

    // Enlarged 32 times, a 2-pixel checker must ramp over many pixels; a
    // nearest-neighbour enlargement would jump by 255.
    int steepest = 0;
    for (int y = 0; y < kSide; ++y)
        for (int x = 1; x < kSide; ++x)
            steepest = std::max(steepest, std::abs(qGreen(out.pixel(x, y)) - qGreen(out.pixel(x - 1, y))));
    QVERIFY2(steepest <= 24, qPrintable(QString::number(steepest)));
}

void TestPng512::exifOrientation_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QList<QRgb>>("quadrants"); // upright: top-left, top-right, bottom-left, bottom-right

    const QRgb red = qRgb(230, 20, 20), green = qRgb(20, 200, 20), blue = qRgb(20, 20, 230), yellow = qRgb(230, 230, 20);
    QTest::newRow("1 upright") << QSize(200, 100) << 1 << QList<QRgb>{red, green, blue, yellow};
    QTest::newRow("3 upside down") << QSize(200, 100) << 3 << QList<QRgb>{yellow, blue, green, red};
    QTest::newRow("6 turn right") << QSize(200, 100) << 6 << QList<QRgb>{blue, red, yellow, green};
    QTest::newRow("8 turn left") << QSize(200, 100) << 8 << QList<QRgb>{green, yellow, red, blue};
    QTest::newRow("6, phone photo decoded at 1/2") << QSize(2400, 1200) << 6 << QList<QRgb>{blue, red, yellow, green};
}

void TestPng512::exifOrientation()
{
    QFETCH(QSize, stored);
    QFETCH(int, orientation);
    QFETCH(QList<QRgb>, quadrants);

    // Stored: red, green over blue, yellow.
    QImage image(stored, QImage::Format_RGB32);
    const int w = stored.width() / 2, h = stored.height() / 2;
    for (int y = 0; y < stored.height(); ++y)
        for (int x = 0; x < stored.width(); ++x)
            image.setPixel(x, y, y < h ? (x < w ? qRgb(230, 20, 20) : qRgb(20, 200, 20))
                                       : (x < w ? qRgb(20, 20, 230) : qRgb(230, 230, 20)));
    const QString path = testsupport::writeFile(m_dir, QStringLiteral("exif%1-%2.jpg").arg(orientation).arg(stored.width()),
                                                withExifOrientation(encode(image, "jpeg", 95), orientation));

    const QImage out = QImage::fromData(makePNG512(path), "PNG");
    const bool turned = orientation >= 5;
    const QRectF rect = fitted(turned ? QSizeF(stored.transposed()) : QSizeF(stored));
    // The upright picture fills its own rectangle: tall when turned.
    QCOMPARE(qAlpha(out.pixel(turned ? 120 : 256, turned ? 256 : 120)), 0);
    QCOMPARE(qAlpha(out.pixel(turned ? 136 : 256, turned ? 256 : 136)), 255);
    const QPointF centres[4] = {{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}};
    for (int q = 0; q < 4; ++q) {
        const QPoint at(int(rect.x() + centres[q].x() * rect.width()), int(rect.y() + centres[q].y() * rect.height()));
        const QRgb got = out.pixel(at);
        const QRgb want = quadrants[q];
        const int distance = std::abs(qRed(got) - qRed(want)) + std::abs(qGreen(got) - qGreen(want)) + std::abs(qBlue(got) - qBlue(want));
        QVERIFY2(distance < 40, qPrintable(QStringLiteral("quadrant %1 at %2,%3: %4").arg(q).arg(at.x()).arg(at.y()).arg(got, 8, 16)));
    }
}

void TestPng512::gifFirstFrameAndTransparency()
{
    // Frame 1: left half red, right half transparent. Frame 2: all blue.
    QByteArray first(64 * 32, '\1');
    for (int y = 0; y < 32; ++y)
        first.replace(y * 64 + 32, 32, QByteArray(32, '\0'));
    const QByteArray second(64 * 32, '\2');
    const QString path = testsupport::writeFile(m_dir, "anim.gif",
                                                gif(64, 32, {first, second}, {qRgb(0, 0, 0), qRgb(255, 0, 0), qRgb(0, 0, 255)}));

    const QImage out = QImage::fromData(makePNG512(path), "PNG");
    QCOMPARE(out.pixel(128, 256), qRgba(255, 0, 0, 255));
    QCOMPARE(qAlpha(out.pixel(384, 256)), 0);
    QCOMPARE(qAlpha(out.pixel(128, 100)), 0); // band above the 2:1 picture
}

void TestPng512::reducedJpegDecodeMatchesFullDecode()
{
    // 4099x2051 decodes at 1/4 with partial blocks dropped on both axes; the
    // result must line up with drawing the full decode.
    const QString path = testsupport::writeFile(m_dir, "wide.jpg", encode(photoLike(4099, 2051), "jpeg", 92));
    const QImage full(path);
    const QImage viaFull = imaging::renderFitted(full, full.size(), fitted(full.size()), kSide);
    const double db = psnr(toPremultiplied(makePNG512(path)),
                           asValues(viaFull.convertToFormat(QImage::Format_ARGB32_Premultiplied)));
    qInfo("reduced vs full decode: %.1f dB", db);
    QVERIFY(db >= 40);
}

void TestPng512::matchesReference_data()
{
    QTest::addColumn<QImage>("image");
    QTest::newRow("photo-like 1200x800, reduced") << photoLike(1200, 800);
    QTest::newRow("zone plate 1000, reduced") << zonePlate(1000);
    QTest::newRow("icon with alpha 48, enlarged") << iconWithAlpha(48);
    QTest::newRow("photo-like 97x203, enlarged") << photoLike(97, 203);
}

void TestPng512::matchesReference()
{
    QFETCH(QImage, image);
    const QString path = testsupport::writeFile(m_dir, "ref.png", encode(image, "png"));
    const QImage decoded(path);
    const std::vector<double> reference = referenceRender(decoded, fitted(decoded.size()), kSide);
    const double db = psnr(toPremultiplied(makePNG512(path)), reference);
    qInfo("fast vs reference: %.1f dB", db);
    QVERIFY(db >= 40);
}

void TestPng512::zonePlateDoesNotAlias()
{
    // Reduced 4 times, rings finer than the canvas's pixels (radius 110 to
    // 240 on the canvas: 1.7 to 3.8 times its Nyquist frequency) must blur
    // to flat grey, not turn into moire.
    const QString path = testsupport::writeFile(m_dir, "zone.png", encode(zonePlate(2048), "png"));
    const QImage out = QImage::fromData(makePNG512(path), "PNG");
    double sum = 0, squares = 0;
    int n = 0;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const double r = std::hypot(x + 0.5 - 256, y + 0.5 - 256);
            if (r < 110 || r > 240)
                continue;
            const double v = qGreen(out.pixel(x, y));
            sum += v, squares += v * v, ++n;
        }
    const double mean = sum / n;
    const double deviation = std::sqrt(squares / n - mean * mean);
    qInfo("mean %.1f, deviation %.2f", mean, deviation);
    QVERIFY(std::abs(mean - 127.5) < 3);
    QVERIFY(deviation < 3);
}

void TestPng512::unreadableFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray png = encode(photoLike(64, 64), "png");
    const QByteArray jpeg = encode(photoLike(64, 64), "jpeg");
    QTest::newRow("not an image") << "notes.png" << QByteArray("Remember the milk.\n");
    QTest::newRow("empty") << "empty.gif" << QByteArray();
    QTest::newRow("truncated png") << "cut.png" << png.left(png.size() / 2);
    QTest::newRow("truncated jpeg") << "cut.jpg" << jpeg.left(jpeg.size() * 2 / 3);
    const QByteArray animation = gif(64, 32, {QByteArray(64 * 32, '\1'), QByteArray(64 * 32, '\2')}, {0, qRgb(255, 0, 0), qRgb(0, 0, 255)});
    QTest::newRow("gif cut in its first frame") << "cut.gif" << animation.left(animation.size() / 3);
    QTest::newRow("png declaring 100000x100000") << "bomb.png" << pngHeaderOnly(100000, 100000);
    QTest::newRow("jpeg declaring 65000x65000") << "bomb.jpeg" << withJpegSize(jpeg, 65000, 65000);
    QTest::newRow("png declaring 0x10") << "zero.png" << pngHeaderOnly(0, 10);
}

void TestPng512::unreadableFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const QString path = testsupport::writeFile(m_dir, name, bytes);
    try {
        makePNG512(path);
        QFAIL("no error");
    } catch (const ServerError &error) {
        QCOMPARE(error.domain(), QStringLiteral("ImageConversion"));
        QCOMPARE(error.code(), 400);
        QCOMPARE(error.message(), QStringLiteral("Could not open image: ") + name);
    }
}

void TestPng512::missingFile()
{
    try {
        makePNG512(m_dir.filePath("missing.png"));
        QFAIL("no error");
    } catch (const ServerError &error) {
        QCOMPARE(error.code(), 400);
        QCOMPARE(error.message(), QStringLiteral("Could not open image: missing.png"));
    }
}

void TestPng512::encoderRoundTrip_data()
{
    QTest::addColumn<QImage>("image");
    QImage noise(300, 211, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random.generate());
    QTest::newRow("random straight ARGB") << noise;
    QTest::newRow("photo-like") << photoLike(512, 341).convertToFormat(QImage::Format_ARGB32);
    QTest::newRow("icon with alpha") << iconWithAlpha(512);
    QTest::newRow("one pixel") << noise.copy(5, 5, 1, 1);
    QTest::newRow("one row") << noise.copy(0, 9, 300, 1);
    QTest::newRow("one column") << noise.copy(17, 0, 1, 211);
}

void TestPng512::encoderRoundTrip()
{
    QFETCH(QImage, image);
    const QByteArray png = imaging::encodePng(image);
    QVERIFY(png.startsWith(QByteArray::fromHex("89504e470d0a1a0a")));
    const QImage decoded = QImage::fromData(png, "PNG");
    QCOMPARE(decoded.size(), image.size());
    // Pixels with alpha 0 keep their colour too: the encoder stores straight RGBA.
    QCOMPARE(decoded.convertToFormat(QImage::Format_ARGB32), image);
}

QTEST_GUILESS_MAIN(TestPng512)
#include "test_png512.moc"
