#include "imaging/ImageLoad.h"

#include "imaging/ColourSpace.h"
#include "imaging/DecodeBudget.h"
#include "imaging/PngDecode.h"

#include <QBuffer>
#include <QByteArrayView>
#include <QFile>
#include <QImageIOHandler>
#include <QImageReader>
#include <QScopeGuard>
#include <QtEndian>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace imaging {

namespace {

/**
 * How much larger than its drawn size a reduced JPEG decode stays. libjpeg's
 * reduced decode works within 8x8 blocks, which lets some fine detail alias;
 * with the decoded picture at least twice the drawn size the final Lanczos
 * step removes most of it. Measured against a full decode on a 4096x4096
 * zone plate: 39 dB at 2x, 34 dB with visible alias rings at 1x; photos
 * 55-60 dB at 2x. Going to 1x would save only 10-20%: entropy decoding, not
 * the inverse DCT, is most of a JPEG's decoding time.
 */
constexpr int kJpegOversampling = 2;

/** Embedded ICC profiles beyond this are ignored; real ones stay under a few MB. */
constexpr qsizetype kMaxProfileBytes = 16 * 1024 * 1024;

/**
 * Qt refuses to decode an image whose pixels need more than
 * QImageReader::allocationLimit() megabytes: 128 in Qt 6.4, less than an
 * 8000x8000 PNG takes. loadImage() checks every decode against
 * kMaxDecodeBytes before it starts; Qt's limit is set to twice that, a
 * backstop for a reader that declares no size, and never lowered.
 */
void raiseAllocationLimitOnce()
{
    static const bool raised = [] {
        const int neededMegabytes = int(2 * kMaxDecodeBytes / (1024 * 1024));
        const int current = QImageReader::allocationLimit();
        if (current != 0 && current < neededMegabytes)
            QImageReader::setAllocationLimit(neededMegabytes);
        return true;
    }();
    Q_UNUSED(raised);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) void zeroUpperAvx()
{
    _mm256_zeroupper();
}
#endif

/**
 * Qt's image decoding returns with the upper halves of the AVX registers in
 * use. Until they are cleared, libm's pow, which littleCMS calls thousands
 * of times to build a transform, stalls on every call: a small icon with a
 * colour profile took twice as long to convert. vzeroupper clears them; a
 * call may clobber these registers anyway, so clearing them is always safe.
 */
void clearUpperAvxState()
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx)
        zeroUpperAvx();
#endif
}

/**
 * The bytes of the file at nativePath, read through one descriptor: opened
 * without waiting (a named pipe would otherwise wait for a writer forever)
 * and read only when it is a regular file, so a name swapped for a pipe or
 * a device after the folder was listed is refused, not read. Nothing when
 * the file cannot be read or is larger than kMaxFileBytes, also when it
 * grows while being read.
 */
