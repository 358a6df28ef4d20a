#pragma once

#include <QObject>
#include <QSettings>
#include <QString>

/**
 * The three persisted settings, shared by every window of the process.
 *
 * Values live in the application's per-user QSettings store as plain strings
 * under "velkURL", "clientID" and "clientSecret". A key that holds no value
 * reads as its initial value, which is never written back by itself. Every
 * change is written and synced at once, and the file and our folder around
 * it are kept for their owner only, since the file holds the client secret in
 * plain text. Once the settings are read the process cannot dump core, so
 * that the secret does not land in a core file either.
 *
 * Windows listen to valueChanged so that an edit in one window shows in all
 * others at once.
 */
class AppSettings : public QObject
{
    Q_OBJECT

public:
    enum class Key { VelkURL, ClientID, ClientSecret };
    Q_ENUM(Key)

    /** The process-wide instance; made on first use, after the application's names are set. */
    static AppSettings &instance();

    /** What velkURL reads as while the store holds no value for it. */
    static QString defaultVelkURL();

    QString value(Key key) const;
    /** Stores value under key unless the store already holds it, and tells every window. */
    void setValue(Key key, const QString &value);

    QString velkURL() const { return value(Key::VelkURL); }
    QString clientID() const { return value(Key::ClientID); }
    QString clientSecret() const { return value(Key::ClientSecret); }

    /** The path of the settings file. */
    QString fileName() const;

    /** The folder chosen last in any window, kept between launches (empty before the first). */
    QString lastFolder() const;
    void setLastFolder(const QString &folder);

signals:
    void valueChanged(AppSettings::Key key, const QString &value);

private:
    AppSettings();

    /** Takes group and others' access away from the settings file and from our folder that holds it. */
    void restrictToOwner() const;
    void write(const QString &name, const QString &value);

    mutable QSettings m_store;
};
