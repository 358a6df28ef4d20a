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
 * Windows listen to the change signals so that an edit in one window shows in
 * all others at once.
 */
class AppSettings : public QObject
{
    Q_OBJECT

public:
    /** The process-wide instance; made on first use, after the application's names are set. */
    static AppSettings &instance();

    /** What velkURL reads as while the store holds no value for it. */
    static QString defaultVelkURL();

    QString velkURL() const;
    QString clientID() const;
    QString clientSecret() const;

    void setVelkURL(const QString &value);
    void setClientID(const QString &value);
    void setClientSecret(const QString &value);

    /** The path of the settings file. */
    QString fileName() const;

signals:
    void velkURLChanged(const QString &value);
    void clientIDChanged(const QString &value);
    void clientSecretChanged(const QString &value);

private:
    AppSettings();

    void store(const QString &key, const QString &value);
    void restrictFileToOwner() const;

    mutable QSettings m_store;
};