std::optional<QByteArray> readRegularFile(const QByteArray &nativePath)
{
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileBytes)
        return std::nullopt;

    // One byte more than the file's size, so that the end is seen at once.
    QByteArray bytes(qsizetype(info.st_size) + 1, Qt::Uninitialized);
    qsizetype length = 0;
    for (;;) {
        if (length == bytes.size()) {
            if (length > kMaxFileBytes)
                return std::nullopt;
            bytes.resize(std::min<qsizetype>(2 * length, kMaxFileBytes + 1));
        }
        const ssize_t n = ::read(fd, bytes.data() + length, size_t(bytes.size() - length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        length += n;
    }
    bytes.truncate(length);
    return bytes;
}

/** What libjpeg will need for a JPEG, read from its markers. */
struct JpegFacts
{
    bool complete = false;       // its scans are followed by the end marker
    int scans = 0;
    qint64 coefficientBytes = 0; // kept for the whole picture when it has several scans
    QByteArray iccProfile;
};

/**
 * Walks a JPEG's marker segments and the entropy-coded data between them
 * up to the end marker. libjpeg takes a file that ends inside the image
 * data as a mere warning and fills the rest with grey; such a file is not
 * complete. A progressive JPEG, or one whose first scan holds only some of
 * the components, makes libjpeg keep every coefficient of the picture at
 * full size until the last scan, whatever the DCT scaling.
 */
JpegFacts inspectJpeg(QByteArrayView data)
{
    JpegFacts facts;
    const auto byte = [&data](qsizetype i) { return int(uchar(data[i])); };
    if (data.size() < 4 || byte(0) != 0xff || byte(1) != 0xd8)
        return facts;

    struct Component
    {
        int h;
        int v;
    };
    QList<Component> components;
    int width = 0;
    int height = 0;
    bool progressive = false;
    bool multiScan = false;
    std::map<int, QByteArrayView> iccChunks; // by sequence number
    int iccCount = 0;

    for (qsizetype i = 2;;) {
        // The next marker: an 0xff that is neither a data byte (ff 00), a
        // restart marker (ff d0 to ff d7) nor a fill byte before a marker.
        // Anything else in between is entropy-coded data or stray bytes.
        i = data.indexOf('\xff', i);
        if (i < 0 || i + 1 >= data.size())
            return facts;
        const int marker = byte(i + 1);
        if (marker == 0xff) {
            ++i;
            continue;
        }
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
            i += 2;
            continue;
        }
        if (marker == 0xd9) {
            facts.complete = facts.scans > 0;
            break;
        }
        if (i + 4 > data.size())
            return facts;
        const int length = (byte(i + 2) << 8) | byte(i + 3);
        if (length < 2 || i + 2 + length > data.size())
            return facts;
        const QByteArrayView segment = data.sliced(i + 4, length - 2);
        i += 2 + length;

        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame && components.isEmpty() && segment.size() >= 6) {
            height = qFromBigEndian<quint16>(segment.data() + 1);
            width = qFromBigEndian<quint16>(segment.data() + 3);
            progressive = (marker & 3) == 2;
            for (qsizetype c = 6; c + 3 <= segment.size() && components.size() < uchar(segment[5]); c += 3)
                components.append({std::max(1, uchar(segment[c + 1]) >> 4), std::max(1, uchar(segment[c + 1]) & 15)});
        } else if (marker == 0xda && !segment.isEmpty()) {
            if (++facts.scans == 1)
                multiScan = uchar(segment[0]) < components.size();
        } else if (marker == 0xe2 && segment.size() > 14 && segment.startsWith(QByteArrayView("ICC_PROFILE\0", 12))) {
            iccChunks[uchar(segment[12])] = segment.sliced(14);
            iccCount = uchar(segment[13]);
        }
    }

    if (progressive || multiScan) {
        int hMax = 1;
        int vMax = 1;
        for (const Component &c : components) {
            hMax = std::max(hMax, c.h);
            vMax = std::max(vMax, c.v);
        }
        // libjpeg's whole-image coefficient arrays, as jdcoefct.c sizes them.
        const auto blocks = [](qint64 pixels, int factor, int maxFactor) {
            const qint64 inBlocks = (pixels * factor + 8 * maxFactor - 1) / (8 * maxFactor);
            return (inBlocks + factor - 1) / factor * factor;
        };
        for (const Component &c : components)
            facts.coefficientBytes += blocks(width, c.h, hMax) * blocks(height, c.v, vMax) * 64 * 2;
    }
    // The profile's pieces, numbered from 1, all present.
    if (iccCount > 0 && int(iccChunks.size()) == iccCount && iccChunks.begin()->first == 1
        && iccChunks.rbegin()->first == iccCount) {
        for (const auto &[number, chunk] : iccChunks)
            if (facts.iccProfile.size() + chunk.size() <= kMaxProfileBytes)
                facts.iccProfile += chunk;
    }
    return facts;
}

/** The logical screen a GIF declares, and whether its first image is whole. */
struct GifFacts
{
    QSize screen; // invalid when a side is zero, where Qt decodes at the frame's size
    bool complete = false;
};

/**
 * The logical screen is the canvas a GIF's frames are drawn on and the
 * size Qt's GIF reader decodes to; Qt's size() reports the first frame's
 * extent instead, which a forged header makes far smaller. Qt's reader
 * returns whatever part of a cut-off frame it decoded, with the rest
 * transparent; such a file is not complete. Only the first frame, the one
 * decoded, must be whole, up to the block that ends it.
 */
GifFacts inspectGif(QByteArrayView data)
{
    GifFacts facts;
    qsizetype at = 0;
    const auto skip = [&](qsizetype count) {
        at += count;
        return at <= data.size();
    };
    const auto byte = [&](int &value) {
        if (at >= data.size())
            return false;
        value = uchar(data[at++]);
        return true;
    };
    // Data sub-blocks: a length byte and that many bytes, up to a zero length.
    const auto skipSubBlocks = [&] {
        for (int length = 0;;) {
            if (!byte(length))
                return false;
            if (length == 0)
                return true;
            if (!skip(length))
                return false;
        }
    };
    // The colour table that a packed byte announces, if any.
    const auto skipColourTable = [&](int packed) { return !(packed & 0x80) || skip(3 << ((packed & 7) + 1)); };

    // Signature and version, then the logical screen descriptor.
    if (data.size() < 13 || !data.startsWith("GIF"))
        return facts;
    const int width = qFromLittleEndian<quint16>(data.data() + 6);
    const int height = qFromLittleEndian<quint16>(data.data() + 8);
    if (width > 0 && height > 0)
        facts.screen = QSize(width, height);
    at = 13;
    if (!skipColourTable(uchar(data[10])))
        return facts;
    for (int introducer = 0;;) {
        if (!byte(introducer))
            return facts;
        if (introducer == 0x21) { // extension: its label, then sub-blocks
            if (!skip(1) || !skipSubBlocks())
                return facts;
        } else if (introducer == 0x2c) { // image: descriptor, colour table, code size, data
            facts.complete = skip(9) && skipColourTable(uchar(data[at - 1])) && skip(1) && skipSubBlocks();
            return facts;
        } else {
            return facts; // the trailer before any image, or garbage
        }
    }
}

