#pragma once

#include <QString>

#include <exception>
#include <string>

/** Error domains of our own operations, and of the errors passed on from the platform. */
namespace ErrorDomain {
inline const QString Auth = QStringLiteral("VelkAuth");
inline const QString Upload = QStringLiteral("VelkUpload");
inline const QString IconLookup = QStringLiteral("VelkIconLookup");
inline const QString ImageConversion = QStringLiteral("ImageConversion");
// Errors passed on from the platform keep their origin as the domain.
// Failures of the HTTP client (api/Http.h), with libcurl's CURLcode as code.
inline const QString Network = QStringLiteral("HTTPClient");
inline const QString Json = QStringLiteral("QJsonParseError");
inline const QString FileSystem = QStringLiteral("FileSystem");
} // namespace ErrorDomain

/**
 * The codes of our own failures, grouped by hundreds per domain. A failed
 * HTTP status is not among them: it is carried as the bare status.
 */
enum class AuthError : qint64 { InvalidURL = 100, NoHTTPResponse = 101, NoAccessToken = 102 };
enum class UploadError : qint64 { InvalidURL = 200, NoHTTPResponse = 201, NoIconID = 202, BadIconID = 203 };
enum class LookupError : qint64 { InvalidURL = 300, NoHTTPResponse = 301, NoID = 302, NoURL = 303 };
enum class ImageError : qint64 { CannotOpen = 400, CannotEncode = 401 };

/**
 * The one error value of the application. Every failure that can end an
 * upload run is thrown as a ServerError: the server operations' own failures,
 * the image conversion's, and those of the HTTP client, the JSON parser and
 * the file system, which keep their own domain, code and text.
 *
 * The message is the error's one human-readable description; the status line
 * shows it after "Error: ".
 */
class ServerError : public std::exception
{
public:
    ServerError(QString domain, qint64 code, QString message);

    const QString &domain() const noexcept { return m_domain; }
    qint64 code() const noexcept { return m_code; }
    const QString &message() const noexcept { return m_message; }

    const char *what() const noexcept override { return m_what.c_str(); }

private:
    QString m_domain;
    qint64 m_code;
    QString m_message;
    std::string m_what;
};

/** Builds the error that a failure site throws at once: a failed status, or an error passed on. */
ServerError makeError(const QString &domain, qint64 code, const QString &message);

/** The same for one of our own failures; the code names its domain. */
ServerError makeError(AuthError code, const QString &message);
ServerError makeError(UploadError code, const QString &message);
ServerError makeError(LookupError code, const QString &message);
ServerError makeError(ImageError code, const QString &message);
