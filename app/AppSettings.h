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
 * change is written and synced at once, and the file is kept readable and
 * writable by its owner only, since it holds the client secret in plain text.
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

signals:
    void valueChanged(AppSettings::Key key, const QString &value);

private:
    AppSettings();

    void restrictFileToOwner() const;

    mutable QSettings m_store;
};
