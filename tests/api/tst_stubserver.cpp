// The stub server's own HTTP handling, driven with a raw socket: the parts
// that Qt's client never exercises (pipelining, requests split across
// packets, malformed input).

#include "tools/stub-server/StubServer.h"

#include <QTcpSocket>
#include <QTest>

using namespace std::chrono_literals;

namespace {

struct Response
{
    QByteArray statusLine;
    QByteArray body;
};

/** Reads count responses framed by Content-Length, or fewer on time-out. */
QList<Response> readResponses(QTcpSocket &socket, int count)
{
    QList<Response> responses;
    QByteArray buffer;
    QDeadlineTimer deadline(5s);
    while (responses.size() < count && !deadline.hasExpired()) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd >= 0) {
            const QByteArray head = buffer.left(headEnd);
            const qsizetype lengthAt = head.toLower().indexOf("content-length: ");
            const qsizetype length = lengthAt < 0 ? 0 : head.mid(lengthAt + 16, head.indexOf('\r', lengthAt) - lengthAt - 16).toLongLong();
            if (buffer.size() >= headEnd + 4 + length) {
                responses.append({head.left(head.indexOf('\r')), buffer.mid(headEnd + 4, length)});
                buffer.remove(0, headEnd + 4 + length);
                continue;
            }
        }
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
        QTest::qWait(5);
        buffer += socket.readAll();
    }
    return responses;
}

} // namespace

class TestStubServer : public QObject
{
    Q_OBJECT

private slots:
    void pipelinedRequestsAnsweredInOrder()
    {
        StubServer server;
        QVERIFY(server.listen());
        StubReply slow = StubReply::text(200, "first");
        slow.delay = 150ms;
        server.queueReply("GET", "/a", slow);
        server.queueReply("POST", "/b", StubReply::text(201, "second"));

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(2000));
        socket.write("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"
                     "POST /b?q=1 HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
                     "GET /missing HTTP/1.1\r\nHost: x\r\n\r\n");

        const QList<Response> responses = readResponses(socket, 3);
        QCOMPARE(responses.size(), 3);
        QCOMPARE(responses[0].body, QByteArray("first"));
        QCOMPARE(responses[1].statusLine, QByteArray("HTTP/1.1 201 Created"));
        QCOMPARE(responses[1].body, QByteArray("second"));
        QCOMPARE(responses[2].statusLine, QByteArray("HTTP/1.1 404 Not Found"));
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(server.requests().size(), 3);
        QCOMPARE(server.requests()[1].target, QByteArray("/b?q=1"));
        QCOMPARE(server.requests()[1].path(), QByteArray("/b"));
        QCOMPARE(server.requests()[1].body, QByteArray("hello"));
    }

    void requestInPieces()
    {
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("PUT", "/x", StubReply::text(200, "ok"));

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(2000));
        const QByteArray body("\r\n\0\xff\r\n", 6);
        const QByteArray request = "PUT /x HTTP/1.1\r\nX-Second: b\r\nx-first:  a \r\nContent-Length: 6\r\n\r\n" + body;
        for (char byte : request) {
            socket.write(&byte, 1);
            socket.flush();
            QTest::qWait(1);
        }

        QCOMPARE(readResponses(socket, 1).size(), 1);
        QCOMPARE(server.requests().size(), 1);
        const StubRequest &received = server.requests().first();
        QCOMPARE(received.body, body);
        QCOMPARE(received.headers, (StubHeaders{{"X-Second", "b"}, {"x-first", "a"}, {"Content-Length", "6"}}));
        QCOMPARE(received.header("X-FIRST"), QByteArray("a"));
    }

    void malformedRequestClosesConnection_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("no request line") << QByteArray("HELLO\r\n\r\n");
        QTest::newRow("bad length") << QByteArray("POST / HTTP/1.1\r\nContent-Length: many\r\n\r\n");
        QTest::newRow("chunked body") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n");
    }
    void malformedRequestClosesConnection()
    {
        QFETCH(QByteArray, request);
        StubServer server;
        QVERIFY(server.listen());
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(2000));
        socket.write(request);

        const QList<Response> responses = readResponses(socket, 1);
        QCOMPARE(responses.size(), 1);
        QCOMPARE(responses[0].statusLine, QByteArray("HTTP/1.1 400 Bad Request"));
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    }

    void connectionCloseHonoured()
    {
        StubServer server;
        QVERIFY(server.listen());
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(2000));
        socket.write("GET /icons/1.png HTTP/1.1\r\nConnection: close\r\n\r\n");
        QCOMPARE(readResponses(socket, 1).size(), 1);
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_GUILESS_MAIN(TestStubServer)
#include "tst_stubserver.moc"
