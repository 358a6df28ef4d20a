// Whole upload runs that meet trouble on the local side: a folder or file
// that goes away or changes kind during the run, files that cannot be read,
// broken and forged images, and a Desktop the report cannot be written to.
// Permission cases run as nobody, since permissions do not stop root.

#include "imaging/ImageLoad.h"
#include "tests/hardening/RunFixture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Unprivileged.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image))
        qFatal("cannot encode a test image as %s", format);
    return bytes;
}

QImage pattern(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgba(x * 7 % 256, y * 13 % 256, (x + y) % 8 * 32, 255));
    }
    return image;
}

/** Few colours, as a GIF can hold. */
QImage blocks(int width, int height)
{
    const QRgb colours[] = {qRgb(220, 40, 40), qRgb(40, 160, 60), qRgb(30, 60, 200), qRgb(250, 250, 250)};
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, colours[(x / 5 + y / 5) % 4]);
    }
    return image;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= uchar(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(data.size()), chunk.data());
    chunk += type + data;
    QByteArray crc(4, '\0');
    qToBigEndian(crc32(type + data), crc.data());
    return chunk + crc;
}

/** A PNG of a few KB that declares width x height and holds a few zero rows. */
QByteArray pngBomb(quint32 width, quint32 height)
{
    QByteArray header(13, '\0');
    qToBigEndian(width, header.data());
    qToBigEndian(height, header.data() + 4);
    header[8] = 8; // bits per channel
    header[9] = 6; // RGBA
    const QByteArray rows(qsizetype(4 * width + 1) * 4, '\0');
    const QByteArray zlib = qCompress(rows, 9).mid(4); // qCompress puts the length first
    return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header) + pngChunk("IDAT", zlib) + pngChunk("IEND", {});
}

/** A small real JPEG whose frame header claims width x height. */
QByteArray jpegBomb(quint16 width, quint16 height)
{
    QByteArray jpeg = encoded(pattern(16, 16), "jpeg");
    const qsizetype frame = jpeg.indexOf("\xFF\xC0");
    if (frame < 0)
        qFatal("no baseline frame header in the test JPEG");
    qToBigEndian(height, jpeg.data() + frame + 5);
    qToBigEndian(width, jpeg.data() + frame + 7);
    return jpeg;
}

/** A small real GIF whose screen and image claim width x height. */
QByteArray gifBomb(quint16 width, quint16 height)
{
    QByteArray gif = testsupport::gifBytes({blocks(16, 16)});
    qToLittleEndian(width, gif.data() + 6);
    qToLittleEndian(height, gif.data() + 8);
    const qsizetype image = gif.indexOf('\x2C', 13 + 768);
    qToLittleEndian(width, gif.data() + image + 5);
    qToLittleEndian(height, gif.data() + image + 7);
    return gif;
}

/** A small real GIF whose logical screen, the canvas its frame is drawn on, is width x height. */
QByteArray gifScreen(quint16 width, quint16 height)
{
    QByteArray gif = testsupport::gifBytes({blocks(16, 16)});
    qToLittleEndian(width, gif.data() + 6);
    qToLittleEndian(height, gif.data() + 8);
    return gif;
}

} // namespace

class TestFileFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void folderGoneBeforeThePress();
    void unreadableFolder();
    void unreadableFile();
    void fileChangesDuringTheRun_data();
    void fileChangesDuringTheRun();
    void brokenImage_data();
    void brokenImage();
    void specialFile_data();
    void specialFile();
    void gifScreenIsThePicture_data();
    void gifScreenIsThePicture();
    void nameNotUtf8();
    void readOnlyDesktopKeepsEarlierReport();

private:
    std::unique_ptr<RunFixture> m_run;
};

void TestFileFaults::init()
{
    m_run = std::make_unique<RunFixture>();
}

void TestFileFaults::cleanup()
{
    m_run.reset();
}

void TestFileFaults::folderGoneBeforeThePress()
{
    m_run->addImage("a.png");
    const QString folder = m_run->window->folder;
    QVERIFY(QDir(folder).removeRecursively());
    m_run->run();
    m_run->verifyFailedRun(
        QStringLiteral("Could not read the folder %1: No such file or directory.").arg(QDir::toNativeSeparators(folder)));
    QCOMPARE(m_run->server->requests().size(), 1); // the token only

    QVERIFY(QDir().mkpath(folder));
    m_run->addImage("a.png");
    m_run->verifyHealthyRerun();
}

