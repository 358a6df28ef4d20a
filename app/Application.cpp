#include "app/Application.h"

#include <QApplication>

QString applicationId()
{
    return QStringLiteral("org.example.VelkIconUploader");
}

QIcon applicationIcon()
{
    static const QIcon icon = [] {
        QIcon result;
        for (int size : {16, 22, 24, 32, 48, 64, 80, 128, 160, 240, 256, 512})
            result.addFile(QStringLiteral(":/icons/app-%1.png").arg(size), QSize(size, size));
        return result;
    }();
    return icon;
}

void nameApplication()
{
    // Settings go to ~/.config/Velk/velk-icon-uploader.conf.
    QApplication::setOrganizationName(QStringLiteral("Velk"));
    QApplication::setApplicationName(QStringLiteral("velk-icon-uploader"));
    QApplication::setApplicationDisplayName(QStringLiteral("Velk Icon Uploader"));
    QApplication::setApplicationVersion(QStringLiteral(VELK_VERSION));
    QGuiApplication::setDesktopFileName(applicationId());
}

void setUpApplication(QApplication &app)
{
    nameApplication();
    app.setWindowIcon(applicationIcon());
}