/** Inflates a zlib stream of at most cap bytes; empty when it is broken or larger. */
QByteArray inflateCapped(QByteArrayView compressed, qsizetype cap)
{
    z_stream stream = {};
    if (inflateInit(&stream) != Z_OK)
        return {};
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.data()));
    stream.avail_in = uInt(compressed.size());
    QByteArray out(64 * 1024, Qt::Uninitialized);
    qsizetype produced = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (produced == out.size()) {
            if (out.size() >= cap)
                break;
            out.resize(std::min(2 * out.size(), cap));
        }
        stream.next_out = reinterpret_cast<Bytef *>(out.data() + produced);
        stream.avail_out = uInt(out.size() - produced);
        result = inflate(&stream, Z_NO_FLUSH);
        produced = out.size() - qsizetype(stream.avail_out);
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END)
        return {};
    out.truncate(produced);
    return out;
}

/**
 * The colour chunks of a PNG before its image data: iCCP, sRGB, gAMA and
 * cHRM. Like libpng, chunks whose checksum is wrong are ignored.
 */
DeclaredColour pngColour(QByteArrayView data)
{
    DeclaredColour colour;
    PngChunk chunk;
    for (qsizetype at = 8; pngChunkAt(data, at, chunk) && chunk.type != "IDAT"; at = chunk.next()) {
        if (!chunk.crcMatches())
            continue;
        const QByteArrayView body(chunk.data, chunk.length);
        if (chunk.type == "sRGB") {
            colour.srgb = true;
        } else if (chunk.type == "gAMA" && body.size() == 4) {
            colour.gamma = qFromBigEndian<quint32>(body.data());
        } else if (chunk.type == "cHRM" && body.size() == 32) {
            for (int k = 0; k < 8; ++k)
                colour.chromaticities[k] = qFromBigEndian<quint32>(body.data() + 4 * k);
        } else if (chunk.type == "iCCP") {
            // A name of 1 to 79 bytes, a zero, the method (0, zlib), the data.
            const qsizetype nameEnd = body.indexOf('\0');
            if (nameEnd > 0 && nameEnd + 2 <= body.size() && body[nameEnd + 1] == '\0')
                colour.iccProfile = inflateCapped(body.sliced(nameEnd + 2), kMaxProfileBytes);
        }
    }
    return colour;
}

/** The JPEG decode reduction (1, 2, 4 or 8) for a picture of this stored size. */
int jpegReduction(QSize storedSize, int drawnSide)
{
    const int longer = std::max(storedSize.width(), storedSize.height());
    const int shorter = std::min(storedSize.width(), storedSize.height());
    int reduction = 1;
    while (reduction < 8 && reduction * 2 * kJpegOversampling * drawnSide <= longer && reduction * 2 <= shorter)
        reduction *= 2;
    return reduction;
}

/**
 * A PNG that PngDecoder takes, under the same limits as any picture: its
 * pixels, and 4 bytes a pixel decoded, 8 for 16-bit colour, plus the rows
 * and buffers the decoder works with. The colour chunks are read before
 * decoding moves the image data within bytes.
 */
std::optional<DecodedImage> loadPng(PngDecoder &png, QByteArray &bytes, int drawnSide)
{
    const qint64 pixels = qint64(png.width()) * png.height();
    const int bytesPerPixel = QImage::toPixelFormat(png.format()).bitsPerPixel() > 32 ? 8 : 4;
    if (pixels > kMaxPixels || pixels * bytesPerPixel + png.workingBytes() > kMaxDecodeBytes)
        return std::nullopt;
    DecodeBudget::Grant budget = claimConversion(bytes.size(), pixels * bytesPerPixel + png.workingBytes(), QSize(png.width(), png.height()), drawnSide);
    const DeclaredColour declared = pngColour(bytes);
    QImage image = png.decode(bytes);
    clearUpperAvxState();
    if (image.isNull())
        return std::nullopt;
    convertToSrgb(image, declared);
    DecodedImage decoded;
    decoded.size = decoded.extent = QSizeF(image.size());
    decoded.image = std::move(image);
    decoded.budget = std::move(budget);
    return decoded;
}

} // namespace

