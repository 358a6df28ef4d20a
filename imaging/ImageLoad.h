#pragma once

#include "imaging/DecodeBudget.h"

#include <QByteArray>
#include <QImage>
#include <QSizeF>
#include <QString>

#include <optional>

namespace imaging {

/** A decoded picture, upright and in sRGB, possibly decoded at reduced size. */
struct DecodedImage
{
    QImage image;  // EXIF orientation applied, converted to sRGB
    QSizeF size;   // the whole picture's size in its own pixels, upright
    QSizeF extent; // the same picture measured in pixels of image
    DecodeBudget::Grant budget; // what the conversion claimed of the shared budget (DecodeBudget.h)
};

/**
 * Limits checked against the file and its headers before any pixel is
 * decoded. Together they keep one conversion under 400 MB for any file up
 * to 50 MB: about 20 MB of the process's own, the file's bytes, at most
 * kMaxDecodeBytes for decoding, and the resampler's and the encoder's few
 * tens of MB, whatever the picture's shape. Conversions on several threads
 * share kMaxDecodeBytes between them (DecodeBudget), so that together they
 * stay within what one may hold.
 *
 * kMaxFileBytes: the file is read whole into memory once, and every check
 * and the decoder work on those bytes.
 *
 * kMaxPixels bounds the picture, and with it the decoding time: the biggest
 * real photographs are 200 MP phone-sensor shots (16320x12240) and 100 MP
 * medium-format ones; a larger header is forged (a "decompression bomb") or
 * belongs to a scan no icon is made from.
 *
 * kMaxDecodeBytes bounds the memory a decode holds: the decoded picture at
 * 4 bytes a pixel (for PNGs as stored: 1 to 4, 8 for 16-bit colour), plus
 * for a PNG the few rows and the inflater PngDecoder works with (PNG and
 * GIF decode at full size, JPEGs at their reduced size), twice that for a
 * GIF, whose reader keeps a second screen-sized image, and for a
 * progressive or otherwise multi-scan JPEG the coefficients libjpeg keeps
 * for the whole picture at full size (2 bytes per coefficient, 64 per
 * block: about 3 bytes a pixel with 4:2:0 chroma, 6 without), whatever the
 * reduction. That takes 8-bit RGBA PNGs up to 67 MP (RGB ones to 89 MP),
 * 16-bit ones up to 33 MP, GIF screens up to 33 MP,
 * progressive JPEGs up to about 87 MP (4:2:0; 44 MP without subsampling)
 * and every baseline JPEG up to kMaxPixels.
 *
 * kMaxJpegScans bounds a progressive JPEG's decoding time, which grows with
 * its scans times its coefficients. Encoders write about 10 scans.
 */
inline constexpr qint64 kMaxFileBytes = 256 * 1024 * 1024;
inline constexpr qint64 kMaxPixels = 200'000'000;
inline constexpr qint64 kMaxDecodeBytes = 256 * 1024 * 1024;
inline constexpr int kMaxJpegScans = 100;

/**
 * Loads the image file at filePath for drawing with its longer side at
 * drawnSide pixels. A JPEG much larger than that is decoded by libjpeg at
 * 1/2, 1/4 or 1/8 size, never below the drawn size. An embedded colour
 * profile other than sRGB is applied (ColourSpace.h).
 *
 * The file is opened once, without waiting (a named pipe never blocks),
 * and read only when that descriptor is a regular file within
 * kMaxFileBytes. Returns nothing when the file is missing or unreadable, is
 * not a regular file, is not an image that PngDecoder (every PNG), libjpeg
 * (every JPEG) or Qt (the other formats) decodes, is cut
 * short, has a zero side, or is over the limits above. Safe to call from
 * any thread.
 *
 * Before decoding it claims from DecodeBudget::shared() what the whole
 * conversion will hold, waiting while conversions on other threads hold
 * too much of it; the grant comes with the picture, to be given back as
 * the conversion lets go of its memory.
 */
std::optional<DecodedImage> loadImage(const QString &filePath, int drawnSide);

/** The same for the file whose path is nativePath, the exact bytes the system names it by. */
std::optional<DecodedImage> loadImage(const QByteArray &nativePath, int drawnSide);

} // namespace imaging
