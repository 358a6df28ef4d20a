#include "core/ServerError.h"
#include "run/IconBatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

/** Which entries of a folder a run uploads, and in which order. */
class TestFolderScan : public QObject
{
    Q_OBJECT

private slots:
    void filterAndOrder_data();
    void filterAndOrder();
    void nameOrder_data();
    void nameOrder();
    void sameNamesComeOutInOneOrder();
    void missingFolderIsAnError();

private:
    static QStringList names(const QStringList &paths);
};

QStringList TestFolderScan::names(const QStringList &paths)
{
    QStringList result;
    for (const QString &path : paths)
        result.append(QFileInfo(path).fileName());
    return result;
}

void TestFolderScan::filterAndOrder_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("case of extensions") << QStringList{"b.png", "A.png", "c.GIF", "ICON.PNG", "logo.Jpeg", "x.jpg"}
                                        << QStringList{} << QStringList{"A.png", "b.png", "c.GIF", "ICON.PNG", "logo.Jpeg", "x.jpg"};
    QTest::newRow("only the last extension") << QStringList{"icon.zip.png", "icon.png.zip"} << QStringList{}
                                             << QStringList{"icon.zip.png"};
    QTest::newRow("unsupported types") << QStringList{"photo.tiff", "vector.svg", "image.webp", "image.heic", "image.bmp", "png", "README"}
                                       << QStringList{} << QStringList{};
    QTest::newRow("hidden entries and subfolders") << QStringList{"._icon.png", ".png", "a.png"} << QStringList{"set.png", "sub"}
                                                   << QStringList{"._icon.png", "a.png", "set.png"};
}

void TestFolderScan::filterAndOrder()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    for (const QString &name : files) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    for (const QString &name : folders)
        QVERIFY(QDir(dir.path()).mkdir(name));
    // Files inside subfolders are never seen.
    QFile nested(dir.filePath(folders.isEmpty() ? "deeper.png" : folders.first() + "/inner.png"));
    if (!folders.isEmpty())
        QVERIFY(nested.open(QIODevice::WriteOnly));

    const QStringList paths = iconFilesIn(dir.path());
    QCOMPARE(names(paths), expected);
    for (const QString &path : paths)
        QVERIFY(QFileInfo(path).isAbsolute());
}

void TestFolderScan::nameOrder_data()
{
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("case ignored") << QStringList{"b.png", "A.png", "c.GIF", "B2.png"}
                                  << QStringList{"A.png", "b.png", "B2.png", "c.GIF"};
    QTest::newRow("digits compared as text") << QStringList{"icon2.png", "icon10.png", "icon1.png"}
                                             << QStringList{"icon1.png", "icon10.png", "icon2.png"};
    QTest::newRow("accented letters near their base") << QStringList{"zebra.png", QString::fromUtf8("élan.png"), "eagle.png"}
                                                      << QStringList{"eagle.png", QString::fromUtf8("élan.png"), "zebra.png"};
}

void TestFolderScan::nameOrder()
{
    QFETCH(QStringList, input);
    QFETCH(QStringList, expected);
    sortByName(input);
    QCOMPARE(input, expected);
}

void TestFolderScan::sameNamesComeOutInOneOrder()
{
    // A.png and a.png collate the same; the run must not depend on the
    // order in which the file system happens to list them.
    QTemporaryDir dir;
    for (const char *name : {"a.png", "A.png", "b.png"}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(names(iconFilesIn(dir.path())), (QStringList{"A.png", "a.png", "b.png"}));
}

void TestFolderScan::missingFolderIsAnError()
{
    QTemporaryDir dir;
    const QString gone = dir.filePath("Icons");
    try {
        iconFilesIn(gone);
        QFAIL("listing a missing folder succeeded");
    } catch (const ServerError &error) {
        QCOMPARE(error.domain(), ErrorDomain::FileSystem);
        QVERIFY2(error.message().contains(gone), qPrintable(error.message()));
        QVERIFY2(error.message().contains("No such file or directory"), qPrintable(error.message()));
    }
}

QTEST_GUILESS_MAIN(TestFolderScan)
#include "test_folder_scan.moc"
