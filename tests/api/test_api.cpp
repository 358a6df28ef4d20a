// The three requests as the server receives them, byte for byte, and how
// every kind of reply to each is judged.

#include "api/BearerToken.h"
#include "api/IconUpload.h"
#include "core/ServerError.h"
#include "tests/support/TestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QElapsedTimer>
#include <QImage>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslKey>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

enum class Exchange { Token, Upload, Lookup };

/** A request's headers in order, without the values that vary: the host, the length, our version. */
QByteArrayList headers(const StubRequest &request)
{
    QByteArrayList lines;
    for (const auto &[name, value] : request.headers)
        lines << (QByteArrayList{"Host", "Content-Length", "User-Agent"}.contains(name) ? name : name + ": " + value);
    return lines;
}

const QByteArrayList TokenHeaders = {"Host", "User-Agent", "Content-Type: application/x-www-form-urlencoded", "Content-Length"};

/** What an operation gave: show(result), or its error as "domain code: message". */
template<typename T, typename Show>
QString outcome(QCoro::Task<T> task, Show show)
{
    try {
        return show(testsupport::runTask(std::move(task)));
    } catch (const ServerError &error) {
        return QStringLiteral("%1 %2: %3").arg(error.domain()).arg(error.code()).arg(error.message());
    }
}

} // namespace

Q_DECLARE_METATYPE(Exchange)
Q_DECLARE_METATYPE(StubReply)

class TestApi : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_image; // a 2:1 picture with two dots and quotes in its name
    std::unique_ptr<StubServer> m_server;
    StubServer m_otherHost; // HTTPS with a certificate of the tests' CA for velk.example

    /**
     * Runs one exchange with the token: the error, or the token, the
     * target of the lookup that follows an upload, or the record looked up.
     */
    QString exchange(Exchange exchange, const QString &serverUrl, const QString &argument, const QString &token = QStringLiteral("tok"),
                     HttpClient &http = HttpClient::shared())
    {
        const auto target = [this](auto) { return QString::fromUtf8(m_server->requests().last().target); };
        switch (exchange) {
        case Exchange::Token:
            return outcome(fetchBearerToken(serverUrl, argument, QStringLiteral("s"), http), [](const QString &t) { return t; });
        case Exchange::Upload:
            return outcome(uploadIcon(serverUrl, token, argument, http), target);
        case Exchange::Lookup:
            return outcome(lookupIcon(serverUrl, token, argument, http), [](const IconLookupResult &icon) {
                return icon.id + " | " + icon.url + " | " + icon.name;
            });
        }
        return {};
    }

