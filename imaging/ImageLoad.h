#pragma once

#include <QImage>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <optional>

namespace imaging {

/** A decoded picture, upright, possibly decoded at reduced size. */
struct DecodedImage
{
    QImage image;  // EXIF orientation applied
    QSizeF size;   // the whole picture's size in its own pixels, upright
    QSizeF extent; // the same picture measured in pixels of image
};

/**
 * Limits checked against the header before any pixel is decoded.
 *
 * kMaxPixels bounds the picture, and with it the decoding time: the biggest
 * real photographs are 200 MP phone-sensor shots (16320x12240) and 100 MP
 * medium-format ones; a larger header is forged (a "decompression bomb") or
 * belongs to a scan no icon is made from.
 *
 * kMaxDecodedPixels bounds memory: PNG and GIF decode at full size, 4 bytes
 * a pixel (8 for 16-bit PNGs), JPEGs at their reduced size. 120 MP still
 * takes a 100 MP camera's picture saved as PNG (480 MB decoded).
 */
inline constexpr qint64 kMaxPixels = 200'000'000;
inline constexpr qint64 kMaxDecodedPixels = 120'000'000;

/**
 * Loads the image file at filePath for drawing with its longer side at
 * drawnSide pixels. A JPEG much larger than that is decoded at 1/2, 1/4 or
 * 1/8 size by libjpeg's DCT scaling, never below twice the drawn size.
 *
 * Returns nothing when the file is missing or unreadable, is not a regular
 * file (a folder, a named pipe, a device), is not an image Qt
 * decodes, is cut short, has a zero side, or is over the limits above.
 * Safe to call from any thread.
 */
std::optional<DecodedImage> loadImage(const QString &filePath, int drawnSide);

/** The JPEG decode reduction (1, 2, 4 or 8) for a picture of this stored size. */
int jpegReduction(QSize storedSize, int drawnSide);

/**
 * Whether the JPEG file at filePath reaches its end marker. libjpeg takes a
 * file that ends inside the image data as a mere warning and fills the rest
 * with grey; such a file is treated as unreadable instead.
 */
bool jpegIsComplete(const QString &filePath);

/**
 * Whether the GIF file at filePath holds its first image's data whole, up
 * to the block that ends it. Qt's GIF reader returns whatever part of a
 * cut-off frame it decoded, with the rest transparent; such a file is
 * treated as unreadable instead. Only the first frame, the one decoded,
 * must be whole.
 */
bool gifIsComplete(const QString &filePath);

} // namespace imaging
