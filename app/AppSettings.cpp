#include "app/AppSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString storeKey(AppSettings::Key key)
{
    switch (key) {
    case AppSettings::Key::VelkURL: return QStringLiteral("velkURL");
    case AppSettings::Key::ClientID: return QStringLiteral("clientID");
    case AppSettings::Key::ClientSecret: return QStringLiteral("clientSecret");
    }
    Q_UNREACHABLE();
}

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions ownerOnlyFolder = ownerOnly | QFileDevice::ExeOwner;

} // namespace

AppSettings &AppSettings::instance()
{
    // Deliberately never destroyed: windows may still disconnect from it
    // while static objects are torn down at exit.
    static AppSettings *settings = new AppSettings;
    return *settings;
}

AppSettings::AppSettings()
{
    // A file left readable by others (by an older version, a copy, a
    // restore) is tightened before any value, the secret above all, is
    // handed out.
    restrictFileToOwner(); // at start-up
}

QString AppSettings::defaultVelkURL()
{
    return QStringLiteral("https://yourcompany.velk.example");
}

QString AppSettings::value(Key key) const
{
    return m_store.value(storeKey(key), key == Key::VelkURL ? defaultVelkURL() : QString()).toString();
}

void AppSettings::setValue(Key key, const QString &value)
{
    const QString name = storeKey(key);
    if (m_store.contains(name) && m_store.value(name).toString() == value)
        return;

    // Create the file owner-only, in a folder of the owner's only, before the
    // secret first goes into it; later atomic saves keep the permissions of
    // the file they replace.
    const QString path = m_store.fileName();
    if (!QFileInfo::exists(path)) {
        const QFileInfo folder(QFileInfo(path).absolutePath());
        if (!folder.exists()) {
            QDir().mkpath(folder.absolutePath());
            QDir().mkdir(folder.absoluteFilePath(), ownerOnlyFolder);
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly, ownerOnly))
            qWarning("cannot create the settings file %s: %s", qPrintable(path), qPrintable(file.errorString()));
    }
    m_store.setValue(name, value);
    m_store.sync();
    if (m_store.status() != QSettings::NoError)
        qWarning("cannot write the settings file %s", qPrintable(path));
    restrictFileToOwner();
    emit valueChanged(key, value);
}

QString AppSettings::fileName() const
{
    return m_store.fileName();
}

void AppSettings::restrictFileToOwner() const
{
    QFile file(m_store.fileName());
    if (file.exists() && (file.permissions() & ~(ownerOnly | QFileDevice::ReadUser | QFileDevice::WriteUser)))
        file.setPermissions(ownerOnly);
}
