#pragma once

#include <QByteArray>
#include <QImage>

namespace imaging {

/**
 * Encodes image (Format_RGBA8888 or Format_ARGB32) as an 8-bit PNG with an
 * alpha channel: grey and alpha when every pixel is grey, else RGBA.
 *
 * Per row the filter with the smallest sum of magnitudes wins, as libpng
 * chooses, with Up favoured on smooth pictures. On smooth pictures a trial
 * on rows spread over the picture then weighs that against leaving every
 * row unfiltered (flat and slightly enlarged icons, whose raw pixels repeat)
 * and against Up for every row (large enlargements). The rows are then
 * compressed in one piece on the calling thread: by libdeflate at level 6,
 * or, where a trial on 32 rows from the middle finds it smaller, as on
 * photos, by zlib's run-length strategy, which is faster still.
 *
 * Returns an empty array when out of memory or when compression fails.
 */
QByteArray encodePng(const QImage &image);

/** The most memory encodePng() holds for an image of this size, its result included. */
qint64 encodePngWorkingBytes(const QSize &size);

} // namespace imaging
