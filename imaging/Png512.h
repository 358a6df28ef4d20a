#pragma once

#include <QByteArray>
#include <QString>

/**
 * Turns the image file at filePath (PNG, JPEG or GIF) into the bytes of a
 * 512x512 PNG: the image scaled to fit the square with its aspect ratio
 * kept, centred at its exact fractional position, on a fully transparent
 * background.
 *
 * Throws ServerError "ImageConversion" 400 when the file cannot be opened
 * as an image, and 401 when the result cannot be encoded. Synchronous,
 * stateless and safe to call from any thread; nothing is written to disk.
 */
QByteArray makePNG512(const QString &filePath);

/**
 * The same for the file whose path is nativePath, the exact bytes the
 * system names it by (a name that is not valid UTF-8 stays as it is);
 * fileName is the name the error messages show.
 */
QByteArray makePNG512(const QByteArray &nativePath, const QString &fileName);
