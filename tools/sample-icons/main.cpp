// velk-sample-icons DIR COUNT [--size PX | --sizes PX,PX,...] [--photos [--photo-size WxH]] [--prefix NAME]
//
// Paints COUNT distinct sample icons into DIR, so that a demo or a benchmark
// has something to upload without fetching anything: PNGs with transparent
// corners and JPEGs, in a few sizes taken in turn. With --photos it paints
// large photo-like JPEGs instead, for measuring conversion of big images.
// Files are named NAME-1.png, NAME-2.png ... (NAME is "icon" by default), so
// that two calls with different prefixes fill one mixed folder.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>

#include <cstdio>

namespace {

QImage paintIcon(int index, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor base = QColor::fromHsv((index * 47) % 360, 170, 220);
    const qreal margin = size * 0.08;
    const QRectF tile(margin, margin, size - 2 * margin, size - 2 * margin);

    QLinearGradient gradient(tile.topLeft(), tile.bottomRight());
    gradient.setColorAt(0, base.lighter(130));
    gradient.setColorAt(1, base.darker(140));
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(tile, size * 0.18, size * 0.18);

    // A shape that differs from icon to icon.
    painter.setBrush(QColor(255, 255, 255, 230));
    const QPointF centre = tile.center();
    const qreal radius = tile.width() * 0.28;
    QPainterPath shape;
    const int corners = 3 + index % 5;
    for (int i = 0; i < corners; ++i) {
        const qreal angle = 2 * M_PI * i / corners - M_PI / 2;
        const QPointF point = centre + QPointF(std::cos(angle), std::sin(angle)) * radius;
        if (i == 0)
            shape.moveTo(point);
        else
            shape.lineTo(point);
    }
    shape.closeSubpath();
    painter.drawPath(shape);
    return image;
}

QImage paintPhoto(int index, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor::fromHsv((index * 29) % 360, 90, 240));
    sky.setColorAt(1, QColor::fromHsv((index * 29 + 40) % 360, 140, 120));
    painter.fillRect(image.rect(), sky);
    QRandomGenerator random(quint32(index + 1));
    for (int i = 0; i < 300; ++i) {
        const QColor colour = QColor::fromHsv(random.bounded(360), random.bounded(80, 255), random.bounded(60, 255), 160);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        const int r = random.bounded(width / 80, width / 12);
        painter.drawEllipse(QPoint(random.bounded(width), random.bounded(height)), r, r);
    }
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Paints sample icons to upload."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("dir"), QStringLiteral("Folder to write into (created if missing)."));
    parser.addPositionalArgument(QStringLiteral("count"), QStringLiteral("How many images to paint."));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Icon side in pixels (default: varies)."),
                                        QStringLiteral("px"));
    const QCommandLineOption sizesOption(QStringLiteral("sizes"), QStringLiteral("Icon sides in pixels, taken in turn (default: 64,128,256,512,1024)."),
                                         QStringLiteral("list"), QStringLiteral("64,128,256,512,1024"));
    const QCommandLineOption photosOption(QStringLiteral("photos"), QStringLiteral("Paint photo-like JPEGs."));
    const QCommandLineOption photoSizeOption(QStringLiteral("photo-size"), QStringLiteral("Photo size (default: 4000x3000)."),
                                             QStringLiteral("WxH"), QStringLiteral("4000x3000"));
    const QCommandLineOption prefixOption(QStringLiteral("prefix"), QStringLiteral("File name prefix (default: icon)."),
                                          QStringLiteral("name"), QStringLiteral("icon"));
    parser.addOptions({sizeOption, sizesOption, photosOption, photoSizeOption, prefixOption});
    parser.process(app);

    const QStringList arguments = parser.positionalArguments();
    bool countOk = false;
    const int count = arguments.value(1).toInt(&countOk);
    if (arguments.size() != 2 || !countOk || count < 0)
        parser.showHelp(2);
    QList<int> sizes;
    for (const QString &text : parser.value(parser.isSet(sizeOption) ? sizeOption : sizesOption).split(u',')) {
        bool ok = false;
        sizes.append(text.toInt(&ok));
        if (!ok || sizes.last() < 1)
            parser.showHelp(2);
    }
    const QStringList photoSize = parser.value(photoSizeOption).split(u'x');
    const int photoWidth = photoSize.value(0).toInt();
    const int photoHeight = photoSize.value(1).toInt();
    if (photoSize.size() != 2 || photoWidth < 1 || photoHeight < 1)
        parser.showHelp(2);
    const QDir dir(arguments.first());
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(dir.path()));
        return 1;
    }

    const int digits = int(QString::number(count).size());
    for (int i = 0; i < count; ++i) {
        const QString stem = QStringLiteral("%1-%2").arg(parser.value(prefixOption)).arg(i + 1, digits, 10, QLatin1Char('0'));
        QImage image;
        QString name;
        if (parser.isSet(photosOption)) {
            image = paintPhoto(i, photoWidth, photoHeight);
            name = stem + QStringLiteral(".jpg");
        } else {
            const int size = sizes[i % sizes.size()];
            image = paintIcon(i, size);
            // Every third icon is a JPEG, which has no transparency.
            name = stem + (i % 3 == 2 ? QStringLiteral(".jpg") : QStringLiteral(".png"));
        }
        QImageWriter writer(dir.filePath(name));
        if (!writer.write(image.format() == QImage::Format_RGB32 || name.endsWith(QLatin1String(".jpg"))
                              ? image.convertToFormat(QImage::Format_RGB32)
                              : image)) {
            std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(name), qPrintable(writer.errorString()));
            return 1;
        }
    }
    std::printf("%d images in %s\n", count, qPrintable(QDir::toNativeSeparators(dir.absolutePath())));
    return 0;
}
