// Whole upload runs against a misbehaving server: every kind of broken
// exchange at the token request, an upload and a lookup, and a failure at
// every step of a run. Each run must end with one "Error: " status, the
// busy flag cleared, no report written, and the window ready for a run
// that then succeeds.

#include "api/Http.h"
#include "tests/hardening/RunFixture.h"

#include <QDir>
#include <QTcpServer>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

enum class Position { Token, Upload, Lookup };

enum class Fault {
    CutOffReply,
    Dropped,
    NeverAnswers,
    HtmlErrorPage,
    HugeErrorBody,
    HugeNonJson,
    NonUtf8ErrorBody,
    RedirectLoop,
    RedirectElsewhere,
};

// The second of three images fails; the first stays on the server.
const QStringList Images = {QStringLiteral("a.png"), QStringLiteral("b.jpg"), QStringLiteral("c.gif")};
constexpr int FailingFile = 2;

const QByteArray HtmlPage = "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>\n"
                            "<body><h1>Internal Server Error</h1><p>The server encountered an internal error.</p>"
                            "</body></html>\n";

/** 5 MB of text with multi-byte characters throughout, so a split character would show. */
QByteArray hugeText()
{
    QByteArray line = "Stack frame \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 at module.function(line 42)\n";
    QByteArray text;
    text.reserve(5 << 20);
    while (text.size() + line.size() <= (5 << 20))
        text += line;
    return text;
}

QByteArray method(Position position)
{
    return position == Position::Lookup ? "GET" : "POST";
}

QByteArray path(Position position)
{
    switch (position) {
    case Position::Token: return "/api/v1/oauth/token";
    case Position::Upload: return "/api/v1/icon";
    case Position::Lookup: return "/api/v1/icon/*";
    }
    return {};
}

/** The start of a failed status's message at this position, up to the body. */
QString statusPrefix(Position position, int status)
{
    switch (position) {
    case Position::Token: return QStringLiteral("Failed to get bearer token. HTTP %1. ").arg(status);
    case Position::Upload: return QStringLiteral("Failed to upload %1. HTTP %2. ").arg(Images[FailingFile - 1]).arg(status);
    case Position::Lookup: return QStringLiteral("Failed to look up icon ID %1. HTTP %2. ").arg(FailingFile).arg(status);
    }
    return {};
}

/** The status a successful reply has at this position. */
int successStatus(Position position)
{
    return position == Position::Upload ? 201 : 200;
}

} // namespace

Q_DECLARE_METATYPE(Position)
Q_DECLARE_METATYPE(Fault)

class TestFaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void brokenExchange_data();
    void brokenExchange();
    void connectionRefused();
    void failureAtEveryStep_data();
    void failureAtEveryStep();

private:
    /** Makes the exchange at position (for an upload or lookup, that of the second file) answer with replies. */
    void scriptAt(Position position, const QList<StubReply> &replies);

    std::unique_ptr<RunFixture> m_run;
    std::unique_ptr<StubServer> m_elsewhere;
};

void TestFaultMatrix::init()
{
    m_run = std::make_unique<RunFixture>();
    for (const QString &name : Images)
        m_run->addImage(name);
    m_elsewhere = std::make_unique<StubServer>();
    QVERIFY(m_elsewhere->listen());
}

void TestFaultMatrix::cleanup()
{
    m_run.reset();
    m_elsewhere.reset();
}

void TestFaultMatrix::scriptAt(Position position, const QList<StubReply> &replies)
{
    StubServer &server = *m_run->server;
    auto queueAll = [&server, position, replies] {
        for (const StubReply &reply : replies)
            server.queueReply(method(position), path(position), reply);
    };
    if (position == Position::Token)
        return queueAll();
    // The fault waits until the exchange before it has been answered: the
    // first file's lookup for an upload, the second file's upload for a lookup.
    const QByteArray trigger = position == Position::Upload ? "GET" : "POST";
    auto seen = std::make_shared<int>(0);
    connect(&server, &StubServer::requestHandled, &server, [=](const StubRequest &request) {
        if (request.method == trigger && request.path().startsWith("/api/v1/icon") && ++*seen == FailingFile - (position == Position::Upload ? 1 : 0))
            queueAll();
    });
}