void TestFileFaults::unreadableFolder()
{
    VELK_RUN_UNPRIVILEGED();
    m_run->addImage("a.png");
    const QString folder = m_run->window->folder;
    QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions()));
    m_run->run();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_run->verifyFailedRun(
        QStringLiteral("Could not read the folder %1: Permission denied.").arg(QDir::toNativeSeparators(folder)));
    m_run->verifyHealthyRerun();
}

void TestFileFaults::unreadableFile()
{
    VELK_RUN_UNPRIVILEGED();
    m_run->addImage("a.png");
    const QString locked = m_run->addImage("b.png");
    m_run->addImage("c.png");
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    m_run->run();
    m_run->verifyFailedRun(QStringLiteral("Could not open image: b.png"));
    QCOMPARE(m_run->server->iconCount(), 1);

    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner));
    m_run->verifyHealthyRerun();
}

void TestFileFaults::fileChangesDuringTheRun_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("removed") << "removed";
    QTest::newRow("replaced by a folder") << "folder";
    QTest::newRow("replaced by text") << "text";
    QTest::newRow("emptied") << "emptied";
}

void TestFileFaults::fileChangesDuringTheRun()
{
    QFETCH(QString, change);
    m_run->addImage("a.png");
    const QString second = m_run->addImage("b.png");
    // The folder was listed before the first upload; b.png changes while
    // a.png is on its way.
    m_run->window->onStatus = [&](const QString &status) {
        if (status != testsupport::progressStatus("a.png"))
            return;
        QFile::remove(second);
        if (change == u"folder")
            QDir().mkdir(second);
        else if (change == u"text")
            testsupport::writeFile(*m_run->folder, "b.png", "just some notes");
        else if (change == u"emptied")
            testsupport::writeFile(*m_run->folder, "b.png", {});
    };
    m_run->run();
    m_run->verifyFailedRun(QStringLiteral("Could not open image: b.png"));
    QCOMPARE(m_run->server->iconCount(), 1);

    QDir().rmdir(second);
    QFile::remove(second);
    m_run->verifyHealthyRerun();
}

void TestFileFaults::brokenImage_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");

    const QImage image = pattern(60, 40);
    const QList<std::pair<const char *, QByteArray>> whole = {
        {"png", encoded(image, "png")},
        {"jpg", encoded(image, "jpeg")},
        {"gif", testsupport::gifBytes({blocks(60, 40)})},
    };
    for (const auto &[format, bytes] : whole) {
        for (const int percent : {10, 50, 90}) {
            QTest::addRow("%s cut at %d%%", format, percent)
                << QStringLiteral("cut.%1").arg(QLatin1String(format)) << bytes.left(bytes.size() * percent / 100);
        }
    }
    QTest::newRow("JPEG without its end marker") << "cut.jpeg" << std::get<1>(whole[1]).chopped(2);
    QTest::newRow("empty icon.png") << "icon.png" << QByteArray();
    QTest::newRow("text named .jpg") << "notes.jpg" << QByteArray("These are my notes, not a picture.\n");
    QTest::newRow("PNG signature only") << "sig.png" << QByteArray("\x89PNG\r\n\x1a\n");
    QTest::newRow("PNG declaring 100000 x 100000") << "bomb.png" << pngBomb(100000, 100000);
    QTest::newRow("PNG declaring 11000 x 11000") << "bomb.png" << pngBomb(11000, 11000);
    QTest::newRow("PNG declaring 0 x 10") << "flat.png" << pngBomb(0, 10);
    QTest::newRow("JPEG declaring 65500 x 65500") << "bomb.jpg" << jpegBomb(65500, 65500);
    QTest::newRow("GIF declaring 65535 x 65535") << "bomb.gif" << gifBomb(65535, 65535);
    // Qt reports the frame's size for a GIF but decodes the whole screen.
    QTest::newRow("GIF screen 11000 x 11000 around a small frame") << "bomb.gif" << gifScreen(11000, 11000);
}

void TestFileFaults::brokenImage()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const QString path = m_run->addFile(name, bytes);
    m_run->addImage("zz-good.png"); // after the broken file in name order

    QElapsedTimer timer;
    timer.start();
    m_run->run();
    qInfo("%s: refused after %lld ms", qPrintable(name), timer.elapsed());
    m_run->verifyFailedRun(QStringLiteral("Could not open image: ") + name);
    QCOMPARE(m_run->server->iconCount(), 0);

    QVERIFY(QFile::remove(path));
    m_run->verifyHealthyRerun();
}

