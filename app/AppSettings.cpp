#include "app/AppSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString velkURLKey = QStringLiteral("velkURL");
const QString clientIDKey = QStringLiteral("clientID");
const QString clientSecretKey = QStringLiteral("clientSecret");

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace

AppSettings &AppSettings::instance()
{
    // Deliberately never destroyed: windows may still disconnect from it
    // while static objects are torn down at exit.
    static AppSettings *settings = new AppSettings;
    return *settings;
}

AppSettings::AppSettings() = default;

QString AppSettings::defaultVelkURL()
{
    return QStringLiteral("https://yourcompany.velk.example");
}

QString AppSettings::velkURL() const
{
    return m_store.value(velkURLKey, defaultVelkURL()).toString();
}

QString AppSettings::clientID() const
{
    return m_store.value(clientIDKey).toString();
}

QString AppSettings::clientSecret() const
{
    return m_store.value(clientSecretKey).toString();
}

void AppSettings::setVelkURL(const QString &value)
{
    if (m_store.contains(velkURLKey) && velkURL() == value)
        return;
    store(velkURLKey, value);
    emit velkURLChanged(value);
}

void AppSettings::setClientID(const QString &value)
{
    if (m_store.contains(clientIDKey) && clientID() == value)
        return;
    store(clientIDKey, value);
    emit clientIDChanged(value);
}

void AppSettings::setClientSecret(const QString &value)
{
    if (m_store.contains(clientSecretKey) && clientSecret() == value)
        return;
    store(clientSecretKey, value);
    emit clientSecretChanged(value);
}

QString AppSettings::fileName() const
{
    return m_store.fileName();
}

void AppSettings::store(const QString &key, const QString &value)
{
    // Create the file owner-only before the secret first goes into it; later
    // atomic saves keep the permissions of the file they replace.
    const QString path = m_store.fileName();
    if (!QFileInfo::exists(path)) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly, ownerOnly))
            qWarning("cannot create the settings file %s: %s", qPrintable(path), qPrintable(file.errorString()));
    }
    m_store.setValue(key, value);
    m_store.sync();
    if (m_store.status() != QSettings::NoError)
        qWarning("cannot write the settings file %s", qPrintable(path));
    restrictFileToOwner();
}

void AppSettings::restrictFileToOwner() const
{
    QFile file(m_store.fileName());
    if (file.exists() && (file.permissions() & ~(ownerOnly | QFileDevice::ReadUser | QFileDevice::WriteUser)))
        file.setPermissions(ownerOnly);
}
