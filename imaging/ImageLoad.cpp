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
#include <QTransform>
#include <QtEndian>

#include <zlib.h>

#include <csetjmp>
#include <cstdio> // before jpeglib.h, which uses FILE
#include <jpeglib.h>

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

/**
 * The scale, 1/8, 2/8, 4/8 or 8/8, at which libjpeg decodes a JPEG of this
 * stored size: the smallest whose picture is still at least drawnSide
 * pixels along its longer side (and a pixel along its shorter), so that
 * the resampler only ever reduces it further. This is the reduction
 * every fast converter makes.
 *
 * Reducing at decode time works within 8x8 blocks (at 1/8 a block becomes
 * its mean), which lets some detail finer than the drawn pixels alias.
 * Against a full decode drawn by the double-precision Lanczos reference:
 * photos 50-55 dB, a noisy synthetic photo 41 dB, a 4096x4096 zone plate
 * 34 dB with faint alias rings (39 dB when decoded at twice the drawn size,
 * rings there too). Staying at twice the drawn size cost 20-25% more
 * processor time on 6-48 MP photos: the rows of every further 2x of scale
 * are inverse transformed and resampled, and at 1/8 libjpeg keeps the DC
 * coefficients alone. The scales between (3/8, 5/8, 6/8, 7/8) are slower
 * than the next power of two: libjpeg has fast (SIMD) inverse transforms
 * only for those.
 */
int jpegScale(QSize storedSize, int drawnSide)
{
    const qint64 longer = std::max(storedSize.width(), storedSize.height());
    const qint64 shorter = std::min(storedSize.width(), storedSize.height());
    int scale = 8;
    while (scale > 1 && longer * (scale / 2) >= qint64(drawnSide) * 8 && shorter * (scale / 2) >= 8)
        scale /= 2;
    return scale;
}

/** libjpeg's error handling: an error ends the decode by a jump back to where it was set. */
struct JpegErrors
{
    jpeg_error_mgr manager;
    std::jmp_buf failed;
};

[[noreturn]] void jpegFailed(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors *>(info->err)->failed, 1);
}

/** Warnings about damaged data that libjpeg decodes past are not printed, as Qt's reader does not stop at them either. */
void jpegMessage(j_common_ptr) {}

/**
 * A JPEG decoded by libjpeg directly, at the scale asked for, into the
 * picture's own rows: Format_RGB32 for colour, Format_Grayscale8 for grey,
 * the same pixels as Qt's reader at full size. CMYK pictures become RGB as
 * Qt's reader makes them, taking them as Adobe writes them (inverted).
 *
 * libjpeg reports an error by a jump (longjmp) back into the function that
 * set it, start() or decode(); both therefore make their libjpeg calls
 * themselves, with nothing after setjmp that has a destructor, and keep
 * what they make in members.
 */
class JpegDecode
{
public:
    JpegDecode()
    {
        m_info.err = jpeg_std_error(&m_errors.manager);
        m_errors.manager.error_exit = jpegFailed;
        m_errors.manager.output_message = jpegMessage;
        jpeg_create_decompress(&m_info);
    }
    ~JpegDecode() { jpeg_destroy_decompress(&m_info); }
    JpegDecode(const JpegDecode &) = delete;
    JpegDecode &operator=(const JpegDecode &) = delete;

