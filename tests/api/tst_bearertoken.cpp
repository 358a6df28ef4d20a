// The token request: its form body, the request as the server receives it,
// and how each kind of reply or failure is reported.

#include "api/BearerToken.h"
#include "core/ServerError.h"
#include "tests/api/ApiTestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <curl/curl.h>

using namespace std::chrono_literals;
using apitest::errorOf;

class TestBearerToken : public QObject
{
    Q_OBJECT

private slots:

    void formBody_data()
    {
        QTest::addColumn<QString>("clientID");
        QTest::addColumn<QString>("clientSecret");
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("plain") << "abc" << "XYZ123" << QByteArray("client_id=abc&client_secret=XYZ123&grant_type=client_credentials");
        QTest::newRow("both empty") << "" << "" << QByteArray("client_id=&client_secret=&grant_type=client_credentials");
        QTest::newRow("form delimiters") << "a&b=c" << "p+q%r#s t"
                                         << QByteArray("client_id=a%26b=c&client_secret=p%2Bq%25r%23s%20t&grant_type=client_credentials");
        QTest::newRow("kept punctuation") << "-._~!$'()*,;=:@/?" << "x"
                                          << QByteArray("client_id=-._~!$'()*,;=:@/?&client_secret=x&grant_type=client_credentials");
        QTest::newRow("other ascii escaped") << "\"<>[]\\^`{|}" << "\t\r\n"
                                             << QByteArray("client_id=%22%3C%3E%5B%5D%5C%5E%60%7B%7C%7D&client_secret=%09%0D%0A"
                                                           "&grant_type=client_credentials");
        QTest::newRow("utf-8 bytes") << QString::fromUtf8("é") << QString::fromUtf8("日€")
                                     << QByteArray("client_id=%C3%A9&client_secret=%E6%97%A5%E2%82%AC&grant_type=client_credentials");
        QTest::newRow("white space kept") << " id " << "  " << QByteArray("client_id=%20id%20&client_secret=%20%20&grant_type=client_credentials");
    }
    void formBody()
    {
        QFETCH(QString, clientID);
        QFETCH(QString, clientSecret);
        QFETCH(QByteArray, body);
        QCOMPARE(tokenRequestBody(clientID, clientSecret), body);
    }