void TestFileFaults::specialFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("named pipe") << "pipe";
    QTest::newRow("link to /dev/zero") << "device";
    QTest::newRow("link to itself") << "loop";
    QTest::newRow("link to nothing") << "dangling";
}

void TestFileFaults::specialFile()
{
    QFETCH(QString, kind);
    const QString name = QStringLiteral("special.png");
    const QString path = QDir(m_run->window->folder).filePath(name);
    const QByteArray nativePath = QFile::encodeName(path);
    if (kind == u"pipe")
        QCOMPARE(mkfifo(nativePath.constData(), 0600), 0);
    else if (kind == u"device")
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    else if (kind == u"loop")
        QCOMPARE(symlink(nativePath.constData(), nativePath.constData()), 0);
    else
        QVERIFY(QFile::link(m_run->folder->filePath(QStringLiteral("gone.png")), path));
    m_run->addImage("zz-good.png");

    // Opening a named pipe for reading waits for a writer. Should the run do
    // that, a writer comes after a while and says so; the run then sees an
    // empty file and ends with the same error, later.
    bool waitedOnPipe = false;
    QTimer writer;
    writer.setSingleShot(true);
    connect(&writer, &QTimer::timeout, this, [&] {
        const int fd = ::open(nativePath.constData(), O_WRONLY | O_NONBLOCK);
        waitedOnPipe = fd >= 0; // succeeds only while a reader has it open
        if (fd >= 0)
            ::close(fd);
    });
    if (kind == u"pipe")
        writer.start(3000);
    m_run->run();
    writer.stop();

    QVERIFY2(!waitedOnPipe, "the conversion opened a named pipe and waited on it");
    m_run->verifyFailedRun(QStringLiteral("Could not open image: ") + name);
    QCOMPARE(m_run->server->iconCount(), 0);

    QVERIFY(QFile::remove(path));
    m_run->verifyHealthyRerun();
}

void TestFileFaults::gifScreenIsThePicture_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::newRow("taller than the frame") << QSize(16, 3000);
    QTest::newRow("wider than the frame") << QSize(3000, 16);
    QTest::newRow("smaller than the frame") << QSize(4, 4);
}

// The picture a GIF makes is its logical screen: the fitted shape must
// follow it, or a tall screen around a small frame is squeezed into a
// wide rectangle at a cost of seconds.
void TestFileFaults::gifScreenIsThePicture()
{
    QFETCH(QSize, screen);
    const QString path = m_run->addFile("screen.gif", gifScreen(quint16(screen.width()), quint16(screen.height())));
    const std::optional<imaging::DecodedImage> decoded = imaging::loadImage(path, 512);
    QVERIFY(decoded);
    QCOMPARE(decoded->image.size(), screen);
    QCOMPARE(decoded->size, QSizeF(screen));
}

void TestFileFaults::nameNotUtf8()
{
    // Qt holds file names as text, so a name whose bytes are not UTF-8
    // cannot be opened again by the name it is listed under: the run ends
    // with an error naming the file as well as it can, never with another
    // file's picture.
    const QByteArray name = "caf\xE9.png"; // Latin-1
    const QByteArray path = QFile::encodeName(m_run->window->folder) + '/' + name;
    const QByteArray png = encoded(pattern(8, 8), "png");
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, png.constData(), size_t(png.size())), ssize_t(png.size()));
    ::close(fd);

    m_run->run();
    m_run->verifyFailedRun(QStringLiteral("Could not open image: ") + QFile::decodeName(name));
    QCOMPARE(m_run->server->iconCount(), 0);

    QCOMPARE(::unlink(path.constData()), 0);
    m_run->addImage("cafe.png");
    m_run->verifyHealthyRerun();
}

void TestFileFaults::readOnlyDesktopKeepsEarlierReport()
{
    VELK_RUN_UNPRIVILEGED();
    m_run->addImage("a.png");
    m_run->addImage("b.gif");
    const QString desktop = m_run->desktopPath();
    QVERIFY(QFile::setPermissions(desktop, QFile::ReadOwner | QFile::ExeOwner));
    m_run->run();
    QVERIFY(QFile::setPermissions(desktop, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    m_run->verifyFailedRun(QRegularExpression(
        QRegularExpression::escape(QStringLiteral("Could not save the results to %1: ").arg(QDir::toNativeSeparators(m_run->reportPath())))
        + QStringLiteral(".+")));
    QCOMPARE(m_run->server->iconCount(), 2); // uploaded all the same
    m_run->verifyHealthyRerun();
}

QTEST_GUILESS_MAIN(TestFileFaults)
#include "test_file_faults.moc"