    /**
     * Reads the header of the JPEG in data and sets the scale: false when
     * the header is damaged or the colour space is one Qt's reader does
     * not take either.
     */
    bool start(QByteArrayView data, int drawnSide)
    {
        if (setjmp(m_errors.failed))
            return false;
        jpeg_mem_src(&m_info, reinterpret_cast<const unsigned char *>(data.data()), static_cast<unsigned long>(data.size()));
        jpeg_read_header(&m_info, TRUE);
        // A backstop, as for Qt's readers: libjpeg refuses to hold more than
        // twice the decoding budget, which the checks before keep it within.
        m_info.mem->max_memory_to_use = long(2 * kMaxDecodeBytes);
        switch (m_info.jpeg_color_space) {
        case JCS_GRAYSCALE:
            m_info.out_color_space = JCS_GRAYSCALE;
            break;
        case JCS_YCbCr:
        case JCS_RGB:
            m_info.out_color_space = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRX : JCS_EXT_XRGB; // QRgb
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            m_info.out_color_space = JCS_CMYK;
            break;
        default:
            return false;
        }
        m_scale = jpegScale(QSize(int(m_info.image_width), int(m_info.image_height)), drawnSide);
        m_info.scale_num = unsigned(m_scale);
        m_info.scale_denom = 8;
        jpeg_calc_output_dimensions(&m_info);
        return m_info.output_width > 0 && m_info.output_height > 0;
    }

    /** The stored picture's size, and the decoded one's. */
    QSize stored() const { return QSize(int(m_info.image_width), int(m_info.image_height)); }
    QSize decoded() const { return QSize(int(m_info.output_width), int(m_info.output_height)); }
    int scale() const { return m_scale; }