    // The request as it arrives, for server URLs written in several ways.
    void requestOnTheWire_data()
    {
        QTest::addColumn<QString>("prefix"); // text before the stub's URL
        QTest::addColumn<QString>("suffix"); // text after it
        QTest::addColumn<QByteArray>("target");

        QTest::newRow("bare") << "" << "" << QByteArray("/api/v1/oauth/token");
        QTest::newRow("trailing slash") << "" << "/" << QByteArray("/api/v1/oauth/token");
        QTest::newRow("trailing slashes") << "" << "///" << QByteArray("/api/v1/oauth/token");
        QTest::newRow("leading slashes") << "//" << "" << QByteArray("/api/v1/oauth/token");
        QTest::newRow("path prefix") << "" << "/velk/pro/" << QByteArray("/velk/pro/api/v1/oauth/token");
    }
    void requestOnTheWire()
    {
        QFETCH(QString, prefix);
        QFETCH(QString, suffix);
        QFETCH(QByteArray, target);
        StubServer server;
        QVERIFY(server.listen());
        const QString secret = QString::fromUtf8("s3cr&t = +100% #1 é");
        server.setClientCredentials(QStringLiteral("client one"), secret);
        server.queueReply("POST", "/velk/pro/api/v1/oauth/token", StubReply::json(200, R"({"access_token":"prefixed"})"));

        const QString token = testsupport::runTask(fetchBearerToken(prefix + server.urlText() + suffix, QStringLiteral("client one"), secret));

        QCOMPARE(server.requests().size(), 1);
        const StubRequest &request = server.requests().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, target);
        QCOMPARE(request.body, QByteArray("client_id=client%20one&client_secret=s3cr%26t%20=%20%2B100%25%20%231%20%C3%A9"
                                          "&grant_type=client_credentials"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        for (const auto &[name, value] : request.headers) {
            if (name != "Content-Type")
                QVERIFY2(apitest::ClientHeaders.contains(name), name.constData());
        }
        QVERIFY(!request.hasHeader("Accept"));
        QVERIFY(!request.hasHeader("Authorization"));
        // The stub decoded the form and accepted the credentials.
        QCOMPARE(token, target.startsWith("/velk") ? QStringLiteral("prefixed") : QStringLiteral("stub-token-1"));
    }

    void replyFailures_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");

        const QString noToken = QStringLiteral("No access_token returned by Velk Pro.");
        QTest::newRow("201 with a token") << 201 << QByteArray(R"({"access_token":"t"})") << 201
                                          << R"(Failed to get bearer token. HTTP 201. {"access_token":"t"})";
        QTest::newRow("401 empty body") << 401 << QByteArray() << 401 << "Failed to get bearer token. HTTP 401. ";
        QTest::newRow("500 not utf-8") << 500 << QByteArray("\xff\xfe oops \xc3") << 500 << "Failed to get bearer token. HTTP 500. ";
        QTest::newRow("503 whole body") << 503 << QByteArray("line one\r\nline two %1 %2\n") << 503
                                        << "Failed to get bearer token. HTTP 503. line one\r\nline two %1 %2\n";
        QTest::newRow("array") << 200 << QByteArray("[]") << 102 << noToken;
        QTest::newRow("empty object") << 200 << QByteArray("{}") << 102 << noToken;
        QTest::newRow("empty token") << 200 << QByteArray(R"({"access_token":""})") << 102 << noToken;
        QTest::newRow("number token") << 200 << QByteArray(R"({"access_token":7})") << 102 << noToken;
        QTest::newRow("null token") << 200 << QByteArray(R"({"access_token":null})") << 102 << noToken;
        QTest::newRow("token in an array") << 200 << QByteArray(R"([{"access_token":"t"}])") << 102 << noToken;
    }
    void replyFailures()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, code);
        QFETCH(QString, message);
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("POST", "/api/v1/oauth/token", StubReply::json(status, body));

        const auto error = errorOf(fetchBearerToken(server.urlText(), QStringLiteral("id"), QStringLiteral("secret")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkAuth"));
        QCOMPARE(error->code(), code);
        QCOMPARE(error->message(), message);
    }

    void tokenAsSent()
    {
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("POST", "/api/v1/oauth/token", StubReply::json(200, R"({"token_type":"x","access_token":" tök\n "})"));
        QCOMPARE(testsupport::runTask(fetchBearerToken(server.urlText(), {}, {})), QString::fromUtf8(" tök\n "));
    }

    void bodyNotJson_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("html") << QByteArray("<html><body>Login</body></html>");
    }
    void bodyNotJson()
    {
        QFETCH(QByteArray, body);
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("POST", "/api/v1/oauth/token", StubReply::text(200, body));
        const auto error = errorOf(fetchBearerToken(server.urlText(), QStringLiteral("id"), QStringLiteral("secret")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("QJsonParseError"));
        QVERIFY2(error->message().startsWith(QStringLiteral("The server's reply is not valid JSON")), qPrintable(error->message()));
    }

    void invalidUrl_data()
    {
        QTest::addColumn<QString>("serverUrl");
        QTest::newRow("space in host") << "https://velk example.com";
        QTest::newRow("unclosed IPv6") << "http://[::1";
        QTest::newRow("bad port") << "http://127.0.0.1:port";
        QTest::newRow("stray percent") << "https://velk.example.com/%zz";
    }
    void invalidUrl()
    {
        QFETCH(QString, serverUrl);
        const auto error = errorOf(fetchBearerToken(serverUrl, QStringLiteral("id"), QStringLiteral("secret")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkAuth"));
        QCOMPARE(error->code(), 100);
        QCOMPARE(error->message(), QStringLiteral("Invalid Velk Pro URL."));
    }

    // A text that parses as a relative reference passes the URL check; the
    // HTTP client refuses it with its own error.
    void relativeUrl_data()
    {
        QTest::addColumn<QString>("serverUrl");
        QTest::newRow("empty") << "";
        QTest::newRow("slashes only") << "///";
        QTest::newRow("no scheme") << "velk.example.com";
    }
    void relativeUrl()
    {
        QFETCH(QString, serverUrl);
        const auto error = errorOf(fetchBearerToken(serverUrl, QStringLiteral("id"), QStringLiteral("secret")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("HTTPClient"));
        QCOMPARE(error->code(), CURLE_UNSUPPORTED_PROTOCOL);
    }

    void connectionRefused()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();

        const auto error = errorOf(fetchBearerToken(QStringLiteral("http://127.0.0.1:%1").arg(port), QStringLiteral("id"), QStringLiteral("s")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("HTTPClient"));
        QCOMPARE(error->code(), CURLE_COULDNT_CONNECT);
        const QRegularExpression curlText(QStringLiteral("Failed to connect to 127\\.0\\.0\\.1 port %1 after \\d+ ms: Couldn't connect to server").arg(port));
        QVERIFY2(curlText.match(error->message()).hasMatch(), qPrintable(error->message()));
    }

    void serverNeverAnswers()
    {
        HttpClient quick(300ms);
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("POST", "/api/v1/oauth/token", StubReply::failure(StubReply::Fault::NeverAnswer));

        const auto error = errorOf(fetchBearerToken(server.urlText(), QStringLiteral("id"), QStringLiteral("secret"), quick));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("HTTPClient"));
        QCOMPARE(error->code(), CURLE_OPERATION_TIMEDOUT);
        QCOMPARE(error->message(), QStringLiteral("The request timed out."));
        QCOMPARE(server.requests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestBearerToken)
#include "tst_bearertoken.moc"
