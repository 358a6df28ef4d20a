#pragma once

#include <QImage>
#include <QRectF>
#include <QSizeF>

namespace imaging {

/**
 * Draws src into the rectangle dst of a fully transparent side x side canvas
 * and returns the canvas as Format_RGBA8888 (straight alpha).
 *
 * The picture is resampled with a separable filter: enlarged with the
 * Catmull-Rom cubic, which keeps hard edges short; reduced (or drawn at its
 * own size) with Lanczos-3, widened by the reduction factor so that detail
 * finer than the canvas's pixels is averaged away instead of aliasing.
 * Each axis chooses by its own scale. Colour is filtered
 * premultiplied by alpha, so transparent pixels lend no colour to their
 * neighbours. dst keeps its fractional position: canvas pixels that the
 * rectangle only partly covers get that fraction of the picture's alpha.
 * Inside dst the picture replaces the canvas (copy, not blend).
 *
 * srcExtent is the size of the whole picture measured in src's pixels. It
 * equals src's size unless src was decoded at reduced size, in which case
 * it can fall short of it by less than a pixel: src's last column and row
 * hold the picture's edge and reach a little past it.
 *
 * At its own size and a whole-pixel position the picture is copied, with
 * the same pixels that filtering would give. A grey picture, which is
 * opaque, is filtered as grey levels alone, a quarter of the work.
 *
 * Any QImage format is accepted. Returns a null image when out of memory.
 */
QImage renderFitted(const QImage &src, const QSizeF &srcExtent, const QRectF &dst, int side);

/**
 * The most memory renderFitted() holds, the canvas included, for a picture
 * of srcSize pixels fitted into a side x side canvas. It stays within a few
 * tens of megabytes whatever the shape: the resampler reads very wide rows
 * in strips and keeps only a bounded share of their weights.
 */
qint64 renderFittedWorkingBytes(const QSize &srcSize, int side);

/** The Lanczos-3 kernel: sinc(t) * sinc(t / 3) for |t| < 3, else 0. */
double lanczos3(double t);

/** The Catmull-Rom cubic (Keys, a = -0.5): 1 at 0, 0 at the other whole numbers, 0 for |t| >= 2. */
double catmullRom(double t);

} // namespace imaging