private slots:
    void initTestCase()
    {
        QImage picture(64, 32, QImage::Format_RGB32);
        picture.fill(QColor(200, 30, 30));
        m_image = m_dir.filePath(QStringLiteral("photo \"1\".final.jpeg"));
        QVERIFY(picture.save(m_image, "JPEG"));

        QFile pem(QStringLiteral(VELK_TEST_DATA "/velk.example.pem"));
        QVERIFY(pem.open(QIODevice::ReadOnly));
        const QByteArray bytes = pem.readAll();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(bytes));
        tls.setPrivateKey(QSslKey(bytes, QSsl::Ec));
        m_otherHost.setSslConfiguration(tls);
        QVERIFY(m_otherHost.listen());
    }

    void init()
    {
        m_server = std::make_unique<StubServer>();
        QVERIFY(m_server->listen());
        m_server->acceptToken("tok");
    }

    // Token, upload and lookup over one connection, each as the server got it.
    void wire()
    {
        const QString url = "//" + m_server->urlText() + "//";
        const QString token = testsupport::runTask(
            fetchBearerToken(url, QStringLiteral("a b&c"), QString::fromUtf8("p+q%r#s=t/é~!$'()*,;:@?")));
        const IconLookupResult icon = testsupport::runTask(uploadIcon(url, token, m_image));
        QImage noise(512, 512, QImage::Format_ARGB32); // a body over 1 MiB
        for (int y = 0; y < 512; ++y) {
            for (int x = 0; x < 512; ++x)
                noise.setPixel(x, y, QRandomGenerator::global()->generate());
        }
        QString controls; // a name with every control character
        for (char16_t c = 1; c < 0x20; ++c)
            controls += QChar(c);
        const QString noisy = m_dir.filePath("noise" + controls + QChar(0x7F) + ".png");
        QVERIFY(noise.save(noisy, "PNG"));
        // The server takes longer to read it than the client waits for a
        // byte to move: its bytes leaving the client's socket keep it alive.
        m_server->setReadPace(64 << 10);
        HttpClient quick(100ms);
        testsupport::runTask(uploadIcon(url, token, noisy, quick));
        const QList<StubRequest> &requests = m_server->requests();
        QCOMPARE(requests.size(), 5);
        QCOMPARE(m_server->connectionCount(), 2); // one for each client

        const StubRequest &tokenRequest = requests[0];
        QCOMPARE(tokenRequest.method + ' ' + tokenRequest.target, QByteArray("POST /api/v1/oauth/token"));
        QCOMPARE(headers(tokenRequest), TokenHeaders);
        QCOMPARE(tokenRequest.body, "client_id=a%20b%26c&client_secret=p%2Bq%25r%23s=t/%C3%A9~!$'()*,;:@?"
                                    "&grant_type=client_credentials");

        const StubRequest &upload = requests[1];
        QCOMPARE(upload.method + ' ' + upload.target, QByteArray("POST /api/v1/icon"));
        const QByteArray boundary = upload.header("Content-Type").mid(30);
        QVERIFY(QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(QString::fromLatin1(boundary)).hasMatch());
        const QByteArrayList uploadHeaders = {"Host", "User-Agent", "Authorization: Bearer " + token.toUtf8(),
                                              "Content-Type: multipart/form-data; boundary=" + boundary, "Content-Length"};
        QCOMPARE(headers(upload), uploadHeaders);
        const StubRequest &large = requests[3];
        QVERIFY(large.body.size() > (1 << 20) && large.header("Content-Type") != upload.header("Content-Type"));
        QCOMPARE(headers(large).size(), uploadHeaders.size()); // nor an Expect header for a large body
        QVERIFY(large.body.contains("; filename=\"noise%01%02%03%04%05%06%07%08%09%0A%0B%0C%0D%0E%0F%10%11%12%13%14%15%16"
                                    "%17%18%19%1A%1B%1C%1D%1E%1F%7F.png\"\r\nContent-Type: image/png\r\n\r\n"));
        const QByteArray png = m_server->iconPng(1);
        QCOMPARE(upload.body, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; "
                              "filename=\"photo %221%22.final.png\"\r\nContent-Type: image/png\r\n\r\n"
                                  + png + "\r\n--" + boundary + "--\r\n");
        QCOMPARE(QImage::fromData(png).size(), QSize(512, 512));

        const StubRequest &lookup = requests[2];
        QCOMPARE(lookup.method + ' ' + lookup.target + ' ' + lookup.body, QByteArray("GET /api/v1/icon/1 "));
        QCOMPARE(headers(lookup), (QByteArrayList{"Host", "User-Agent", "Authorization: Bearer " + token.toUtf8(), "Accept: application/json"}));
        QCOMPARE(icon, (IconLookupResult{"1", m_server->urlText() + "/icons/1.png", "photo %221%22.final.png"}));
    }

    // What each exchange makes of the reply: a token, the ID it looks up, a
    // record, or an error.
    void replies_data()
    {
        QTest::addColumn<Exchange>("exchange");
        QTest::addColumn<StubReply>("reply");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("timeout"); // the client's, in ms
        const auto sent = [](const char *name, Exchange exchange, const StubReply &reply, const QString &expected, int timeout = 60'000) {
            QTest::newRow(name) << exchange << reply << expected << timeout;
        };
        const auto row = [&](const char *name, Exchange exchange, int status, QByteArray body, const char *expected) {
            sent(name, exchange, StubReply::json(status, body.replace('\'', '"')), QString::fromUtf8(expected));
        };
        const Exchange T = Exchange::Token, U = Exchange::Upload, L = Exchange::Lookup;
        const char *noToken = "VelkAuth 102: No access_token returned by Velk Pro.";
        row("token", T, 200, "{'access_token':'abc','token_type':'x'}", "abc");
        row("token 201", T, 201, "{'access_token':'abc'}", "VelkAuth 201: Failed to get bearer token. HTTP 201. {\"access_token\":\"abc\"}");
        row("token 401 empty", T, 401, "", "VelkAuth 401: Failed to get bearer token. HTTP 401. ");
        row("token 500 not UTF-8", T, 500, "\xff\xfe oops", "VelkAuth 500: Failed to get bearer token. HTTP 500. ");
        row("token 503 lines", T, 503, "one\r\ntwo %1\n", "VelkAuth 503: Failed to get bearer token. HTTP 503. one\r\ntwo %1\n");
        row("token array", T, 200, "[{'access_token':'t'}]", noToken);
        row("token empty", T, 200, "{'access_token':''}", noToken);
        row("token number", T, 200, "{'access_token':7}", noToken);
        row("token null", T, 200, "{'access_token':null}", noToken);
        row("token empty body", T, 200, "", "QJsonParseError 5: The server's reply is not valid JSON (illegal value at offset 0).");
        row("upload number", U, 201, "{'id':17}", "/api/v1/icon/17");
        row("upload string", U, 200, "{'id':'042'}", "/api/v1/icon/042");
        row("upload whole double", U, 201, "{'id':-42.0}", "/api/v1/icon/-42");
        row("upload empty string", U, 201, "{'id':''}", "/api/v1/icon/");
        row("upload null", U, 200, "{'id':null}", "VelkUpload 203: Velk returned an icon ID in an unexpected format for photo \"1\".final.jpeg.");
        row("upload fraction", U, 200, "{'id':4.5}", "VelkUpload 203: Velk returned an icon ID in an unexpected format for photo \"1\".final.jpeg.");
        row("upload beyond 2^53", U, 201, "{'id':9007199254740993}", "/api/v1/icon/9007199254740993");
        row("upload 2^63", U, 200, "{'id':9223372036854775808}", "VelkUpload 203: Velk returned an icon ID in an unexpected format for photo \"1\".final.jpeg.");
        row("upload object", U, 200, "{'id':{'v':1}}", "VelkUpload 203: Velk returned an icon ID in an unexpected format for photo \"1\".final.jpeg.");
        row("upload no id", U, 201, "{'icon_id':17}", "VelkUpload 202: Upload succeeded, but Velk did not return an icon ID for photo \"1\".final.jpeg.");
        row("upload array", U, 201, "[{'id':17}]", "VelkUpload 202: Upload succeeded, but Velk did not return an icon ID for photo \"1\".final.jpeg.");
        row("upload 202", U, 202, "{'id':17}", "VelkUpload 202: Failed to upload photo \"1\".final.jpeg. HTTP 202. {\"id\":17}");
        row("upload 204", U, 204, "", "VelkUpload 204: Failed to upload photo \"1\".final.jpeg. HTTP 204. ");
        row("upload html", U, 200, "<html>", "QJsonParseError 5: The server's reply is not valid JSON (illegal value at offset 1).");
        row("lookup", L, 200, "{'id':42,'url':'http://h/a.png','name':'n'}", "42 | http://h/a.png | n");
        row("lookup string id", L, 200, "{'id':'042','url':'u','name':''}", "042 | u | ");
        row("lookup whole double", L, 200, "{'id':42.0,'url':'u'}", "42 | u | u");
        row("lookup 2^63-1", L, 200, "{'id':9223372036854775807,'url':'u'}", "9223372036854775807 | u | u");
        row("lookup fraction", L, 200, "{'id':42.5,'url':'http://h/x/icon%20a.png?s=1'}", "7 | http://h/x/icon%20a.png?s=1 | icon a.png");
        row("lookup null id", L, 200, "{'id':null,'url':'http://h/dir/','name':5}", "7 | http://h/dir/ | dir");
        row("lookup bad url", L, 200, "{'id':'','url':'http://[::1'}", " | http://[::1 | ");
        row("lookup no url", L, 200, "{'id':1,'name':'n'}", "VelkIconLookup 303: Icon lookup did not return a URL.");
        row("lookup empty url", L, 200, "{'id':1,'url':''}", "VelkIconLookup 303: Icon lookup did not return a URL.");
        row("lookup neither", L, 200, "{'name':'n'}", "VelkIconLookup 302: Icon lookup did not return an ID.");
        row("lookup array", L, 200, "[{'id':1,'url':'u'}]", "VelkIconLookup 302: Icon lookup did not return an ID.");
        row("lookup 404", L, 404, "no such icon", "VelkIconLookup 404: Failed to look up icon ID 7. HTTP 404. no such icon");
        row("lookup 201", L, 201, "{'id':7,'url':'u'}", "VelkIconLookup 201: Failed to look up icon ID 7. HTTP 201. {\"id\":7,\"url\":\"u\"}");

        const QByteArray token = R"({"access_token":"t"})";
        const auto padded = [&](qsizetype size) { return token + QByteArray(size - token.size(), ' '); };
        sent("body at the cap", T, StubReply::json(200, padded(HttpClient::MaxReplyBody)), "t");
        sent("400 over the cap", L, StubReply::text(400, QByteArray(HttpClient::MaxReplyBody + 1, 'x')),
             "VelkIconLookup 400: Failed to look up icon ID 7. HTTP 400. " + QString(HttpClient::MaxReplyBody, 'x'));
        sent("huge length, then closed", T, StubReply{200, {{"Content-Length", "1099511627776"}}, token, 0ms, StubReply::Fault::CloseMidBody},
             "HTTPClient 18: Connection closed");
        // The client waits 100 ms for a byte, and 500 ms in all.
        const char *timedOut = "HTTPClient 28: The request timed out.";
        sent("silent past the time-out", T, StubReply{200, {}, token, 300ms}, timedOut, 100);
        sent("never answering a lookup", L, StubReply::failure(StubReply::Fault::NeverAnswer), timedOut, 200);
        sent("trickle within the bound", T, StubReply{200, {}, padded(25), 0ms, StubReply::Fault::Trickle, 10ms}, "t", 100);
        sent("trickle past the bound", T, StubReply{200, {}, padded(75), 0ms, StubReply::Fault::Trickle, 10ms}, timedOut, 100);
    }

    void replies()
    {
        QFETCH(Exchange, exchange);
        QFETCH(StubReply, reply);
        QFETCH(QString, expected);
        QFETCH(int, timeout);
        const QByteArray method = exchange == Exchange::Lookup ? "GET" : "POST";
        const QByteArray path = exchange == Exchange::Token ? "/api/v1/oauth/token"
            : exchange == Exchange::Upload                  ? "/api/v1/icon"
                                                            : "/api/v1/icon/*";
        m_server->queueReply(method, path, reply);
        m_server->queueReply("GET", "/api/v1/icon/*", StubReply::json(200, R"({"id":1,"url":"u"})"));
        const QString argument = exchange == Exchange::Upload ? m_image : QStringLiteral("7");
        HttpClient http{std::chrono::milliseconds(timeout)};
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(this->exchange(exchange, m_server->urlText(), argument, QStringLiteral("tok"), http), expected);
        // A silent server is given up on once the idle time-out passes, well before the overall bound.
        if (reply.fault == StubReply::Fault::NeverAnswer)
            QVERIFY(elapsed.elapsed() < timeout * HttpClient::OverallTimeoutFactor / 2);
    }

    // Where a request goes for a server URL and an icon ID, or why it goes nowhere.
    void targets_data()
    {
        QTest::addColumn<Exchange>("exchange");
        QTest::addColumn<QString>("serverUrl"); // "*" stands for the stub's URL, "@" for its host and port, "!" for the HTTPS one's
        QTest::addColumn<QString>("argument");  // the client ID, the file or the icon ID
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("token");
        const auto row = [](const char *name, Exchange exchange, const char *url, const QString &argument, const char *expected,
                            const char *token = "tok") {
            QTest::newRow(name) << exchange << QString::fromUtf8(url) << argument << QString::fromUtf8(expected) << QString::fromUtf8(token);
        };
        const char *badHeader = "HTTPClient 43: The Authorization header has a line break or another character that a header cannot carry; "
                                "the request was not sent.";
        row("slashes trimmed", Exchange::Token, "///*///", "id", "/api/v1/oauth/token");
        row("path prefix", Exchange::Token, "*/velk/pro/", "id", "/velk/pro/api/v1/oauth/token");
        row("space in host", Exchange::Token, "https://velk example.com", "id", "VelkAuth 100: Invalid Velk Pro URL.");
        row("stray percent", Exchange::Token, "*/%zz", "id", "VelkAuth 100: Invalid Velk Pro URL.");
        row("bad URL before the image", Exchange::Upload, "http://[::1", "missing.png", "VelkUpload 200: Invalid Velk Pro URL.");
        row("missing image", Exchange::Upload, "*", "/nowhere/missing.png", "ImageConversion 400: Could not open image: missing.png");
        row("slash in ID", Exchange::Lookup, "*", "a/b", "/api/v1/icon/a/b");
        row("query in ID", Exchange::Lookup, "*", "x?size=512", "/api/v1/icon/x?size=512");
        row("space in ID", Exchange::Lookup, "*", "my icon", "VelkIconLookup 300: Invalid icon lookup URL.");
        row("unsupported scheme", Exchange::Token, "ftp://127.0.0.1:1", "id", "HTTPClient 1: unsupported URL: ftp://127.0.0.1:1/api/v1/oauth/token");
        row("not HTTP", Exchange::Token, "file://" VELK_TEST_DATA, "id", "VelkAuth 101: No HTTP response from Velk Pro.");
        // curl would take the first path segment for the host, and send the secret there.
        row("no host", Exchange::Token, "http://", "id", "HTTPClient 1: unsupported URL: http:/api/v1/oauth/token");
        row("host in the path", Exchange::Token, "http:/@/velk", "id", "HTTPClient 1: unsupported URL: http:/@/velk/api/v1/oauth/token");
        row("empty host", Exchange::Token, "https:///velk", "id", "HTTPClient 1: unsupported URL: https:///velk/api/v1/oauth/token");
        row("certificate for another host", Exchange::Token, "!", "id",
            "HTTPClient 60: SSL: no alternative certificate subject name matches target host name '127.0.0.1'");
        // A token with a control character in the Authorization header.
        row("line feed in token", Exchange::Lookup, "*", "7", badHeader, "a\nb");
        row("carriage return in token", Exchange::Lookup, "*", "7", badHeader, "a\rb");
        row("vertical tab in token", Exchange::Lookup, "*", "7", badHeader, "a\vb");
    }

    void targets()
    {
        QFETCH(Exchange, exchange);
        QFETCH(QString, serverUrl);
        QFETCH(QString, argument);
        QFETCH(QString, expected);
        QFETCH(QString, token);
        m_server->queueReply("GET", "/api/v1/icon/*", StubReply::json(200, R"({"id":1,"url":"u"})"));
        const QString hostPort = m_server->url().authority();
        expected.replace('@', hostPort);
        serverUrl.replace('*', m_server->urlText()).replace('@', hostPort).replace('!', m_otherHost.urlText());
        HttpClient http(HttpClient::DefaultTimeout, QStringLiteral(VELK_TEST_DATA "/test-ca.crt"));
        const QString result = this->exchange(exchange, serverUrl, argument, token, http);
        // A request that could not be made reaches the server not at all.
        QCOMPARE(m_server->requests().isEmpty() ? result : QString::fromUtf8(m_server->requests().first().target), expected);
    }

    // The system's proxy settings apply; the request through the proxy is the same.
    void proxy()
    {
        qputenv("http_proxy", m_server->urlText().toUtf8());
        exchange(Exchange::Token, QStringLiteral("http://velk.invalid"), QStringLiteral("id"));
        qunsetenv("http_proxy");
        QCOMPARE(m_server->requests().value(0).target, QByteArray("http://velk.invalid/api/v1/oauth/token"));
        QCOMPARE(headers(m_server->requests().value(0)), TokenHeaders);
    }

    // Same-origin redirects are followed: 307 and 308 repeat the POST with
    // its body, the others fetch the target with a GET. Other statuses, and
    // a redirect without a Location, are the reply.
    void redirects_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("header"); // the name of the header that holds "/moved"
        QTest::addColumn<QString>("expected"); // the outcome | the request that followed
        const char *post = "t | POST /moved application/x-www-form-urlencoded client_id=id&client_secret=s&grant_type=client_credentials";
        const auto row = [](const char *name, int status, const QByteArray &header, const char *expected) {
            QTest::newRow(name) << status << header << QString::fromUtf8(expected);
        };
        row("301", 301, "Location", "t | GET /moved");
        row("302", 302, "Location", "t | GET /moved");
        row("303", 303, "Location", "t | GET /moved");
        row("307", 307, "Location", post);
        row("308", 308, "Location", post);
        row("header name in capitals", 308, "LOCATION", post);
        row("300", 300, "Location", "VelkAuth 300: Failed to get bearer token. HTTP 300.  | ");
        row("302 without a Location", 302, "Content-Location", "VelkAuth 302: Failed to get bearer token. HTTP 302.  | ");
    }

    void redirects()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, header);
        QFETCH(QString, expected);
        m_server->queueReply("POST", "/api/v1/oauth/token", StubReply{status, {{header, "/moved"}}, {}});
        for (const QByteArray method : {"GET", "POST"})
            m_server->queueReply(method, "/moved", StubReply::json(200, R"({"access_token":"t"})"));
        const QString outcome = exchange(Exchange::Token, m_server->urlText(), QStringLiteral("id"));
        const StubRequest moved = m_server->requests().value(1);
        const QByteArray request = QByteArrayList{moved.method, moved.target, moved.header("Content-Type"), moved.body}.join(' ').trimmed();
        QCOMPARE(outcome + " | " + QString::fromUtf8(request), expected);
    }
};

QTEST_GUILESS_MAIN(TestApi)
#include "test_api.moc"
