#include "tools/stub-server/StubServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <sys/socket.h>

namespace {

// A request head larger than this is refused; ours are a few hundred bytes.
constexpr qsizetype MaxHeadSize = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// Statuses whose replies never carry a body; a client does not read one.
bool bodyless(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

QByteArray jsonBody(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

StubReply jsonError(int status, const QString &error)
{
    return StubReply::json(status, jsonBody({{QStringLiteral("error"), error}}));
}

// application/x-www-form-urlencoded, decoded as a server framework would:
// "+" is a space, %XX a byte, the bytes UTF-8.
QHash<QString, QString> formFields(const QByteArray &body)
{
    QHash<QString, QString> fields;
    for (const QByteArray &pair : body.split('&')) {
        if (pair.isEmpty())
            continue;
        const qsizetype equals = pair.indexOf('=');
        auto decode = [](QByteArray text) {
            return QString::fromUtf8(QByteArray::fromPercentEncoding(text.replace('+', ' ')));
        };
        const QString name = decode(pair.left(equals));
        fields.insert(name, equals < 0 ? QString() : decode(pair.mid(equals + 1)));
    }
    return fields;
}

// The parameters of a header value such as `form-data; name="file";
// filename="a.png"` or `multipart/form-data; boundary=X`, keys in lower case.
// A quoted value runs to the next double quote.
QHash<QByteArray, QByteArray> headerParameters(const QByteArray &value)
{
    QHash<QByteArray, QByteArray> parameters;
    qsizetype pos = value.indexOf(';');
    while (pos >= 0 && pos < value.size()) {
        while (pos < value.size() && (value[pos] == ';' || value[pos] == ' '))
            ++pos;
        const qsizetype equals = value.indexOf('=', pos);
        if (equals < 0)
            break;
        const QByteArray key = value.mid(pos, equals - pos).trimmed().toLower();
        pos = equals + 1;
        QByteArray parameter;
        if (pos < value.size() && value[pos] == '"') {
            const qsizetype close = value.indexOf('"', pos + 1);
            if (close < 0)
                break;
            parameter = value.mid(pos + 1, close - pos - 1);
            pos = close + 1;
        } else {
            const qsizetype end = value.indexOf(';', pos);
            parameter = value.mid(pos, end < 0 ? -1 : end - pos).trimmed();
            pos = end < 0 ? value.size() : end;
        }
        parameters.insert(key, parameter);
    }
    return parameters;
}

struct FilePart
{
    QByteArray fileName;
    QByteArray content;
};

// Finds the part named "file" in a multipart/form-data body.
std::optional<FilePart> fileFromMultipart(const QByteArray &body, const QByteArray &boundary)
{
    if (boundary.isEmpty())
        return std::nullopt;
    const QByteArray delimiter = "--" + boundary;
    qsizetype pos = body.indexOf(delimiter);
    while (pos >= 0) {
        pos += delimiter.size();
        if (body.mid(pos, 2) != "\r\n")
            return std::nullopt; // "--" ends the body; anything else is malformed
        const qsizetype headEnd = body.indexOf("\r\n\r\n", pos);
        const qsizetype contentEnd = body.indexOf("\r\n" + delimiter, headEnd);
        if (headEnd < 0 || contentEnd < 0)
            return std::nullopt;
        QByteArray disposition;
        for (const QByteArray &line : body.mid(pos + 2, headEnd - pos - 2).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == "content-disposition")
                disposition = line.mid(colon + 1).trimmed();
        }
        const auto parameters = headerParameters(disposition);
        if (parameters.value("name") == "file") {
            const qsizetype contentStart = headEnd + 4;
            return FilePart{parameters.value("filename"), body.mid(contentStart, contentEnd - contentStart)};
        }
        pos = contentEnd + 2;
    }
    return std::nullopt;
}

} // namespace

QByteArray StubRequest::path() const
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

QByteArray StubRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool StubRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

StubReply StubReply::json(int status, const QByteArray &body)
{
    return StubReply{status, {{"Content-Type", "application/json"}}, body};
}

StubReply StubReply::text(int status, const QByteArray &body)
{
    return StubReply{status, {{"Content-Type", "text/plain; charset=utf-8"}}, body};
}

StubReply StubReply::redirect(int status, const QByteArray &location)
{
    return StubReply{status, {{"Location", location}}, {}};
}

StubReply StubReply::failure(Fault fault)
{
    StubReply reply = json(200, R"({"access_token":"never-sent-whole","id":1,"url":"http://127.0.0.1/x.png"})");
    reply.fault = fault;
    return reply;
}

/** One accepted TCP connection and the bytes not yet parsed from it. */
struct StubServer::Connection
{
    QPointer<QTcpSocket> socket;
    int number = 0;
    qsizetype pace = 0; // bytes read every 10 ms; 0 reads all that arrived
    QByteArray buffer;
    bool waiting = false; // an answer is pending; later requests wait their turn
    bool closeAfterReply = false;
};

StubServer::StubServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &StubServer::acceptConnections);
}

