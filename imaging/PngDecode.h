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

/**
 * A PNG decoder for the common kinds of PNG file: 8 and 16 bits a sample,
 * not interlaced, any colour type. It gives the same QImage, format and
 * pixels as Qt's PNG reader (libpng) does: raw samples, no gamma applied,
 * 16-bit samples kept, palettes and tRNS transparency as colour tables or
 * alpha. It is faster mainly because it inflates with libdeflate in one
 * call and undoes the row filters a whole pixel at a time, and it needs no
 * memory beyond the decoded picture: the image data is inflated into the
 * far end of the picture's own buffer and unfiltered towards its start.
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

    /** A PNG of 8 or 16 bits a sample, not interlaced, with a valid header. */
    bool handles() const { return m_handles; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    /** The format of the image decode() returns. */
    QImage::Format format() const;

    /**
     * The picture, or a null image when the file is damaged or memory runs
     * out. Moves the image data within file's bytes (its IDAT chunks are
     * joined in place), so file is not a PNG afterwards.
     */
    QImage decode(QByteArray &file);

private:
    bool m_handles = false;
    int m_width = 0;
    int m_height = 0;
    int m_depth = 0;      // bits a sample: 8 or 16
    int m_colourType = 0; // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    bool m_damaged = false;      // a chunk before the image data fails the decode
    qsizetype m_firstIdat = 0;   // where the first IDAT chunk starts
    QList<QRgb> m_palette;       // PLTE with tRNS's alpha, for palette images
    bool m_colourKey = false;
    quint16 m_key[3] = {}; // the grey or red, green, blue sample that tRNS makes transparent
};

} // namespace imaging
