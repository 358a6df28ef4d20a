#include "core/ServerError.h"

ServerError::ServerError(QString domain, qint64 code, QString message)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_message(std::move(message))
    , m_what(m_message.toStdString())
{
}

ServerError makeError(const QString &domain, qint64 code, const QString &message)
{
    return ServerError(domain, code, message);
}

ServerError makeError(AuthError code, const QString &message)
{
    return ServerError(ErrorDomain::Auth, qint64(code), message);
}

ServerError makeError(UploadError code, const QString &message)
{
    return ServerError(ErrorDomain::Upload, qint64(code), message);
}

ServerError makeError(LookupError code, const QString &message)
{
    return ServerError(ErrorDomain::IconLookup, qint64(code), message);
}

ServerError makeError(ImageError code, const QString &message)
{
    return ServerError(ErrorDomain::ImageConversion, qint64(code), message);
}