StubServer::~StubServer()
{
    qDeleteAll(m_connections);
}

void StubServer::setSslConfiguration(const QSslConfiguration &configuration)
{
    m_sslConfiguration = configuration;
    auto *server = new QSslServer(this);
    server->setSslConfiguration(configuration);
    // A TLS connection is handed over once its handshake is done.
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &StubServer::acceptConnections);
    delete m_server;
    m_server = server;
}

bool StubServer::listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
}

void StubServer::setReadPace(qsizetype bytes)
{
    m_readPace = bytes;
    // Accepted connections inherit the listening socket's receive buffer.
    const int size = int(bytes);
    ::setsockopt(int(m_server->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

quint16 StubServer::port() const
{
    return m_server->serverPort();
}

QUrl StubServer::url() const
{
    return QUrl(urlText());
}

QString StubServer::urlText() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_sslConfiguration ? QLatin1String("https") : QLatin1String("http")).arg(port());
}

void StubServer::queueReply(const QByteArray &method, const QByteArray &path, const StubReply &reply)
{
    m_scripts.append(Script{method, path, reply});
}

void StubServer::setClientCredentials(const QString &clientID, const QString &clientSecret)
{
    m_clientID = clientID;
    m_clientSecret = clientSecret;
    m_checkCredentials = true;
}

void StubServer::acceptToken(const QByteArray &token)
{
    m_tokens.insert(token);
}

void StubServer::setStoreDirectory(const QString &dir)
{
    m_storeDir = dir;
}

void StubServer::forgetHistory()
{
    m_requests.clear();
    m_requests.squeeze();
    for (Icon &icon : m_icons)
        icon.png.clear();
}

QByteArray StubServer::iconPng(qint64 id) const
{
    return m_icons.value(id).png;
}

QString StubServer::iconName(qint64 id) const
{
    return m_icons.value(id).name;
}

void StubServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *connection = new Connection;
        connection->socket = socket;
        connection->number = ++m_connectionCount;
        connection->pace = m_readPace;
        m_connections.insert(socket, connection);
        const auto read = [this, socket] {
            if (Connection *c = m_connections.value(socket))
                readRequests(c);
        };
        if (connection->pace > 0) {
            // Qt stops reading the socket once this much waits in its buffer.
            socket->setReadBufferSize(connection->pace);
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, this, read);
            timer->start(10);
        } else {
            connect(socket, &QTcpSocket::readyRead, this, read);
        }
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (Connection *c = m_connections.value(socket))
                closeConnection(c);
        });
    }
}

