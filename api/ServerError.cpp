#include "api/ServerError.h"

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