void TestFaultMatrix::brokenExchange_data()
{
    QTest::addColumn<Position>("position");
    QTest::addColumn<Fault>("fault");

    const QList<std::pair<const char *, Position>> positions = {
        {"token", Position::Token}, {"upload", Position::Upload}, {"lookup", Position::Lookup}};
    const QList<std::pair<const char *, Fault>> faults = {
        {"reply cut off", Fault::CutOffReply},
        {"connection dropped", Fault::Dropped},
        {"never answers", Fault::NeverAnswers},
        {"500 with an HTML page", Fault::HtmlErrorPage},
        {"5 MB error body", Fault::HugeErrorBody},
        {"5 MB success body not JSON", Fault::HugeNonJson},
        {"error body not UTF-8", Fault::NonUtf8ErrorBody},
        {"redirect loop", Fault::RedirectLoop},
        {"redirect to another port", Fault::RedirectElsewhere},
    };
    for (const auto &[positionName, position] : positions) {
        for (const auto &[faultName, fault] : faults)
            QTest::addRow("%s, %s", positionName, faultName) << position << fault;
    }
}

void TestFaultMatrix::brokenExchange()
{
    QFETCH(Position, position);
    QFETCH(Fault, fault);

    QString expected; // the message exactly, or
    QRegularExpression pattern; // one that matches it whole
    switch (fault) {
    case Fault::CutOffReply: {
        StubReply reply = StubReply::json(successStatus(position), R"({"access_token":"abc","id":7,"url":"http://127.0.0.1/7.png"})");
        reply.fault = StubReply::Fault::CloseMidBody;
        scriptAt(position, {reply});
        expected = QStringLiteral("Connection closed");
        break;
    }
    case Fault::Dropped:
        // Closed before any byte of the answer. A POST is not sent again; the
        // lookup's GET, on a reused connection, is sent again once on a fresh
        // one, and that close is the failure.
        scriptAt(position, QList<StubReply>(position == Position::Lookup ? 2 : 1, StubReply::failure(StubReply::Fault::Drop)));
        expected = QStringLiteral("Empty reply from server");
        break;
    case Fault::NeverAnswers:
        m_run->setTimeout(300ms);
        scriptAt(position, {StubReply::failure(StubReply::Fault::NeverAnswer)});
        expected = QStringLiteral("The request timed out.");
        break;
    case Fault::HtmlErrorPage:
        scriptAt(position, {StubReply{500, {{"Content-Type", "text/html; charset=utf-8"}}, HtmlPage}});
        expected = statusPrefix(position, 500) + QString::fromUtf8(HtmlPage);
        break;
    case Fault::HugeErrorBody: {
        const QByteArray body = hugeText();
        scriptAt(position, {StubReply::text(503, body)});
        expected = statusPrefix(position, 503) + QString::fromUtf8(body);
        break;
    }
    case Fault::HugeNonJson:
        scriptAt(position, {StubReply::text(successStatus(position), hugeText())});
        pattern = QRegularExpression(QStringLiteral("The server's reply is not valid JSON \\(.+ at offset \\d+\\)\\."));
        break;
    case Fault::NonUtf8ErrorBody:
        scriptAt(position, {StubReply::text(400, "bad request \xFF\xFE in Latin-1: caf\xE9")});
        expected = statusPrefix(position, 400);
        break;
    case Fault::RedirectLoop: {
        // 307 keeps a POST a POST, so every hop comes back to the same script.
        const int status = position == Position::Lookup ? 302 : 307;
        const QByteArray target = position == Position::Lookup ? "/api/v1/icon/2" : path(position);
        scriptAt(position, QList<StubReply>(21, StubReply::redirect(status, target)));
        expected = QStringLiteral("Too many redirects.");
        break;
    }
    case Fault::RedirectElsewhere: {
        const QByteArray target = m_elsewhere->urlText().toUtf8() + path(position).replace("*", "2");
        scriptAt(position, {StubReply::redirect(position == Position::Lookup ? 302 : 307, target)});
        expected = QStringLiteral("The server redirected the request to %1. Redirects to another server are not followed.")
                       .arg(m_elsewhere->urlText());
        break;
    }
    }

    m_run->run();
    if (expected.isEmpty())
        m_run->verifyFailedRun(pattern);
    else
        m_run->verifyFailedRun(expected);
    if (QTest::currentTestFailed())
        return;
    // Files before the failing one stay on the server; none after it is tried.
    QCOMPARE(m_run->server->iconCount(), position == Position::Token ? 0 : FailingFile - 1 + (position == Position::Lookup));
    if (position != Position::Token)
        QVERIFY(!m_run->window->statuses.contains(testsupport::progressStatus(Images[FailingFile])));
    // Neither the secret nor a token went anywhere else.
    QCOMPARE(m_elsewhere->connectionCount(), 0);

    m_run->setTimeout(HttpClient::DefaultTimeout); // a slow moment of a loaded machine is no fault
    m_run->verifyHealthyRerun();
}

void TestFaultMatrix::connectionRefused()
{
    // A port that was just free and that nothing listens on now.
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    m_run->window->url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    m_run->run();
    m_run->verifyFailedRun(QRegularExpression(
        QStringLiteral("Failed to connect to 127\\.0\\.0\\.1 port %1 after \\d+ ms: Couldn't connect to server").arg(port)));
    QCOMPARE(m_run->window->statuses.size(), 2);
    m_run->verifyHealthyRerun();
}

void TestFaultMatrix::failureAtEveryStep_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<int>("file");      // the failing file, from 1; 0 for the token, listing and report
    QTest::addColumn<int>("iconsKept"); // icons left on the server

    QTest::newRow("token") << "token" << 0 << 0;
    QTest::newRow("folder listing") << "listing" << 0 << 0;
    for (int file = 1; file <= 3; ++file) {
        QTest::addRow("conversion of file %d", file) << "conversion" << file << file - 1;
        QTest::addRow("upload of file %d", file) << "upload" << file << file - 1;
        QTest::addRow("lookup of file %d", file) << "lookup" << file << file;
    }
    QTest::newRow("report") << "report" << 0 << 3;
}

