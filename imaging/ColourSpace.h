#pragma once

#include <QByteArray>
#include <QImage>

#include <array>

namespace imaging {

/** The colour space an image file declares for its pixels, as far as it declares one. */
struct DeclaredColour
{
    QByteArray iccProfile; // an embedded ICC profile (PNG iCCP, JPEG APP2)
    bool srgb = false;     // a PNG sRGB chunk
    quint32 gamma = 0;     // PNG gAMA: the encoding exponent times 100000; 0 when absent
    // PNG cHRM: x and y of the white point, red, green and blue, times 100000; all 0 when absent
    std::array<quint32, 8> chromaticities = {};
};

/**
 * Converts image in place from the colour space declared to sRGB, with
 * littleCMS, relative colorimetric. Colour is converted unpremultiplied;
 * alpha is carried through untouched. An ICC profile takes precedence over
 * an sRGB chunk, which takes precedence over gAMA and cHRM.
 *
 * RGB profiles convert every pixel of a colour image (or its colour
 * table); grey profiles, and any profile on a grey image, map each grey
 * level to the level of the grey it becomes in sRGB. Images whose declared
 * space is sRGB within one level, profiles that cannot be read, and
 * profiles of other spaces (CMYK, Lab) leave the image as it is: such a
 * file is shown as if it were sRGB, as it was before colour management.
 *
 * Needs no memory beyond a row, except for image formats no decoder of ours
 * produces (RGB16 and the like), which are converted to ARGB32 first.
 */
void convertToSrgb(QImage &image, const DeclaredColour &declared);

} // namespace imaging