void StubServer::readRequests(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    connection->buffer += connection->pace > 0 ? socket->read(connection->pace) : socket->readAll();

    // Answers go out in request order, so a pending answer holds back the
    // requests pipelined behind it.
    while (!connection->waiting) {
        QByteArray &buffer = connection->buffer;
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (buffer.size() > MaxHeadSize) {
                connection->closeAfterReply = true;
                send(connection, jsonError(431, QStringLiteral("request head too large")));
            }
            return;
        }

        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        StubRequest request;
        request.connection = connection->number;
        if (requestLine.size() == 3) {
            request.method = requestLine[0];
            request.target = requestLine[1];
        }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
        }

        bool lengthOk = true;
        const qint64 length = request.hasHeader("Content-Length") ? request.header("Content-Length").toLongLong(&lengthOk) : 0;
        if (request.method.isEmpty() || !lengthOk || length < 0 || request.hasHeader("Transfer-Encoding")) {
            // Not a request this server understands; say so and hang up, as
            // the rest of the stream cannot be framed.
            connection->closeAfterReply = true;
            send(connection, jsonError(400, QStringLiteral("malformed request")));
            return;
        }
        if (buffer.size() < headEnd + 4 + length)
            return;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);

        const bool http10 = requestLine[2] == "HTTP/1.0";
        const QByteArray connectionHeader = request.header("Connection").toLower();
        if (connectionHeader == "close" || (http10 && connectionHeader != "keep-alive"))
            connection->closeAfterReply = true;

        m_requests.append(request);
        answer(connection, request, scriptedReply(request));
        if (!m_connections.contains(socket))
            return; // the answer closed the connection
    }
}

void StubServer::answer(Connection *connection, const StubRequest &request, const StubReply &reply)
{
    if (reply.fault == StubReply::Fault::NeverAnswer) {
        connection->waiting = true;
        emit requestHandled(request, 0);
        return;
    }
    emit requestHandled(request, reply.fault == StubReply::Fault::None ? reply.status : 0);
    if (reply.delay.count() <= 0) {
        send(connection, reply);
        return;
    }
    connection->waiting = true;
    QPointer<QTcpSocket> socket = connection->socket;
    QTimer::singleShot(reply.delay, this, [this, socket, reply] {
        Connection *c = socket ? m_connections.value(socket) : nullptr;
        if (!c)
            return;
        c->waiting = false;
        send(c, reply);
        if (m_connections.contains(socket) && !c->buffer.isEmpty())
            readRequests(c);
    });
}

void StubServer::send(Connection *connection, const StubReply &reply)
{
    QTcpSocket *socket = connection->socket;
    if (reply.fault == StubReply::Fault::Drop) {
        closeConnection(connection);
        return;
    }

    const QByteArray body = bodyless(reply.status) ? QByteArray() : reply.body;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    bool hasLength = false;
    for (const auto &[name, value] : reply.headers) {
        head += name + ": " + value + "\r\n";
        hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
    }
    if (!hasLength && !bodyless(reply.status))
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (connection->closeAfterReply)
        head += "Connection: close\r\n";
    head += "\r\n";

    if (reply.fault == StubReply::Fault::CloseMidBody) {
        socket->write(head + body.left(body.size() / 2));
        socket->flush();
        closeConnection(connection);
        return;
    }
    if (reply.fault == StubReply::Fault::Trickle) {
        socket->write(head);
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, body, sent = qsizetype(0)]() mutable {
            if (sent < body.size())
                socket->write(body.mid(sent++, 1));
        });
        timer->start(reply.pace);
        return;
    }
    socket->write(head + body);
    if (connection->closeAfterReply)
        socket->disconnectFromHost(); // after the pending bytes are written
}

