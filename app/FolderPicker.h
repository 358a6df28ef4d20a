#pragma once

#include <QString>

#include <optional>

class QWidget;

/**
 * The modal folder chooser behind the "Choose Icons Folder" button. The
 * window asks the current picker, so tests can install one that answers
 * without showing a dialog.
 */
class FolderPicker
{
public:
    /** What the user did: OK with the folder the dialog reports (empty when it reports none), or cancel. */
    struct Answer
    {
        bool accepted = false;
        QString folder;
    };

    virtual ~FolderPicker() = default;

    /** Runs the chooser modally over parent, titled title, for one existing folder. */
    virtual Answer pickFolder(QWidget *parent, const QString &title) = 0;

    /** The picker in use: a QFileDialog unless one was installed. */
    static FolderPicker &current();
    /** Installs picker (not owned), or restores the QFileDialog one with nullptr. */
    static void install(FolderPicker *picker);
};

/** A picker that replays answers queued in advance; for tests and scripted runs. */
class ScriptedFolderPicker : public FolderPicker
{
public:
    void setNextFolder(const QString &folder);
    void setNextAcceptedWithoutFolder();
    void setNextCancel();

    Answer pickFolder(QWidget *parent, const QString &title) override;

    /** How many times the chooser was run, and the title it was last run with. */
    int timesShown() const { return m_timesShown; }
    QString lastTitle() const { return m_lastTitle; }

private:
    std::optional<Answer> m_next;
    int m_timesShown = 0;
    QString m_lastTitle;
};