void TestFaultMatrix::failureAtEveryStep()
{
    QFETCH(QString, step);
    QFETCH(int, file);
    QFETCH(int, iconsKept);
    RunFixture &run = *m_run;
    StubServer &server = *run.server;
    const QString name = file > 0 ? Images[file - 1] : QString();
    QString brokenCopy;
    int uploads = 0; // seen by the server, counted by the scripts below

    QString expected;
    if (step == u"token") {
        server.queueReply("POST", "/api/v1/oauth/token", StubReply::json(401, R"({"error":"invalid_client"})"));
        expected = QStringLiteral(R"(Failed to get bearer token. HTTP 401. {"error":"invalid_client"})");
    } else if (step == u"listing") {
        // The folder goes away while the token is on its way.
        const QString folder = run.window->folder;
        run.window->onStatus = [folder](const QString &status) {
            if (status == u"Getting bearer token...")
                QDir(folder).removeRecursively();
        };
        expected = QStringLiteral("Could not read the folder %1: No such file or directory.").arg(QDir::toNativeSeparators(folder));
    } else if (step == u"conversion") {
        // The file is cut short just before its turn.
        const QString filePath = QDir(run.window->folder).filePath(name);
        brokenCopy = filePath;
        run.window->onStatus = [filePath](const QString &status) {
            if (status == testsupport::progressStatus(QFileInfo(filePath).fileName()))
                QFile::resize(filePath, QFileInfo(filePath).size() / 2);
        };
        expected = QStringLiteral("Could not open image: ") + name;
    } else if (step == u"upload") {
        connect(&server, &StubServer::requestHandled, &server, [&, file](const StubRequest &request) {
            if (request.method == "POST" && request.path() == "/api/v1/icon" && ++uploads == file - 1)
                server.queueReply("POST", "/api/v1/icon", StubReply::json(413, R"({"error":"too large"})"));
        });
        if (file == 1)
            server.queueReply("POST", "/api/v1/icon", StubReply::json(413, R"({"error":"too large"})"));
        expected = QStringLiteral(R"(Failed to upload %1. HTTP 413. {"error":"too large"})").arg(name);
    } else if (step == u"lookup") {
        connect(&server, &StubServer::requestHandled, &server, [&, file](const StubRequest &request) {
            if (request.method == "POST" && request.path() == "/api/v1/icon" && ++uploads == file)
                server.queueReply("GET", "/api/v1/icon/*", StubReply::json(200, R"({"id":9})"));
        });
        expected = QStringLiteral("Icon lookup did not return a URL.");
    } else if (step == u"report") {
        QVERIFY(QDir(run.desktopPath()).removeRecursively());
        run.hasDesktop = false;
        expected = QStringLiteral("Could not save the results to %1: ").arg(QDir::toNativeSeparators(run.reportPath()));
    }

    run.run();
    if (step == u"report")
        run.verifyFailedRun(QRegularExpression(QRegularExpression::escape(expected) + QStringLiteral(".+")));
    else
        run.verifyFailedRun(expected);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(server.iconCount(), iconsKept);
    for (int later = file + 1; file > 0 && later <= Images.size(); ++later)
        QVERIFY(!run.window->statuses.contains(testsupport::progressStatus(Images[later - 1])));

    // Put right what the fault broke, then run again.
    if (step == u"listing") {
        run.window->folder = run.folder->path();
        QVERIFY(QDir().mkpath(run.window->folder));
        for (const QString &image : Images)
            run.addImage(image);
    }
    if (!brokenCopy.isEmpty())
        run.addImage(name);
    run.verifyHealthyRerun();
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "test_fault_matrix.moc"
