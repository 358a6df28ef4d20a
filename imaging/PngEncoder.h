#pragma once

#include <QByteArray>
#include <QImage>

namespace imaging {

/**
 * Encodes image (Format_ARGB32) as an 8-bit RGBA PNG with the usual encoder
 * defaults: zlib level 6 with the filtered-data strategy, and per row the
 * filter with the smallest sum of absolute differences, as libpng chooses.
 *
 * Compression, nearly all of the work, runs in two halves on two threads.
 * The second half's compressor starts with the first half's last 32 KB as
 * its dictionary, as parallel gzip does, so the result is one ordinary zlib
 * stream within a fraction of a percent of the single-threaded size. The
 * output does not depend on the number of processors.
 *
 * Returns an empty array when out of memory or when zlib fails.
 */
QByteArray encodePng(const QImage &image);

} // namespace imaging
