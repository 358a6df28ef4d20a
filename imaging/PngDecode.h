#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QImage>
#include <QList>

namespace imaging {

/** One chunk of a PNG file, read in place. */
struct PngChunk
{
    qsizetype at = 0; // where its length field starts in the file
    quint32 length = 0;
    QByteArrayView type;
    const char *data = nullptr;

    qsizetype next() const { return at + 12 + qsizetype(length); }
    /** Whether its checksum matches (always true in a fuzzing build, so that changes reach what follows). */
    bool crcMatches() const;
};

/** The chunk starting at at; false when it is cut short or malformed, as libpng takes it. */
bool pngChunkAt(QByteArrayView file, qsizetype at, PngChunk &chunk);

/** Whether file begins with the PNG signature: a PNG file, which PngDecoder alone decodes. */
bool isPngFile(QByteArrayView file);

/**
 * A PNG decoder for every valid PNG file: each colour type at each of its
 * bit depths, interlaced or not. Raw samples come out, no gamma applied:
 * 8-bit grey, RGB and RGBA as stored (Grayscale8, RGB888, RGBA8888), 8-bit
 * grey and alpha and colour keys as ARGB32, 16-bit samples kept, 1, 2 and
 * 4-bit ones (grey or palette) as Indexed8 with one byte a pixel; palettes
 * and tRNS transparency become colour tables or alpha. The pixels are
 * those of Qt's reader (libpng), where that reader is right.
 *
 * It is fast mainly because it inflates a file that is not interlaced with
 * libdeflate in one call and undoes the row filters a whole pixel at a
 * time (runs of Paeth rows four rows at once), and such a file needs no
 * memory beyond the decoded picture: the image data is inflated into the
 * far end of the picture's own buffer and unfiltered towards its start,
 * straight into place where the picture's rows are the unfiltered bytes.
 * An interlaced file's seven passes each
 * cover the whole picture, so its image data is inflated a row at a time
 * by zlib, and each row is unfiltered and put in place at once; it needs
 * a few rows beyond the picture.
 *
 * It is as strict as libpng is by default: the checksums of critical
 * chunks and of the image data (zlib's Adler-32) are checked, a chunk out
 * of place, a stream with too little data, a bad filter type or a missing
 * IEND fail the decode; ancillary chunks other than tRNS are skipped, and
 * a tRNS that libpng would ignore (bad checksum, wrong length, out of
 * place) is ignored.
 */
class PngDecoder
{
public:
    /**
     * Reads the signature, the header and the chunks before the image data;
     * handles() tells whether decode() takes the file.
     */
    explicit PngDecoder(QByteArrayView file);

    /** A PNG file with a valid header. */
    bool handles() const { return m_handles; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    /** The format of the image decode() returns. */
    QImage::Format format() const;
    /** The decoded picture's bytes. */
    qint64 pictureBytes() const;
    /** The most memory decode() holds besides the picture itself: rows, the inflater, filtered data past the picture's end. */
    qint64 workingBytes() const;

    /**
     * The picture, or a null image when the file is damaged or memory runs
     * out. Moves the image data within file's bytes (its IDAT chunks are
     * joined in place), so file is not a PNG afterwards.
     */
    QImage decode(QByteArray &file);

private:
    QImage decodeRows(const char *stream, size_t streamLength) const;
    QImage decodePasses(const char *stream, size_t streamLength) const;
    /** The bytes of a row of count pixels, as stored. */
    size_t packedBytes(int count) const;
    size_t lineBytes() const;
    /** Whether the picture's rows are the unfiltered rows as they are, and so unfiltered in place. */
    bool unfiltersInPlace() const;
    /** Unfilters the rows inflated into raw, the far end of the picture's buffer bits, into place. */
    bool unfilterInPlace(const quint8 *raw, uchar *bits, size_t rowBytes, size_t lineLength) const;
    /** count pixels of an unfiltered row s as the picture's pixels at line. */
    void convertRow(const quint8 *s, uchar *line, int count) const;

    bool m_handles = false;
    int m_width = 0;
    int m_height = 0;
    int m_depth = 0;      // bits a sample: 1, 2, 4, 8 or 16
    int m_colourType = 0; // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    int m_channels = 1;
    int m_bpp = 1;        // bytes a pixel as the row filters count them, at least 1
    bool m_interlaced = false;
    bool m_damaged = false;      // a chunk before the image data fails the decode
    qsizetype m_firstIdat = 0;   // where the first IDAT chunk starts
    QList<QRgb> m_palette;       // PLTE with tRNS's alpha, or grey levels, for Indexed8 images
    bool m_colourKey = false;
    quint16 m_key[3] = {}; // the grey or red, green, blue sample that tRNS makes transparent
};

} // namespace imaging
