#pragma once

#include <QByteArray>
#include <QImage>

namespace imaging {

/**
 * Encodes image (Format_RGBA8888 or Format_ARGB32) as an 8-bit RGBA PNG.
 *
 * Per row the filter with the smallest sum of magnitudes wins, as libpng
 * chooses, with Up favoured on smooth pictures. The filtered rows are then
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
