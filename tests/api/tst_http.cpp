// The HTTP plumbing that the three server operations share, against the stub
// server: broken transfers, failed statuses, redirects, keep-alive.

#include "api/Http.h"
#include "core/ServerError.h"
#include "tests/api/ApiTestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QTest>

#include <curl/curl.h>

using namespace std::chrono_literals;
using apitest::errorOf;

namespace {

QCoro::Task<HttpReply> post(const QUrl &url, const QByteArray &body)
{
    HttpRequest request(HttpMethod::Post, url);
    request.header("Authorization", "Bearer t").header("Content-Type", "text/plain").body = body;
    return HttpClient::shared().send(std::move(request));
}

QCoro::Task<HttpReply> get(const QUrl &url, HttpClient &http = HttpClient::shared())
{
    return http.send(HttpRequest(HttpMethod::Get, url));
}

} // namespace

class TestHttp : public QObject
{
    Q_OBJECT

private slots:

    // A reply cut off in its body is an error, never a truncated reply.
    void replyCutOff_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("200") << 200 << QByteArray(R"({"access_token":"abcdefghijklmnopqrstuvwxyz"})");
        QTest::newRow("500") << 500 << QByteArray("Internal error, details follow: ...");
        QTest::newRow("200, 4 MB") << 200 << QByteArray(4 << 20, 'x');
    }
    void replyCutOff()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        StubServer server;
        QVERIFY(server.listen());
        StubReply reply = StubReply::json(status, body);
        reply.fault = StubReply::Fault::CloseMidBody;
        server.queueReply("POST", "/x", reply);

        const auto error = errorOf(post(server.url().resolved(QUrl("/x")), "data"));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("HTTPClient"));
        QCOMPARE(error->code(), CURLE_PARTIAL_FILE);
        QCOMPARE(error->message(), QStringLiteral("Connection closed"));
    }

    // A connection that closes before any byte of the answer: a POST is
    // never sent again, so an upload cannot land twice; a GET on a reused
    // connection is, once, on a fresh one.
    void closedBeforeAnswer_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<bool>("reused");
        QTest::addColumn<int>("sent");
        QTest::addColumn<bool>("fails");
        QTest::newRow("POST, new connection") << QByteArray("POST") << false << 1 << true;
        QTest::newRow("POST, reused connection") << QByteArray("POST") << true << 1 << true;
        QTest::newRow("GET, new connection") << QByteArray("GET") << false << 1 << true;
        QTest::newRow("GET, reused connection") << QByteArray("GET") << true << 2 << false;
    }
    void closedBeforeAnswer()
    {
        QFETCH(QByteArray, method);
        QFETCH(bool, reused);
        QFETCH(int, sent);
        QFETCH(bool, fails);
        HttpClient http;
        StubServer server;
        QVERIFY(server.listen());
        if (reused)
            testsupport::runTask(get(server.url().resolved(QUrl("/open")), http));
        server.queueReply(method, "/x", StubReply::failure(StubReply::Fault::Drop));
        server.queueReply(method, "/x", StubReply::json(200, "{}"));
        HttpRequest request(method == "GET" ? HttpMethod::Get : HttpMethod::Post, server.url().resolved(QUrl("/x")));
        request.body = method == "GET" ? QByteArray() : QByteArray("once");

        const auto error = errorOf(http.send(std::move(request)));
        QCOMPARE(bool(error), fails);
        if (error) {
            QCOMPARE(error->code(), CURLE_GOT_NOTHING);
            QCOMPARE(error->message(), QStringLiteral("Empty reply from server"));
        }
        QCOMPARE(server.requests().size(), int(reused) + sent);
    }

    void timeout()
    {
        HttpClient quick(200ms);
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("GET", "/slow", StubReply::failure(StubReply::Fault::NeverAnswer));

        const auto error = errorOf(get(server.url().resolved(QUrl("/slow")), quick));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("HTTPClient"));
        QCOMPARE(error->code(), CURLE_OPERATION_TIMEDOUT);
        QCOMPARE(error->message(), QStringLiteral("The request timed out."));
    }

    // Failed statuses, with the headers that make some clients act on their
    // own (a challenge, a proxy's, a retry), go to the caller whole.
    void failedStatusIsAReply_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("extraHeader");
        QTest::newRow("400") << 400 << QByteArray();
        QTest::newRow("401 with challenge") << 401 << QByteArray("WWW-Authenticate: Bearer realm=\"velk\"");
        QTest::newRow("403") << 403 << QByteArray();
        QTest::newRow("404") << 404 << QByteArray();
        QTest::newRow("407") << 407 << QByteArray("Proxy-Authenticate: Basic realm=\"p\"");
        QTest::newRow("409") << 409 << QByteArray();
        QTest::newRow("429") << 429 << QByteArray("Retry-After: 5");
        QTest::newRow("500") << 500 << QByteArray();
        QTest::newRow("503") << 503 << QByteArray();
        QTest::newRow("599") << 599 << QByteArray();
    }
    void failedStatusIsAReply()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, extraHeader);
        StubServer server;
        QVERIFY(server.listen());
        StubReply reply = StubReply::text(status, "why it failed");
        if (!extraHeader.isEmpty()) {
            const qsizetype colon = extraHeader.indexOf(':');
            reply.headers.append({extraHeader.left(colon), extraHeader.mid(colon + 2)});
        }
        server.queueReply("GET", "/x", reply);

        const HttpReply received = testsupport::runTask(get(server.url().resolved(QUrl("/x"))));
        QCOMPARE(received.status, std::optional<int>(status));
        QCOMPARE(received.body, QByteArray("why it failed"));
        QCOMPARE(server.requests().size(), 1);
    }

    void largeReply()
    {
        StubServer server;
        QVERIFY(server.listen());
        QByteArray body(12 << 20, 'v');
        body[body.size() - 1] = 'e';
        server.queueReply("GET", "/big", StubReply::text(200, body));
        QCOMPARE(testsupport::runTask(get(server.url().resolved(QUrl("/big")))).body, body);
    }

    void sameOriginRedirect_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("301") << 301 << QByteArray("GET") << QByteArray();
        QTest::newRow("302") << 302 << QByteArray("GET") << QByteArray();
        QTest::newRow("303") << 303 << QByteArray("GET") << QByteArray();
        QTest::newRow("307") << 307 << QByteArray("POST") << QByteArray("payload");
        QTest::newRow("308") << 308 << QByteArray("POST") << QByteArray("payload");
    }
    void sameOriginRedirect()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, body);
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("POST", "/api/v1/icon", StubReply::redirect(status, "/v2/icon?via=redirect"));
        server.queueReply(method, "/v2/icon", StubReply::json(201, R"({"id":5})"));

        const HttpReply reply = testsupport::runTask(post(server.url().resolved(QUrl("/api/v1/icon")), "payload"));
        QCOMPARE(reply.status, 201);
        QCOMPARE(reply.body, QByteArray(R"({"id":5})"));
        QCOMPARE(server.requests().size(), 2);
        const StubRequest &followed = server.requests()[1];
        QCOMPARE(followed.method, method);
        QCOMPARE(followed.target, QByteArray("/v2/icon?via=redirect"));
        QCOMPARE(followed.body, body);
        QCOMPARE(followed.hasHeader("Content-Type"), !body.isEmpty());
        QCOMPARE(followed.header("Authorization"), QByteArray("Bearer t"));
        QCOMPARE(followed.connection, 1);
    }

    // The secret or the token must not reach another server: nothing at all
    // is sent there.
    void crossOriginRedirectRefused_data()
    {
        QTest::addColumn<QString>("target"); // OTHER is the other server's port, SELF this one's
        QTest::addColumn<QString>("origin");
        QTest::newRow("other port") << "http://127.0.0.1:OTHER/steal" << "http://127.0.0.1:OTHER";
        QTest::newRow("other host name") << "http://localhost:SELF/steal" << "http://localhost:SELF";
        QTest::newRow("other scheme") << "https://127.0.0.1:SELF/steal" << "https://127.0.0.1:SELF";
        QTest::newRow("user info dropped from message") << "http://u:p@127.0.0.1:OTHER/x?q=1#f" << "http://127.0.0.1:OTHER";
    }
    void crossOriginRedirectRefused()
    {
        QFETCH(QString, target);
        QFETCH(QString, origin);
        StubServer server;
        StubServer other;
        QVERIFY(server.listen());
        QVERIFY(other.listen());
        auto withPorts = [&](QString text) {
            return text.replace(QStringLiteral("OTHER"), QString::number(other.port())).replace(QStringLiteral("SELF"), QString::number(server.port()));
        };
        const QString location = withPorts(target);
        server.queueReply("POST", "/api/v1/oauth/token", StubReply::redirect(307, location.toUtf8()));

        const auto error = errorOf(post(server.url().resolved(QUrl("/api/v1/oauth/token")), "client_secret=s"));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("HTTPClient"));
        QCOMPARE(error->code(), CURLE_UNSUPPORTED_PROTOCOL);
        QCOMPARE(error->message(), QStringLiteral("The server redirected the request to %1. Redirects to another server are not followed.")
                                       .arg(withPorts(origin)));
        QCOMPARE(server.requests().size(), 1);
        QTest::qWait(50);
        QCOMPARE(other.connectionCount(), 0);
    }

    void redirectLoop()
    {
        StubServer server;
        QVERIFY(server.listen());
        for (int i = 0; i < 30; ++i)
            server.queueReply("GET", "/loop", StubReply::redirect(302, "/loop"));
        const auto error = errorOf(get(server.url().resolved(QUrl("/loop"))));
        QVERIFY(error);
        QCOMPARE(error->code(), CURLE_TOO_MANY_REDIRECTS);
        QCOMPARE(server.requests().size(), 21);
    }

    // Consecutive requests, failed and redirected ones among them, share
    // one connection.
    void keepAlive()
    {
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("GET", "/a", StubReply::json(200, "{}"));
        server.queueReply("GET", "/b", StubReply::json(404, "gone"));
        server.queueReply("POST", "/c", StubReply::redirect(302, "/d"));
        server.queueReply("GET", "/d", StubReply::json(200, "{}"));
        server.queueReply("POST", "/e", StubReply::json(500, "oops"));
        testsupport::runTask(get(server.url().resolved(QUrl("/a"))));
        testsupport::runTask(get(server.url().resolved(QUrl("/b"))));
        testsupport::runTask(post(server.url().resolved(QUrl("/c")), "x"));
        testsupport::runTask(post(server.url().resolved(QUrl("/e")), "x"));
        QCOMPARE(server.requests().size(), 5);
        QCOMPARE(server.connectionCount(), 1);
    }

    // A file: URL is read without any HTTP response.
    void notHttp()
    {
        QTemporaryDir dir;
        testsupport::writeFile(dir, QStringLiteral("reply.json"), "{}");
        const HttpReply reply = testsupport::runTask(get(QUrl::fromLocalFile(dir.filePath(QStringLiteral("reply.json")))));
        QCOMPARE(reply.status, std::nullopt);
        QCOMPARE(reply.body, QByteArray("{}"));
    }

    void bodyText_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("ascii with line breaks") << QByteArray("a\r\nb\n") << QStringLiteral("a\r\nb\n");
        QTest::newRow("utf-8") << QByteArray("caf\xc3\xa9 \xe2\x82\xac") << QString::fromUtf8("café €");
        QTest::newRow("latin-1 byte") << QByteArray("caf\xe9") << QString();
        QTest::newRow("lone continuation byte") << QByteArray("ok \x80") << QString();
        QTest::newRow("truncated sequence") << QByteArray("ok \xe2\x82") << QString();
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << QString();
        QTest::newRow("nul byte") << QByteArray("a\0b", 3) << QString::fromUtf8("a\0b", 3);
    }
    void bodyText()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, text);
        QCOMPARE(::bodyText(body), text);
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