std::optional<DecodedImage> loadImage(const QString &filePath, int drawnSide)
{
    return loadImage(QFile::encodeName(filePath), drawnSide);
}

std::optional<DecodedImage> loadImage(const QByteArray &nativePath, int drawnSide)
{
    raiseAllocationLimitOnce();

    std::optional<QByteArray> bytes = readRegularFile(nativePath);
    if (!bytes)
        return std::nullopt;
    if (isPngFile(*bytes)) { // every PNG is ours: Qt's reader garbles some
        PngDecoder png(*bytes);
        return png.handles() ? loadPng(png, *bytes, drawnSide) : std::nullopt;
    }
    QBuffer device;
    device.setData(*bytes);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device);
    reader.setAutoTransform(true);
    if (!reader.canRead())
        return std::nullopt;
    const QByteArray format = reader.format();
    const bool jpeg = format == "jpeg";
    const bool gif = format == "gif";

    // The header's size, before orientation. Every format we take declares
    // one; should a decoder not, Qt's allocation limit still bounds it.
    QSize stored = reader.size();
    const GifFacts gifFacts = gif ? inspectGif(*bytes) : GifFacts();
    if (gif && gifFacts.screen.isValid())
        stored = gifFacts.screen;
    if (stored.isValid()
        && (stored.isEmpty() || qint64(stored.width()) * stored.height() > kMaxPixels))
        return std::nullopt;

    const JpegFacts jpegFacts = jpeg ? inspectJpeg(*bytes) : JpegFacts();
    if (jpeg && (!jpegFacts.complete || jpegFacts.scans > kMaxJpegScans))
        return std::nullopt;
    if (gif && !gifFacts.complete)
        return std::nullopt;

    const bool quarterTurn = reader.transformation() & QImageIOHandler::TransformationRotate90;
    int reduction = 1;
    if (jpeg && stored.isValid())
        reduction = jpegReduction(stored, drawnSide);

    // The memory the decode holds at its peak: libjpeg's coefficients, and
    // the decoded picture, twice over for a GIF and when turning it upright
    // makes a turned copy before the decoded one is released. The pixel
    // format is asked for only once the header has been read: Qt's JPEG
    // reader returns an uninitialised one for a header it cannot read.
    qint64 decodeBytes = jpegFacts.coefficientBytes;
    if (stored.isValid()) {
        const int format = int(reader.imageFormat());
        const bool deep = format > QImage::Format_Invalid && format < QImage::NImageFormats
            && QImage::toPixelFormat(QImage::Format(format)).bitsPerPixel() > 32;
        int bytesPerPixel = deep ? 8 : 4;
        if (gif)
            bytesPerPixel *= 2;
        if (reader.transformation() != QImageIOHandler::TransformationNone)
            bytesPerPixel *= 2;
        decodeBytes += qint64(stored.width() / reduction) * (stored.height() / reduction) * bytesPerPixel;
    }
    if (decodeBytes > kMaxDecodeBytes)
        return std::nullopt;
    DecodeBudget::Grant budget = claimConversion(bytes->size(), stored.isValid() ? decodeBytes : kMaxDecodeBytes,
                                                 stored / reduction, drawnSide);

    if (reduction > 1) {
        // Qt's JPEG reader asks libjpeg for the DCT scaling that the ratio of
        // the clip rectangle to the scaled size calls for, then resamples
        // libjpeg's output to the exact scaled size. Clipping to whole
        // multiples of the reduction makes the ratio exact, so libjpeg's
        // pixels arrive untouched; only the partial block at the right and
        // bottom edges, less than `reduction` pixels, is dropped.
        const QSize reduced(stored.width() / reduction, stored.height() / reduction);
        reader.setClipRect(QRect(QPoint(0, 0), reduced * reduction));
        reader.setScaledSize(reduced);
    }

    QImage image = reader.read();
    clearUpperAvxState();
    if (image.isNull())
        return std::nullopt;
    DeclaredColour declared;
    if (jpeg)
        declared.iccProfile = jpegFacts.iccProfile;
    convertToSrgb(image, declared);

    DecodedImage decoded;
    decoded.size = stored.isValid() ? QSizeF(quarterTurn ? stored.transposed() : stored) : QSizeF(image.size());
    const QSizeF expected = decoded.size / reduction;
    // Measured in decoded pixels the picture is size / reduction, slightly
    // more than the image when pixels were dropped. Should a decoder ever
    // return another size, take the image as the whole picture.
    const bool asExpected = std::abs(image.width() - expected.width()) < 1.0
        && std::abs(image.height() - expected.height()) < 1.0;
    decoded.extent = asExpected ? expected : QSizeF(image.size());
    decoded.image = std::move(image);
    decoded.budget = std::move(budget);
    return decoded;
}

} // namespace imaging
