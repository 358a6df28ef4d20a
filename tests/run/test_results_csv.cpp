#include "core/ServerError.h"
#include "run/ResultsCsv.h"
#include "tests/support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

/** The report's exact bytes, and how writing it behaves on the Desktop. */
class TestResultsCsv : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void text_data();
    void text();
    void emptyListIsHeaderOnly();
    void writesToDesktopAndReplacesEarlierReport();
    void missingDesktopCreatesNothing();
    void readOnlyDesktopKeepsEarlierReport();

private:
    QByteArray readReport() const;

    std::unique_ptr<QTemporaryDir> m_home;
};

namespace {
const QByteArray Header = "Original File Name,Icon ID,Uploaded Icon Name,Icon URL\n";
}

void TestResultsCsv::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    qputenv("HOME", QFile::encodeName(m_home->path()));
}

QByteArray TestResultsCsv::readReport() const
{
    QFile file(m_home->filePath("Desktop/velk_icon_upload_results.csv"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void TestResultsCsv::text_data()
{
    QTest::addColumn<UploadResult>("result");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("plain") << UploadResult{"logo.jpeg", "17", "logo.png", "https://h/icons/17.png"}
                           << QByteArray("\"logo.jpeg\",\"17\",\"logo.png\",\"https://h/icons/17.png\"\n");
    QTest::newRow("quotes doubled") << UploadResult{"say \"hi\".png", "1", "\"", "u"}
                                    << QByteArray("\"say \"\"hi\"\".png\",\"1\",\"\"\"\",\"u\"\n");
    QTest::newRow("empty fields") << UploadResult{"a.png", "", "", "u"} << QByteArray("\"a.png\",\"\",\"\",\"u\"\n");
    QTest::newRow("comma and line breaks kept") << UploadResult{"a,b.png", "1", "x\r\ny\nz", "u"}
                                                << QByteArray("\"a,b.png\",\"1\",\"x\r\ny\nz\",\"u\"\n");
    QTest::newRow("non-ASCII as UTF-8") << UploadResult{QString::fromUtf8("café.png"), "1", QString::fromUtf8("図.png"), "u"}
                                        << QByteArray("\"caf\xC3\xA9.png\",\"1\",\"\xE5\x9B\xB3.png\",\"u\"\n");
}

void TestResultsCsv::text()
{
    QFETCH(UploadResult, result);
    QFETCH(QByteArray, line);
    QCOMPARE(resultsCsvText({result}), Header + line);
}

void TestResultsCsv::emptyListIsHeaderOnly()
{
    QCOMPARE(resultsCsvText({}), Header);
    QCOMPARE(resultsCsvText({}).size(), 55);
}

void TestResultsCsv::writesToDesktopAndReplacesEarlierReport()
{
    QVERIFY(QDir(m_home->path()).mkdir("Desktop"));
    const QString path = writeResultsCSV({{"a.png", "1", "a.png", "u1"}, {"b.png", "2", "b.png", "u2"}});
    QCOMPARE(path, m_home->filePath("Desktop/velk_icon_upload_results.csv"));
    QCOMPARE(readReport(), Header + "\"a.png\",\"1\",\"a.png\",\"u1\"\n\"b.png\",\"2\",\"b.png\",\"u2\"\n");

    writeResultsCSV({{"c.png", "3", "c.png", "u3"}});
    QCOMPARE(readReport(), Header + "\"c.png\",\"3\",\"c.png\",\"u3\"\n");
    // No temporary file is left beside the report.
    QCOMPARE(QDir(m_home->filePath("Desktop")).entryList(QDir::Files | QDir::Hidden), QStringList{"velk_icon_upload_results.csv"});
}

void TestResultsCsv::missingDesktopCreatesNothing()
{
    try {
        writeResultsCSV({{"a.png", "1", "a.png", "u"}});
        QFAIL("writing without a Desktop folder succeeded");
    } catch (const ServerError &error) {
        QCOMPARE(error.domain(), ErrorDomain::FileSystem);
        QVERIFY2(error.message().contains("velk_icon_upload_results.csv"), qPrintable(error.message()));
    }
    QCOMPARE(QDir(m_home->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{});
}

void TestResultsCsv::readOnlyDesktopKeepsEarlierReport()
{
    VELK_RUN_UNPRIVILEGED(); // root writes into read-only folders
    QVERIFY(QDir(m_home->path()).mkdir("Desktop"));
    writeResultsCSV({{"old.png", "1", "old.png", "u"}});
    const QByteArray before = readReport();
    QFile::setPermissions(m_home->filePath("Desktop"), QFile::ReadOwner | QFile::ExeOwner);
    QVERIFY_THROWS_EXCEPTION(ServerError, writeResultsCSV({{"new.png", "2", "new.png", "u"}}));
    QFile::setPermissions(m_home->filePath("Desktop"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(readReport(), before);
}

QTEST_GUILESS_MAIN(TestResultsCsv)
#include "test_results_csv.moc"
