#include "imaging/Png512.h"

#include "core/ServerError.h"
#include "imaging/ImageLoad.h"
#include "imaging/PngEncoder.h"
#include "imaging/Resample.h"

#include <QFile>
#include <QFileInfo>
#include <QRectF>

#include <algorithm>

namespace {

constexpr int kCanvasSide = 512;
constexpr double kCentring = 0.5;

/** Where the picture lands: fitted inside the canvas, centred, not rounded. */
QRectF fittedRect(const QSizeF &size)
{
    const double scale = std::min(kCanvasSide / size.width(), kCanvasSide / size.height());
    const double dw = size.width() * scale;
    const double dh = size.height() * scale;
    return QRectF((kCanvasSide - dw) * kCentring, (kCanvasSide - dh) * kCentring, dw, dh);
}

} // namespace

QByteArray makePNG512(const QString &filePath)
{
    return makePNG512(QFile::encodeName(filePath), QFileInfo(filePath).fileName());
}

QByteArray makePNG512(const QByteArray &nativePath, const QString &fileName)
{
    QImage canvas;
    {
        const std::optional<imaging::DecodedImage> decoded = imaging::loadImage(nativePath, kCanvasSide);
        if (!decoded)
            throw makeError(ImageError::CannotOpen, QStringLiteral("Could not open image: ") + fileName);
        canvas = imaging::renderFitted(decoded->image, decoded->extent, fittedRect(decoded->size), kCanvasSide);
    } // the decoded picture is released before encoding

    const QByteArray png = imaging::encodePng(canvas);
    if (png.isEmpty())
        throw makeError(ImageError::CannotEncode,
                        QStringLiteral("Failed to convert image to 512x512 PNG: ") + fileName);
    return png;
}
