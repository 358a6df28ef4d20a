#pragma once

#include <QString>

class QWidget;

/**
 * The modal folder chooser behind the "Choose Icons Folder" button. A window
 * is handed the picker it asks, so tests can hand in one that answers
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

    /** Runs the chooser modally over parent, titled title, opened in startFolder, for one existing folder. */
    virtual Answer pickFolder(QWidget *parent, const QString &title, const QString &startFolder) = 0;

    /** The chooser of the desktop: a QFileDialog for folders only. */
    static FolderPicker &dialog();
};
