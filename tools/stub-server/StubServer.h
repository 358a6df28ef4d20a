#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>
#include <utility>

class QTcpServer;
class QTcpSocket;

using StubHeaders = QList<std::pair<QByteArray, QByteArray>>;

/** One HTTP request as it arrived, byte for byte. */
struct StubRequest
{
    QByteArray method;
    QByteArray target; // as sent: path, then any query
    StubHeaders headers; // in the order received, names as sent
    QByteArray body;
    int connection = 0; // which accepted TCP connection carried it, from 1

    /** The target without its query. */
    QByteArray path() const;
    /** The first value of a header, names compared case-insensitively; empty when absent. */
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

/** A scripted answer to one request. */
struct StubReply
{
    enum class Fault {
        None,
        Drop, // close the connection without answering
        CloseMidBody, // send the head and half the body, then close
        NeverAnswer, // keep the connection open and stay silent
        Trickle, // send the head, then one byte of the body every pace
    };

    int status = 200;
    StubHeaders headers; // Content-Length is added unless given here
    QByteArray body;
    std::chrono::milliseconds delay{0};
    Fault fault = Fault::None;
    std::chrono::milliseconds pace{100};

    static StubReply json(int status, const QByteArray &body);
    static StubReply text(int status, const QByteArray &body);
    static StubReply redirect(int status, const QByteArray &location);
    /** A reply that fails as fault says; what CloseMidBody sends is half of a JSON object. */
    static StubReply failure(Fault fault);
};

/**
 * A small HTTP/1.1 server that plays the Velk Pro REST API on 127.0.0.1:
 *
 *   POST /api/v1/oauth/token   client-credentials grant, 200 {"access_token": ...}
 *   POST /api/v1/icon          multipart part "file" with a PNG, 201 {"id": N}
 *   GET  /api/v1/icon/<id>     200 {"id": N, "url": ..., "name": ...}
 *   GET  /icons/<id>.png       the stored PNG
 *
 * It runs on the caller's event loop, so a test can script it between
 * requests: queued replies take precedence over the endpoints above, and
 * every request is recorded as received. Keep-alive and pipelined requests
 * are answered in order on their connection. The icon endpoints want a
 * bearer token that the server issued or that acceptToken() named.
 *
 * The program velk-stub-server wraps it for manual trials:
 *   velk-stub-server [--port N] [--store DIR] [--delay MS] [--client-id ID --client-secret S]
 */
class StubServer : public QObject
{
    Q_OBJECT

public:
    explicit StubServer(QObject *parent = nullptr);
    ~StubServer() override;

    /**
     * Serves HTTPS with this configuration (its local certificate and
     * private key) instead of plain HTTP. Call before listen().
     */
    void setSslConfiguration(const QSslConfiguration &configuration);

    /**
     * Reads at most bytes of each connection accepted from now on every
     * 10 ms, through a receive buffer of about that size, so that a large
     * upload backs up in the client's socket and moves at that pace. Call
     * after listen().
     */
    void setReadPace(qsizetype bytes);

    /** Listens on 127.0.0.1; port 0 picks a free one. */
    bool listen(quint16 port = 0);
    quint16 port() const;
    /** "http://127.0.0.1:PORT" (https when serving TLS), no trailing slash. */
    QUrl url() const;
    QString urlText() const;

    /**
     * Answers the next request whose method and path match with reply,
     * once, in the order queued. A path ending in "*" matches every path
     * that starts with the text before it.
     */
    void queueReply(const QByteArray &method, const QByteArray &path, const StubReply &reply);

    /** Token requests must carry these credentials; unset means any are accepted. */
    void setClientCredentials(const QString &clientID, const QString &clientSecret);
    /** Makes token an accepted bearer token, besides the ones the server issues. */
    void acceptToken(const QByteArray &token);
    /** Also writes each uploaded PNG to dir/<id>.png. */
    void setStoreDirectory(const QString &dir);
    /** Answers every request that no queued reply answers after delay, as a distant server would. */
    void setReplyDelay(std::chrono::milliseconds delay) { m_replyDelay = delay; }

    const QList<StubRequest> &requests() const { return m_requests; }
    int connectionCount() const { return m_connectionCount; }

    /**
     * Forgets the recorded requests and the PNG bytes of the icons stored so
     * far (their records stay, so they can still be looked up), so that a
     * long run does not keep every upload in memory.
     */
    void forgetHistory();

    /** Uploaded icons by id: the PNG bytes and the file name the part carried. */
    bool hasIcon(qint64 id) const { return m_icons.contains(id); }
    QByteArray iconPng(qint64 id) const;
    QString iconName(qint64 id) const;
    int iconCount() const { return int(m_icons.size()); }

signals:
    /** A request was recorded; status is 0 when it gets no answer. */
    void requestHandled(const StubRequest &request, int status);

private:
    struct Connection;
    struct Script
    {
        QByteArray method;
        QByteArray path;
        StubReply reply;
    };
    struct Icon
    {
        QByteArray png;
        QString name;
    };

    void acceptConnections();
    void readRequests(Connection *connection);
    void answer(Connection *connection, const StubRequest &request, const StubReply &reply);
    void send(Connection *connection, const StubReply &reply);
    void closeConnection(Connection *connection);

    StubReply scriptedReply(const StubRequest &request);
    StubReply defaultReply(const StubRequest &request);
    StubReply tokenReply(const StubRequest &request);
    StubReply uploadReply(const StubRequest &request);
    StubReply lookupReply(const QByteArray &idText);
    StubReply pngReply(const QByteArray &idText);
    bool authorized(const StubRequest &request) const;

    QTcpServer *m_server;
    std::optional<QSslConfiguration> m_sslConfiguration;
    QHash<QTcpSocket *, Connection *> m_connections;
    QList<Script> m_scripts;
    QList<StubRequest> m_requests;
    int m_connectionCount = 0;
    qsizetype m_readPace = 0;

    QString m_clientID;
    QString m_clientSecret;
    bool m_checkCredentials = false;
    QSet<QByteArray> m_tokens;
    int m_tokensIssued = 0;

    QHash<qint64, Icon> m_icons;
    qint64 m_nextIconID = 1;
    QString m_storeDir;
    std::chrono::milliseconds m_replyDelay{0};
};
