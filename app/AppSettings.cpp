#include "app/AppSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

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

const QString lastFolderKey = QStringLiteral("lastFolder");

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions ownerOnlyFolder = ownerOnly | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions groupAndOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup
    | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

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
    // A file or folder left open to others (by an older version, a copy, a
    // restore) is tightened before any value, the secret above all, is
    // handed out.
    restrictToOwner(); // at start-up
#ifdef Q_OS_LINUX
    // From here on the secret is in memory: no core file may carry it.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
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
    write(name, value);
    emit valueChanged(key, value);
}

QString AppSettings::lastFolder() const
{
    return m_store.value(lastFolderKey).toString();
}

void AppSettings::setLastFolder(const QString &folder)
{
    if (lastFolder() != folder)
        write(lastFolderKey, folder);
}

void AppSettings::write(const QString &name, const QString &value)
{
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
    restrictToOwner();
}

QString AppSettings::fileName() const
{
    return m_store.fileName();
}

void AppSettings::restrictToOwner() const
{
    const QFileInfo file(m_store.fileName());
    // Our folder is the one named for the organization; the folder above it
    // (~/.config) is shared with every other program and stays as it is.
    const QFileInfo folder(file.absolutePath());
    const QString ours = QCoreApplication::organizationName();
    if (!ours.isEmpty() && folder.fileName() == ours && folder.isDir() && (folder.permissions() & groupAndOthers))
        QFile::setPermissions(folder.absoluteFilePath(), ownerOnlyFolder);
    if (file.exists() && (file.permissions() & groupAndOthers))
        QFile::setPermissions(file.absoluteFilePath(), ownerOnly);
}