    /** Decodes the picture into image(); false when the data is damaged or memory runs out. */
    bool decode()
    {
        if (setjmp(m_errors.failed))
            return false;
        jpeg_start_decompress(&m_info);
        const bool cmyk = m_info.out_color_space == JCS_CMYK;
        m_image = QImage(decoded(), m_info.out_color_space == JCS_GRAYSCALE ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
        if (m_image.isNull() || (cmyk && !m_cmykRow.tryAllocate(size_t(m_info.output_width) * 4)))
            return false;
        while (m_info.output_scanline < m_info.output_height) {
            uchar *line = m_image.scanLine(int(m_info.output_scanline));
            JSAMPROW row = cmyk ? m_cmykRow.data : line;
            if (jpeg_read_scanlines(&m_info, &row, 1) != 1)
                return false;
            if (cmyk) {
                auto *out = reinterpret_cast<QRgb *>(line);
                for (JDIMENSION x = 0; x < m_info.output_width; ++x) {
                    const uchar *p = m_cmykRow.data + 4 * x;
                    out[x] = qRgb(p[3] * p[0] / 255, p[3] * p[1] / 255, p[3] * p[2] / 255);
                }
            }
        }
        jpeg_finish_decompress(&m_info);
        return true;
    }

    QImage takeImage() { return std::move(m_image); }

private:
    /** A row buffer that an allocation failure leaves empty rather than throwing past libjpeg. */
    struct Row
    {
        std::unique_ptr<uchar[]> owner;
        uchar *data = nullptr;
        bool tryAllocate(size_t bytes)
        {
            owner.reset(new (std::nothrow) uchar[bytes]);
            data = owner.get();
            return data != nullptr;
        }
    };

    jpeg_decompress_struct m_info = {};
    JpegErrors m_errors = {};
    int m_scale = 8;
    QImage m_image;
    Row m_cmykRow;
};

/** image turned upright as transformation says, as Qt's reader turns a picture by its EXIF orientation. */
void turnUpright(QImage &image, QImageIOHandler::Transformations transformation)
{
    if (transformation == QImageIOHandler::TransformationNone)
        return;
    if (transformation == QImageIOHandler::TransformationRotate270) {
        image = image.transformed(QTransform().rotate(270));
        return;
    }
    image = std::move(image).mirrored(transformation & QImageIOHandler::TransformationMirror,
                                      transformation & QImageIOHandler::TransformationFlip);
    if (transformation & QImageIOHandler::TransformationRotate90)
        image = image.transformed(QTransform().rotate(90));
}

/**
 * A JPEG decoded by libjpeg at the scale jpegScale() picks, under the limits of
 * ImageLoad.h: libjpeg's coefficients (facts.coefficientBytes) and the
 * decoded picture at 4 bytes a pixel, twice that when turning it upright
 * makes a turned copy before the decoded one is released.
 */
std::optional<DecodedImage> loadJpeg(QByteArrayView bytes, const JpegFacts &facts,
                                     QImageIOHandler::Transformations transformation, int drawnSide)
{
    JpegDecode jpeg;
    if (!jpeg.start(bytes, drawnSide))
        return std::nullopt;
    const QSize stored = jpeg.stored();
    const QSize decodedSize = jpeg.decoded();
    const int bytesPerPixel = transformation == QImageIOHandler::TransformationNone ? 4 : 8;
    const qint64 decodeBytes = facts.coefficientBytes + qint64(decodedSize.width()) * decodedSize.height() * bytesPerPixel;
    if (decodeBytes > kMaxDecodeBytes)
        return std::nullopt;
    const bool quarterTurn = transformation & QImageIOHandler::TransformationRotate90;
    DecodeBudget::Grant budget = claimConversion(bytes.size(), decodeBytes,
                                                 quarterTurn ? decodedSize.transposed() : decodedSize, drawnSide);
    const bool decodedWhole = jpeg.decode();
    clearUpperAvxState();
    if (!decodedWhole)
        return std::nullopt;
    QImage image = jpeg.takeImage();
    turnUpright(image, transformation);
    if (image.isNull())
        return std::nullopt;
    DeclaredColour declared;
    declared.iccProfile = facts.iccProfile;
    convertToSrgb(image, declared);

    // The decoded picture measures stored * scale / 8 of its pixels; its
    // last column and row hold the partial blocks at the right and bottom
    // edges, and reach a little past that.
    DecodedImage decoded;
    decoded.size = QSizeF(quarterTurn ? stored.transposed() : stored);
    decoded.extent = decoded.size * jpeg.scale() / 8.0;
    decoded.image = std::move(image);
    decoded.budget = std::move(budget);
    return decoded;
}

/**
 * A PNG that PngDecoder takes, under the same limits as any picture: its
 * pixels, and the decoded picture (1 to 4 bytes a pixel, 8 for 16-bit
 * colour) with the rows and buffers the decoder works with. The colour
 * chunks are read before decoding moves the image data within bytes.
 */
std::optional<DecodedImage> loadPng(PngDecoder &png, QByteArray &bytes, int drawnSide)
{
    const qint64 pixels = qint64(png.width()) * png.height();
    const qint64 decodeBytes = png.pictureBytes() + png.workingBytes();
    if (pixels > kMaxPixels || decodeBytes > kMaxDecodeBytes)
        return std::nullopt;
    DecodeBudget::Grant budget = claimConversion(bytes.size(), decodeBytes, QSize(png.width(), png.height()), drawnSide);
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

    if (jpeg)
        return loadJpeg(*bytes, jpegFacts, reader.transformation(), drawnSide);

    // The memory the decode holds at its peak: the decoded picture, twice
    // over for a GIF, whose reader keeps a second screen-sized image, and
    // when turning it upright makes a turned copy before the decoded one is
    // released.
    qint64 decodeBytes = kMaxDecodeBytes;
    if (stored.isValid()) {
        const int format = int(reader.imageFormat());
        const bool deep = format > QImage::Format_Invalid && format < QImage::NImageFormats
            && QImage::toPixelFormat(QImage::Format(format)).bitsPerPixel() > 32;
        int bytesPerPixel = deep ? 8 : 4;
        if (gif)
            bytesPerPixel *= 2;
        if (reader.transformation() != QImageIOHandler::TransformationNone)
            bytesPerPixel *= 2;
        decodeBytes = qint64(stored.width()) * stored.height() * bytesPerPixel;
    }
    if (decodeBytes > kMaxDecodeBytes)
        return std::nullopt;
    DecodeBudget::Grant budget = claimConversion(bytes->size(), decodeBytes, stored, drawnSide);

    QImage image = reader.read(); // GIFs declare no colour space: they are sRGB
    clearUpperAvxState();
    if (image.isNull())
        return std::nullopt;

    DecodedImage decoded;
    decoded.size = decoded.extent = QSizeF(image.size());
    decoded.image = std::move(image);
    decoded.budget = std::move(budget);
    return decoded;
}

} // namespace imaging
