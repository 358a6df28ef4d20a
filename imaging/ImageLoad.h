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
 * The largest picture decoded, by the pixel count its header declares. The
 * biggest real photographs are 200 MP phone-sensor shots (16320x12240) and
 * 100-150 MP medium-format ones; anything larger is a forged header (a
 * "decompression bomb") or a scan no icon is made from. Checked before any
 * pixel is decoded.
 */
inline constexpr qint64 kMaxPixels = 200'000'000;

/**
 * Loads the image file at filePath for drawing with its longer side at
 * drawnSide pixels. A JPEG much larger than that is decoded at 1/2, 1/4 or
 * 1/8 size by libjpeg's DCT scaling, never below twice the drawn size.
 *
 * Returns nothing when the file is missing or unreadable, is not an image Qt
 * decodes, is cut short, has a zero side, or declares more than kMaxPixels.
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

} // namespace imaging
