#include "api/IconUpload.h"

#include "api/ServerUrl.h"
#include "core/ServerError.h"
#include "imaging/Png512.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QUuid>
#include <QtConcurrent>

#include <QCoroFuture>

#include <exception>

namespace {

/** A conversion's outcome carried back from the worker thread. */
struct Conversion
{
    QByteArray png;
    std::exception_ptr error;
};

/**
 * Runs makePNG512 on the global thread pool; its error is rethrown here
 * unchanged.
 *
 * The lambda is a named local on purpose: GCC 12 destroys a lambda that is
 * created inside a co_await expression twice, and with it its copy of the
 * path, which frees a string that is still in use.
 */
QCoro::Task<QByteArray> makePNG512OffThread(QString filePath)
{
    const auto convert = [filePath] {
        Conversion result;
        try {
            result.png = makePNG512(filePath);
        } catch (...) {
            result.error = std::current_exception();
        }
        return result;
    };
    const QFuture<Conversion> future = QtConcurrent::run(convert);
    const Conversion conversion = co_await future;
    if (conversion.error)
        std::rethrow_exception(conversion.error);
    co_return conversion.png;
}

/**
 * A file name made safe for a quoted header parameter the way browsers do
 * it for the double quote, CR and LF (%22, %0D, %0A), and the same for
 * every other control character, which a header cannot carry either: a
 * name can neither end the parameter nor break the part's header. Every
 * other byte, UTF-8 included, goes as it is.
 */
QByteArray quotedParameterValue(const QString &text)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray value;
    value.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '"' || uchar(c) < 0x20 || c == 0x7F)
            value.append('%').append(Hex[uchar(c) >> 4]).append(Hex[uchar(c) & 0xF]);
        else
            value.append(c);
    }
    return value;
}

} // namespace

QString uploadFileName(const QString &filePath)
{
    const QString fileName = QFileInfo(filePath).fileName();
    // A leading dot starts a hidden name, not an extension.
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return (dot > 0 ? fileName.left(dot) : fileName) + QStringLiteral(".png");
}

QByteArray multipartBody(const QByteArray &boundary, const QString &uploadFileName, const QByteArray &png)
{
    const QByteArray fileName = quotedParameterValue(uploadFileName);
    QByteArray body;
    body.reserve(169 + fileName.size() + png.size());
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"\r\n";
    body += "Content-Type: image/png\r\n\r\n";
    body += png;
    body += "\r\n--" + boundary + "--\r\n";
    return body;
}

QString iconIDFromUploadReply(const HttpReply &reply, const QString &fileName)
{
    if (!reply.status) {
        throw makeError(UploadError::NoHTTPResponse,
                        QStringLiteral("No HTTP response while uploading ") + fileName + u'.');
    }
    if (*reply.status != 200 && *reply.status != 201) {
        throw makeError(ErrorDomain::Upload, *reply.status,
                        QStringLiteral("Failed to upload ") + fileName + QStringLiteral(". ")
                            + failedStatusText(*reply.status, reply.body));
    }

    const QJsonDocument document = parseJsonBody(reply.body);
    const QJsonObject object = document.object();
    if (!document.isObject() || !object.contains(QLatin1String("id"))) {
        throw makeError(UploadError::NoIconID,
                        QStringLiteral("Upload succeeded, but Velk did not return an icon ID for ") + fileName + u'.');
    }
    const std::optional<QString> id = iconIDText(object.value(QLatin1String("id")));
    if (!id) {
        throw makeError(UploadError::BadIconID,
                        QStringLiteral("Velk returned an icon ID in an unexpected format for ") + fileName + u'.');
    }
    return *id;
}

QUrl iconUploadUrl(const QString &serverUrl)
{
    const std::optional<QUrl> url = endpointUrl(serverUrl, QStringLiteral("/api/v1/icon"));
    if (!url)
        throw makeError(UploadError::InvalidURL, QStringLiteral("Invalid Velk Pro URL."));
    return *url;
}

QCoro::Task<IconLookupResult> uploadIcon(QString serverUrl, QString bearerToken, QString filePath, HttpClient &http)
{
    // The URL is checked first, so a bad server URL is reported even for a
    // file that is not an image.
    iconUploadUrl(serverUrl);
    QByteArray png = co_await makePNG512OffThread(filePath);
    co_return co_await uploadPNG(serverUrl, bearerToken, QFileInfo(filePath).fileName(), std::move(png), http);
}

QCoro::Task<IconLookupResult> uploadPNG(QString serverUrl, QString bearerToken, QString fileName, QByteArray png,
                                        HttpClient &http)
{
    const QByteArray boundary = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    HttpRequest request(HttpMethod::Post, iconUploadUrl(serverUrl));
    request.header("Authorization", "Bearer " + bearerToken.toUtf8())
        .header("Content-Type", "multipart/form-data; boundary=" + boundary);
    request.body = multipartBody(boundary, uploadFileName(fileName), png);
    png.clear(); // the body holds the only copy now
    const HttpReply reply = co_await http.send(std::move(request));
    const QString iconID = iconIDFromUploadReply(reply, fileName);
    co_return co_await lookupIcon(serverUrl, bearerToken, iconID, http);
}