void StubServer::closeConnection(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    m_connections.remove(socket);
    delete connection;
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

StubReply StubServer::scriptedReply(const StubRequest &request)
{
    const QByteArray path = request.path();
    for (qsizetype i = 0; i < m_scripts.size(); ++i) {
        const Script &script = m_scripts[i];
        const bool pathMatches = script.path.endsWith('*') ? path.startsWith(script.path.chopped(1)) : path == script.path;
        if (script.method == request.method && pathMatches)
            return m_scripts.takeAt(i).reply;
    }
    StubReply reply = defaultReply(request);
    reply.delay = std::max(reply.delay, m_replyDelay);
    return reply;
}

StubReply StubServer::defaultReply(const StubRequest &request)
{
    const QByteArray path = request.path();
    if (request.method == "POST" && path == "/api/v1/oauth/token")
        return tokenReply(request);
    if (request.method == "POST" && path == "/api/v1/icon")
        return uploadReply(request);
    if (request.method == "GET" && path.startsWith("/api/v1/icon/")) {
        if (!authorized(request))
            return jsonError(401, QStringLiteral("invalid_token"));
        return lookupReply(path.mid(int(qstrlen("/api/v1/icon/"))));
    }
    if (request.method == "GET" && path.startsWith("/icons/") && path.endsWith(".png"))
        return pngReply(path.mid(7).chopped(4));
    return jsonError(404, QStringLiteral("not found"));
}

StubReply StubServer::tokenReply(const StubRequest &request)
{
    if (!request.header("Content-Type").startsWith("application/x-www-form-urlencoded"))
        return jsonError(400, QStringLiteral("invalid_request"));
    const QHash<QString, QString> form = formFields(request.body);
    if (form.value(QStringLiteral("grant_type")) != u"client_credentials")
        return jsonError(400, QStringLiteral("unsupported_grant_type"));
    if (m_checkCredentials
        && (form.value(QStringLiteral("client_id")) != m_clientID || form.value(QStringLiteral("client_secret")) != m_clientSecret))
        return jsonError(401, QStringLiteral("invalid_client"));

    const QByteArray token = "stub-token-" + QByteArray::number(++m_tokensIssued);
    m_tokens.insert(token);
    return StubReply::json(200, jsonBody({{QStringLiteral("access_token"), QString::fromLatin1(token)},
                                          {QStringLiteral("token_type"), QStringLiteral("Bearer")},
                                          {QStringLiteral("expires_in"), 3600}}));
}

StubReply StubServer::uploadReply(const StubRequest &request)
{
    if (!authorized(request))
        return jsonError(401, QStringLiteral("invalid_token"));
    const QByteArray contentType = request.header("Content-Type");
    if (!contentType.startsWith("multipart/form-data"))
        return jsonError(400, QStringLiteral("expected multipart/form-data"));
    const std::optional<FilePart> file = fileFromMultipart(request.body, headerParameters(contentType).value("boundary"));
    if (!file)
        return jsonError(400, QStringLiteral("no part named file"));

    const qint64 id = m_nextIconID++;
    m_icons.insert(id, Icon{file->content, QString::fromUtf8(file->fileName)});
    if (!m_storeDir.isEmpty()) {
        QFile stored(QDir(m_storeDir).filePath(QStringLiteral("%1.png").arg(id)));
        if (!stored.open(QIODevice::WriteOnly) || stored.write(file->content) != file->content.size())
            qWarning("stub server: cannot write %s", qPrintable(stored.fileName()));
    }
    return StubReply::json(201, jsonBody({{QStringLiteral("id"), id}}));
}

StubReply StubServer::lookupReply(const QByteArray &idText)
{
    bool ok = false;
    const qint64 id = idText.toLongLong(&ok);
    if (!ok || !m_icons.contains(id))
        return jsonError(404, QStringLiteral("icon not found"));
    return StubReply::json(200, jsonBody({{QStringLiteral("id"), id},
                                          {QStringLiteral("url"), QStringLiteral("%1/icons/%2.png").arg(urlText()).arg(id)},
                                          {QStringLiteral("name"), m_icons.value(id).name}}));
}

StubReply StubServer::pngReply(const QByteArray &idText)
{
    bool ok = false;
    const qint64 id = idText.toLongLong(&ok);
    if (!ok || !m_icons.contains(id))
        return jsonError(404, QStringLiteral("icon not found"));
    return StubReply{200, {{"Content-Type", "image/png"}}, m_icons.value(id).png};
}

bool StubServer::authorized(const StubRequest &request) const
{
    const QByteArray authorization = request.header("Authorization");
    return authorization.startsWith("Bearer ") && m_tokens.contains(authorization.mid(7));
}
