// The icon lookup: the request as the server receives it, and how the
// record's id, url and name are read from the reply.

#include "api/IconLookup.h"
#include "core/ServerError.h"
#include "tests/api/ApiTestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QDir>
#include <QJsonObject>
#include <QTest>

using apitest::errorOf;

namespace {

// JSON written with single quotes, which the tests never need inside values.
QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

const QByteArray Record = json("{'id':17,'url':'http://127.0.0.1/icons/17.png','name':'logo.png'}");

} // namespace

class TestIconLookup : public QObject
{
    Q_OBJECT

private slots:
    void requestOnTheWire_data()
    {
        QTest::addColumn<QString>("prefix"); // text before the stub's URL
        QTest::addColumn<QString>("suffix"); // text after it
        QTest::addColumn<QString>("iconID");
        QTest::addColumn<QByteArray>("target");

        QTest::newRow("plain") << "" << "" << "17" << QByteArray("/api/v1/icon/17");
        QTest::newRow("trailing slashes") << "" << "//" << "17" << QByteArray("/api/v1/icon/17");
        QTest::newRow("leading slash") << "/" << "" << "17" << QByteArray("/api/v1/icon/17");
        QTest::newRow("path prefix") << "" << "/velk/" << "17" << QByteArray("/velk/api/v1/icon/17");
        QTest::newRow("empty ID") << "" << "" << "" << QByteArray("/api/v1/icon/");
        QTest::newRow("slash adds segments") << "" << "" << "a/b" << QByteArray("/api/v1/icon/a/b");
        QTest::newRow("question mark starts a query") << "" << "" << "x?size=512" << QByteArray("/api/v1/icon/x?size=512");
        QTest::newRow("fragment is not sent") << "" << "" << "x#part" << QByteArray("/api/v1/icon/x");
        QTest::newRow("escape kept") << "" << "" << "a%2Fb" << QByteArray("/api/v1/icon/a%2Fb");
    }
    void requestOnTheWire()
    {
        QFETCH(QString, prefix);
        QFETCH(QString, suffix);
        QFETCH(QString, iconID);
        QFETCH(QByteArray, target);
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("GET", "*", StubReply::json(200, Record));

        const IconLookupResult result
            = testsupport::runTask(lookupIcon(prefix + server.urlText() + suffix, QStringLiteral("tok-1"), iconID));
        QCOMPARE(result, (IconLookupResult{QStringLiteral("17"), QStringLiteral("http://127.0.0.1/icons/17.png"), QStringLiteral("logo.png")}));

        QCOMPARE(server.requests().size(), 1);
        const StubRequest &request = server.requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, target);
        QCOMPARE(request.body, QByteArray());
        // Our two headers, in the order set; the rest are the client's own.
        QByteArrayList ours;
        for (const auto &[name, value] : request.headers) {
            if (!apitest::ClientHeaders.contains(name))
                ours << name + ": " + value;
        }
        QCOMPARE(ours, (QByteArrayList{"Authorization: Bearer tok-1", "Accept: application/json"}));
    }

    // Against the real endpoint, which stores and serves what was uploaded.
    void unknownIcon()
    {
        StubServer server;
        QVERIFY(server.listen());
        server.acceptToken("tok");
        const auto error = errorOf(lookupIcon(server.urlText(), QStringLiteral("tok"), QStringLiteral("99")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkIconLookup"));
        QCOMPARE(error->code(), 404);
        QCOMPARE(error->message(), QString::fromUtf8(json("Failed to look up icon ID 99. HTTP 404. {'error':'icon not found'}")));
    }

    void invalidUrl_data()
    {
        QTest::addColumn<QString>("serverUrl");
        QTest::addColumn<QString>("iconID");
        QTest::newRow("space in ID") << "http://127.0.0.1:9" << "my icon";
        QTest::newRow("stray percent in ID") << "http://127.0.0.1:9" << "50%";
        QTest::newRow("bad server URL") << "http://[::1" << "17";
    }
    void invalidUrl()
    {
        QFETCH(QString, serverUrl);
        QFETCH(QString, iconID);
        const auto error = errorOf(lookupIcon(serverUrl, QStringLiteral("tok"), iconID));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkIconLookup"));
        QCOMPARE(error->code(), 300);
        QCOMPARE(error->message(), QStringLiteral("Invalid icon lookup URL."));
    }

    void failedStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::newRow("201 is a failure") << 201 << Record << QStringLiteral("Failed to look up icon ID a/b. HTTP 201. ") + QString::fromUtf8(Record);
        QTest::newRow("401 empty") << 401 << QByteArray() << "Failed to look up icon ID a/b. HTTP 401. ";
        QTest::newRow("500 not utf-8") << 500 << QByteArray("\xff") << "Failed to look up icon ID a/b. HTTP 500. ";
    }
    void failedStatus()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        StubServer server;
        QVERIFY(server.listen());
        server.queueReply("GET", "/api/v1/icon/a/b", StubReply::json(status, body));
        const auto error = errorOf(lookupIcon(server.urlText(), QStringLiteral("tok"), QStringLiteral("a/b")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkIconLookup"));
        QCOMPARE(error->code(), status);
        QCOMPARE(error->message(), message);
    }

    // A server URL that is not HTTP gets a reply without an HTTP response.
    void notHttp()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("api/v1/icon")));
        testsupport::writeFile(dir, QStringLiteral("api/v1/icon/17"), Record);
        const auto error = errorOf(lookupIcon(QUrl::fromLocalFile(dir.path()).toString(), QStringLiteral("tok"), QStringLiteral("17")));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkIconLookup"));
        QCOMPARE(error->code(), 301);
        QCOMPARE(error->message(), QStringLiteral("No HTTP response when looking up icon ID 17."));
    }

    // The record read from a 200 reply; the requested ID is "req".
    void record_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");

        auto row = [](const char *tag, const QByteArray &idAndName, const QString &id, const QString &name) {
            QTest::newRow(tag) << json("{'url':'http://h/icons/icon.png',") + idAndName + "}" << id << name;
        };
        row("number", json("'id':42,'name':'n'"), "42", "n");
        row("whole double", json("'id':42.0,'name':'n'"), "42", "n");
        row("exponent", json("'id':1e3,'name':'n'"), "1000", "n");
        row("negative", json("'id':-7,'name':'n'"), "-7", "n");
        row("negative zero", json("'id':-0,'name':'n'"), "0", "n");
        row("negative zero double", json("'id':-0.0,'name':'n'"), "0", "n");
        row("largest int64", json("'id':9223372036854775807,'name':'n'"), "9223372036854775807", "n");
        row("smallest int64", json("'id':-9223372036854775808,'name':'n'"), "-9223372036854775808", "n");
        row("2^63 out of range", json("'id':9223372036854775808,'name':'n'"), "req", "n");
        row("huge double", json("'id':1.5e300,'name':'n'"), "req", "n");
        row("fraction", json("'id':42.5,'name':'n'"), "req", "n");
        row("string", json("'id':'042','name':'n'"), "042", "n");
        row("empty string", json("'id':'','name':'n'"), "", "n");
        row("null", json("'id':null,'name':'n'"), "req", "n");
        row("boolean", json("'id':true,'name':'n'"), "req", "n");
        row("array", json("'id':[1],'name':'n'"), "req", "n");
        row("object", json("'id':{'v':1},'name':'n'"), "req", "n");
        row("empty name kept", json("'id':1,'name':''"), "1", "");
        row("no name", json("'id':1"), "1", "icon.png");
        row("null name", json("'id':1,'name':null"), "1", "icon.png");
        row("number name", json("'id':1,'name':5"), "1", "icon.png");

        auto fromUrl = [](const char *tag, const QByteArray &url, const QString &name) {
            QTest::newRow(tag) << json("{'id':1,'url':'") + url + json("'}") << QStringLiteral("1") << name;
        };
        fromUrl("url: escapes decoded, query and fragment left out", "http://h/icons/my%20icon%C3%A9.png?size=512#top",
                QString::fromUtf8("my iconé.png"));
        fromUrl("url: trailing slash ignored", "http://h/icons/set/", "set");
        fromUrl("url: escaped slash stays in its segment", "http://h/icons/a%2Fb.png", "a/b.png");
        fromUrl("url: root path", "http://h/", "");
        fromUrl("url: no path", "http://h", "");
        fromUrl("url: relative", "icons/rel.png", "rel.png");
        fromUrl("url: does not parse", "http://h/my icon.png", "");
        fromUrl("url: bad escape", "http://h/%zz.png", "");
    }
    void record()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, id);
        QFETCH(QString, name);
        const IconLookupResult result = lookupResultFromReply(HttpReply{200, body}, QStringLiteral("req"));
        QCOMPARE(result.id, id);
        QCOMPARE(result.name, name);
        QVERIFY(!result.url.isEmpty());
        QCOMPARE(result.url, QJsonDocument::fromJson(body).object().value(QLatin1String("url")).toString());
    }

    void unusableRecord_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("code");
        QTest::newRow("no url") << (json("{'id':1,'name':'n'}")) << 303;
        QTest::newRow("empty url") << (json("{'id':1,'url':''}")) << 303;
        QTest::newRow("number url") << (json("{'id':1,'url':5}")) << 303;
        QTest::newRow("null url") << (json("{'id':1,'url':null}")) << 303;
        QTest::newRow("null id, no url") << (json("{'id':null}")) << 303;
        QTest::newRow("neither") << (json("{'name':'n'}")) << 302;
        QTest::newRow("empty object") << QByteArray("{}") << 302;
        QTest::newRow("array") << (json("[{'id':1,'url':'u'}]")) << 302;
    }
    void unusableRecord()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, code);
        try {
            lookupResultFromReply(HttpReply{200, body}, QStringLiteral("req"));
            QFAIL("no error");
        } catch (const ServerError &error) {
            QCOMPARE(error.domain(), QStringLiteral("VelkIconLookup"));
            QCOMPARE(error.code(), code);
            QCOMPARE(error.message(), code == 302 ? QStringLiteral("Icon lookup did not return an ID.") : QStringLiteral("Icon lookup did not return a URL."));
        }
    }

    void notJson_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("html") << QByteArray("<!DOCTYPE html><html></html>");
        QTest::newRow("cut off") << (json("{'id':1,'url':'http://h/x.png'"));
    }
    void notJson()
    {
        QFETCH(QByteArray, body);
        try {
            lookupResultFromReply(HttpReply{200, body}, QStringLiteral("req"));
            QFAIL("no error");
        } catch (const ServerError &error) {
            QCOMPARE(error.domain(), QStringLiteral("QJsonParseError"));
        }
    }
};

QTEST_GUILESS_MAIN(TestIconLookup)
#include "tst_iconlookup.moc"
