#pragma once

#include <QImage>
#include <QRectF>

#include <vector>

/**
 * The drawing that makePNG512 does, written plainly and in double precision
 * as the oracle for the fast path: every canvas pixel is the Lanczos-3
 * weighted sum of the premultiplied source pixels around the point it
 * samples, the kernel widened by the reduction factor when shrinking, source
 * pixels beyond the edges repeating the edge, the sum brought into range
 * (alpha 0..255, colour 0..alpha) and scaled by the share of the pixel that
 * dst covers.
 *
 * Returns side * side premultiplied (r, g, b, a) values, row by row.
 */
std::vector<double> referenceRender(const QImage &image, const QRectF &dst, int side);
