// The icon upload: the multipart request as the server receives it, the
// order of checks, how the new icon's ID is read, and the lookup after it.

#include "api/BearerToken.h"
#include "api/IconUpload.h"
#include "core/ServerError.h"
#include "tests/api/ApiTestSupport.h"
#include "tools/stub-server/StubServer.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QTest>

using apitest::errorOf;

namespace {

// JSON written with single quotes, which the tests never need inside values.
QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

QImage testImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height, QColor(200, 30, 30));
    return image;
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A 2x1 red GIF, since Qt can read GIF but not write it.
const QByteArray Gif = QByteArray::fromHex("47494638396102000100f00000ff000000000021f90400000000002c0000000002000100000202040a003b");

QByteArray boundaryOf(const StubRequest &request)
{
    const QByteArray contentType = request.header("Content-Type");
    const QByteArray prefix = "multipart/form-data; boundary=";
    return contentType.startsWith(prefix) ? contentType.mid(prefix.size()) : QByteArray();
}

} // namespace

class TestIconUpload : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_jpeg;

    /** A stub that takes the token "tok" and the default endpoints. */
    static void start(StubServer &server)
    {
        QVERIFY(server.listen());
        server.acceptToken("tok");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_jpeg = testsupport::writeImage(m_dir, QStringLiteral("logo.jpeg"), testImage(64, 32).convertToFormat(QImage::Format_RGB32));
    }

    // Token, upload and lookup, each checked as the server received it.
    void wholeExchange()
    {
        StubServer server;
        QVERIFY(server.listen());
        const QString token = testsupport::runTask(fetchBearerToken(server.urlText() + "/", QStringLiteral("id"), QStringLiteral("secret")));
        const IconLookupResult result = testsupport::runTask(uploadIcon(server.urlText() + "/", token, m_jpeg));

        QCOMPARE(result, (IconLookupResult{QStringLiteral("1"), server.urlText() + "/icons/1.png", QStringLiteral("logo.png")}));
        QCOMPARE(server.requests().size(), 3);
        QCOMPARE(server.connectionCount(), 1);

        const StubRequest &upload = server.requests()[1];
        QCOMPARE(upload.method, QByteArray("POST"));
        QCOMPARE(upload.target, QByteArray("/api/v1/icon"));
        const QByteArray boundary = boundaryOf(upload);
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"))
                     .match(QString::fromLatin1(boundary))
                     .hasMatch(),
                 boundary.constData());
        QByteArrayList ours;
        for (const auto &[name, value] : upload.headers) {
            if (!apitest::ClientHeaders.contains(name))
                ours << name + ": " + value;
        }
        QCOMPARE(ours, (QByteArrayList{"Authorization: Bearer " + token.toUtf8(), "Content-Type: multipart/form-data; boundary=" + boundary}));

        const QByteArray png = server.iconPng(1);
        QCOMPARE(upload.body, "--" + boundary + "\r\n"
                                  "Content-Disposition: form-data; name=\"file\"; filename=\"logo.png\"\r\n"
                                  "Content-Type: image/png\r\n"
                                  "\r\n"
                                  + png + "\r\n--" + boundary + "--\r\n");
        QCOMPARE(upload.body.size(), 169 + 8 + png.size());

        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        const QImage icon = QImage::fromData(png, "PNG");
        QCOMPARE(icon.size(), QSize(512, 512));
        QVERIFY(icon.hasAlphaChannel());
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0); // the band above the 2:1 picture
        QCOMPARE(qAlpha(icon.pixel(256, 256)), 255);

        const StubRequest &lookup = server.requests()[2];
        QCOMPARE(lookup.method, QByteArray("GET"));
        QCOMPARE(lookup.target, QByteArray("/api/v1/icon/1"));
        QCOMPARE(lookup.header("Authorization"), "Bearer " + token.toUtf8());
    }

    void uploadFileName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("jpeg") << "/icons/logo.jpeg" << "logo.png";
        QTest::newRow("two dots") << "/icons/photo.final.gif" << "photo.final.png";
        QTest::newRow("upper-case png") << "/icons/icon.PNG" << "icon.png";
        QTest::newRow("no extension") << "/icons/README" << "README.png";
        QTest::newRow("hidden file") << "/icons/.logo" << ".logo.png";
        QTest::newRow("trailing dot") << "/icons/logo." << "logo.png";
        QTest::newRow("dot in folder only") << "/my.icons/logo" << "logo.png";
        QTest::newRow("relative") << "logo.gif" << "logo.png";
    }
    void uploadFileName()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(::uploadFileName(path), name);
    }

    // The part's filename parameter, and that the server stores the icon
    // under it; messages keep the local file's own name.
    void fileNameOnTheWire_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("parameter");
        QTest::newRow("gif") << "photo.final.gif" << QByteArray("photo.final.png");
        QTest::newRow("upper-case") << "icon.PNG" << QByteArray("icon.png");
        QTest::newRow("utf-8 as is") << QString::fromUtf8("Ikon é Ω.png") << QByteArray("Ikon \xc3\xa9 \xce\xa9.png");
        QTest::newRow("percent and semicolon as is") << "50%; off.png" << QByteArray("50%; off.png");
        QTest::newRow("double quote escaped") << "say \"hi\".png" << QByteArray("say %22hi%22.png");
        QTest::newRow("line feed escaped") << "a\nContent-Type: text.png" << QByteArray("a%0AContent-Type: text.png");
        QTest::newRow("carriage return escaped") << "a\r.jpeg" << QByteArray("a%0D.png");
    }
    void fileNameOnTheWire()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, parameter);
        const QString path = fileName.endsWith(QLatin1String(".gif"))
            ? testsupport::writeFile(m_dir, fileName, Gif)
            : testsupport::writeFile(m_dir, fileName, pngBytes(testImage(8, 8)));
        StubServer server;
        start(server);
        const IconLookupResult result = testsupport::runTask(uploadIcon(server.urlText(), QStringLiteral("tok"), path));

        const StubRequest &upload = server.requests().first();
        const QByteArray boundary = boundaryOf(upload);
        QVERIFY(upload.body.contains("; filename=\"" + parameter + "\"\r\nContent-Type: image/png\r\n\r\n"));
        QCOMPARE(upload.body.size(), 169 + parameter.size() + server.iconPng(1).size());
        QCOMPARE(result.name, QString::fromUtf8(parameter));

        // The local name, not the upload name, in a message.
        server.queueReply("POST", "/api/v1/icon", StubReply::json(400, "bad"));
        const auto error = errorOf(uploadIcon(server.urlText(), QStringLiteral("tok"), path));
        QVERIFY(error);
        QCOMPARE(error->message(), QStringLiteral("Failed to upload ") + fileName + QStringLiteral(". HTTP 400. bad"));
    }

    void boundaryIsNewEachTime()
    {
        StubServer server;
        start(server);
        testsupport::runTask(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
        testsupport::runTask(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
        QCOMPARE(server.requests().size(), 4);
        const QByteArray first = boundaryOf(server.requests()[0]);
        const QByteArray second = boundaryOf(server.requests()[2]);
        QCOMPARE(first.size(), 36);
        QCOMPARE(second.size(), 36);
        QVERIFY(first != second);
        QCOMPARE(server.iconPng(1), server.iconPng(2));
    }

    // The server URL is judged before the file is read.
    void invalidUrlBeforeImage()
    {
        const auto error = errorOf(uploadIcon(QStringLiteral("https://velk example.com"), QStringLiteral("tok"), m_dir.filePath(QStringLiteral("missing.png"))));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkUpload"));
        QCOMPARE(error->code(), 200);
        QCOMPARE(error->message(), QStringLiteral("Invalid Velk Pro URL."));
    }

    void imageErrorSendsNothing_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content"); // none: no file
        QTest::newRow("missing") << "missing.png" << QByteArray();
        QTest::newRow("not an image") << "notes.png" << QByteArray("just some notes\n");
    }
    void imageErrorSendsNothing()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        const QString path = content.isEmpty() ? m_dir.filePath(fileName) : testsupport::writeFile(m_dir, fileName, content);
        StubServer server;
        start(server);
        const auto error = errorOf(uploadIcon(server.urlText(), QStringLiteral("tok"), path));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("ImageConversion"));
        QCOMPARE(error->code(), 400);
        QCOMPARE(error->message(), QStringLiteral("Could not open image: ") + fileName);
        QCOMPARE(server.connectionCount(), 0);
    }

    // How the upload reply's "id" becomes the ID the lookup asks for.
    void uploadReplyID_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("lookupTarget"); // empty: the upload fails
        QTest::addColumn<int>("code");

        QTest::newRow("201 number") << 201 << json("{'id':17}") << QByteArray("/api/v1/icon/17") << 0;
        QTest::newRow("200 string") << 200 << json("{'id':'17'}") << QByteArray("/api/v1/icon/17") << 0;
        QTest::newRow("text") << 201 << json("{'id':'abc'}") << QByteArray("/api/v1/icon/abc") << 0;
        QTest::newRow("empty text") << 201 << json("{'id':''}") << QByteArray("/api/v1/icon/") << 0;
        QTest::newRow("leading zero kept") << 201 << json("{'id':'042'}") << QByteArray("/api/v1/icon/042") << 0;
        QTest::newRow("whole double") << 201 << json("{'id':42.0}") << QByteArray("/api/v1/icon/42") << 0;
        QTest::newRow("negative") << 201 << json("{'id':-3}") << QByteArray("/api/v1/icon/-3") << 0;
        QTest::newRow("null") << 200 << json("{'id':null}") << QByteArray() << 203;
        QTest::newRow("fraction") << 200 << json("{'id':4.5}") << QByteArray() << 203;
        QTest::newRow("array") << 200 << json("{'id':[17]}") << QByteArray() << 203;
        QTest::newRow("object") << 200 << json("{'id':{'value':17}}") << QByteArray() << 203;
        QTest::newRow("boolean") << 200 << json("{'id':true}") << QByteArray() << 203;
        QTest::newRow("2^63") << 200 << json("{'id':9223372036854775808}") << QByteArray() << 203;
        QTest::newRow("top-level array") << 201 << json("[{'id':17}]") << QByteArray() << 202;
        QTest::newRow("no id") << 201 << json("{'icon_id':17}") << QByteArray() << 202;
        QTest::newRow("empty object") << 201 << json("{}") << QByteArray() << 202;
    }
    void uploadReplyID()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, lookupTarget);
        QFETCH(int, code);
        StubServer server;
        start(server);
        server.queueReply("POST", "/api/v1/icon", StubReply::json(status, body));
        server.queueReply("GET", "/api/v1/icon/*", StubReply::json(200, json("{'id':'from lookup','url':'http://h/i.png'}")));

        if (!lookupTarget.isEmpty()) {
            const IconLookupResult result = testsupport::runTask(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
            QCOMPARE(result.id, QStringLiteral("from lookup"));
            QCOMPARE(server.requests().size(), 2);
            QCOMPARE(server.requests()[1].target, lookupTarget);
            return;
        }
        const auto error = errorOf(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkUpload"));
        QCOMPARE(error->code(), code);
        QCOMPARE(error->message(), code == 202 ? QStringLiteral("Upload succeeded, but Velk did not return an icon ID for logo.jpeg.")
                                               : QStringLiteral("Velk returned an icon ID in an unexpected format for logo.jpeg."));
        QCOMPARE(server.requests().size(), 1);
    }

    void failedStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("bodyText");
        QTest::newRow("202 with an id") << 202 << json("{'id':17}") << QString::fromUtf8(json("{'id':17}"));
        QTest::newRow("204 has no body") << 204 << QByteArray("ignored") << "";
        QTest::newRow("400") << 400 << json("{'error':'not a PNG'}") << QString::fromUtf8(json("{'error':'not a PNG'}"));
        QTest::newRow("500 multi-line") << 500 << QByteArray("Traceback:\n  line 1\n") << "Traceback:\n  line 1\n";
    }
    void failedStatus()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, bodyText);
        StubServer server;
        start(server);
        server.queueReply("POST", "/api/v1/icon", StubReply::json(status, body));
        const auto error = errorOf(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkUpload"));
        QCOMPARE(error->code(), status);
        QCOMPARE(error->message(), QStringLiteral("Failed to upload logo.jpeg. HTTP %1. ").arg(status) + bodyText);
    }

    void replyNotJson_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("html") << QByteArray("<html><body>Welcome</body></html>");
        QTest::newRow("empty") << QByteArray();
    }
    void replyNotJson()
    {
        QFETCH(QByteArray, body);
        StubServer server;
        start(server);
        server.queueReply("POST", "/api/v1/icon", StubReply::text(200, body));
        const auto error = errorOf(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("QJsonParseError"));
    }

    void notHttp()
    {
        try {
            iconIDFromUploadReply(HttpReply{std::nullopt, json("{'id':1}")}, QStringLiteral("logo.jpeg"));
            QFAIL("no error");
        } catch (const ServerError &error) {
            QCOMPARE(error.domain(), QStringLiteral("VelkUpload"));
            QCOMPARE(error.code(), 201);
            QCOMPARE(error.message(), QStringLiteral("No HTTP response while uploading logo.jpeg."));
        }
    }

    // The icon stays on the server; the lookup's error comes through as is.
    void failedLookupKeepsIcon()
    {
        StubServer server;
        start(server);
        server.queueReply("GET", "/api/v1/icon/1", StubReply::json(503, "maintenance"));
        const auto error = errorOf(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("VelkIconLookup"));
        QCOMPARE(error->code(), 503);
        QCOMPARE(error->message(), QStringLiteral("Failed to look up icon ID 1. HTTP 503. maintenance"));
        QVERIFY(server.hasIcon(1));
    }

    // The upload goes to the new place and reaches it whole.
    void sameOriginRedirect()
    {
        StubServer server;
        start(server);
        server.queueReply("POST", "/api/v1/icon", StubReply::redirect(308, "/api/v1/icon?moved=1"));
        const IconLookupResult result = testsupport::runTask(uploadIcon(server.urlText(), QStringLiteral("tok"), m_jpeg));
        QCOMPARE(result.id, QStringLiteral("1"));
        QCOMPARE(server.requests().size(), 3);
        QCOMPARE(server.requests()[1].body, server.requests()[0].body);
        QCOMPARE(server.connectionCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TestIconUpload)
#include "tst_iconupload.moc"
