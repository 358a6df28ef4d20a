// Whole upload runs over HTTPS against the stub server: a certificate that
// nothing vouches for is refused with the TLS error's text, while one signed
// by a CA the process trusts works. The CA and certificates are made for
// each test run with the openssl command; no key is kept anywhere.

#include "tests/hardening/RunFixture.h"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

/** A server identity: certificate (with its chain) and private key. */
struct Identity
{
    QList<QSslCertificate> chain;
    QSslKey key;
};

} // namespace

class TestHttps : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void trustedCertificateWorks();
    void untrustedCertificateIsRefused_data();
    void untrustedCertificateIsRefused();

private:
    bool openssl(const QStringList &arguments);
    Identity identity(const QString &name);
    void serveTls(StubServer &server, const Identity &identity);

    QTemporaryDir m_keys;
    std::unique_ptr<RunFixture> m_run;
};

bool TestHttps::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(m_keys.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("openssl %s failed: %s", qPrintable(arguments.join(u' ')), process.readAll().constData());
        return false;
    }
    return true;
}

Identity TestHttps::identity(const QString &name)
{
    QFile certificate(m_keys.filePath(name + QStringLiteral(".crt")));
    QFile key(m_keys.filePath(name + QStringLiteral(".key")));
    if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        qFatal("cannot read the test identity %s", qPrintable(name));
    return Identity{QSslCertificate::fromData(certificate.readAll()), QSslKey(key.readAll(), QSsl::Ec)};
}

void TestHttps::serveTls(StubServer &server, const Identity &identity)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(identity.chain);
    configuration.setPrivateKey(identity.key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone); // clients show no certificate
    server.setSslConfiguration(configuration);
}

void TestHttps::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QFAIL("the openssl command is missing; ./dev deps installs it");
    QVERIFY(m_keys.isValid());

    const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    // A test CA, and a server certificate for 127.0.0.1 that it signs.
    QVERIFY(openssl(QStringList{"req", "-x509"} + ec
                    + QStringList{"-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=Velk Test CA",
                                  "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"}));
    auto signedBy = [&](const QString &name, const QString &extensions) {
        QFile file(m_keys.filePath(name + QStringLiteral(".ext")));
        if (!file.open(QIODevice::WriteOnly) || file.write(extensions.toUtf8()) < 0)
            return false;
        file.close();
        return openssl(QStringList{"req", "-new"} + ec
                       + QStringList{"-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name})
            && openssl({"x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                        "-out", name + ".crt", "-days", "2", "-extfile", name + ".ext"});
    };
    QVERIFY(signedBy("trusted", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n"));
    // Signed by the trusted CA, but for another host.
    QVERIFY(signedBy("otherhost", "subjectAltName=DNS:icons.example.com\nextendedKeyUsage=serverAuth\n"));
    // Right host, but vouched for by nobody.
    QVERIFY(openssl(QStringList{"req", "-x509"} + ec
                    + QStringList{"-keyout", "selfsigned.key", "-out", "selfsigned.crt", "-days", "2", "-subj",
                                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}));

}

void TestHttps::init()
{
    m_run = std::make_unique<RunFixture>();
    // The run's client trusts the test CA besides the system's.
    m_run->http = std::make_unique<HttpClient>(HttpClient::DefaultTimeout, m_keys.filePath(QStringLiteral("ca.crt")));
    m_run->addImage("a.png");
    m_run->addImage("b.jpg");
}

void TestHttps::cleanup()
{
    m_run.reset();
}

void TestHttps::trustedCertificateWorks()
{
    StubServer server;
    serveTls(server, identity("trusted"));
    QVERIFY(server.listen());
    QVERIFY(server.urlText().startsWith("https://127.0.0.1:"));
    m_run->verifyHealthyRerun(&server);
    QCOMPARE(server.iconCount(), 2);
}

void TestHttps::untrustedCertificateIsRefused_data()
{
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("message"); // libcurl's
    QTest::newRow("self-signed") << "selfsigned" << "SSL certificate problem: self-signed certificate";
    QTest::newRow("trusted CA, other host") << "otherhost"
                                            << "SSL: no alternative certificate subject name matches target host name '127.0.0.1'";
}

void TestHttps::untrustedCertificateIsRefused()
{
    QFETCH(QString, identity);
    QFETCH(QString, message);
    StubServer server;
    serveTls(server, this->identity(identity));
    QVERIFY(server.listen());
    m_run->window->url = server.urlText();
    m_run->run();

    m_run->verifyFailedRun(message);
    // The handshake failed before any request: the secret was never sent.
    QCOMPARE(server.requests().size(), 0);

    StubServer healthy;
    serveTls(healthy, this->identity("trusted"));
    QVERIFY(healthy.listen());
    m_run->verifyHealthyRerun(&healthy);
}

QTEST_GUILESS_MAIN(TestHttps)
#include "test_https.moc"
