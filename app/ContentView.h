#pragma once

#include "app/AppSettings.h"
#include "app/FolderPicker.h"
#include "run/UploadHost.h"

#include <QCoroTask>
#include <QPointer>
#include <QString>
#include <QWidget>

class ElidedLabel;
class QLineEdit;
class QMessageBox;
class QLayout;
class QMimeData;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class StatusMark;
class StatusView;
class StopRequest;

/**
 * The application's window: the server address and API credentials (shared
 * by all windows through AppSettings), the folder row, the upload button,
 * the status line with the mark of how the last run ended, and under it the
 * progress of a run with its Stop button and, after a run that wrote its
 * report, a button that opens it. Each window has its own chosen folder,
 * status text, busy flag, progress and report; the upload run it starts
 * writes all but the folder.
 *
 * Closing a window or quitting while a run is on asks first; stopping to
 * close lets the run end with its report, then closes.
 *
 * Widgets that tests and assistive tools reach carry object names:
 * "velkURLField", "clientIDField", "clientSecretField", "chooseFolderButton",
 * "folderPathLabel", "uploadButton", "statusMark", "statusView",
 * "progressBar", "stopButton", "showReportButton", the actions
 * "newWindowAction", "closeWindowAction", "quitAction" and "aboutAction",
 * and the dialogs "stopQuestion", "reportNotOpened" and "aboutBox".
 */
class ContentView : public QWidget, public UploadHost
{
    Q_OBJECT

public:
    /** A window whose folder button asks picker (the desktop's folder dialog unless given). */
    explicit ContentView(FolderPicker &picker = FolderPicker::dialog(), QWidget *parent = nullptr);
    ~ContentView() override;

    /** Opens a new top-level window that deletes itself when closed; New Window hands on its picker. */
    static ContentView *openWindow(FolderPicker &picker = FolderPicker::dialog());

    /**
     * Closes every window without asking: a window whose run is on stops it
     * and closes once it has ended, with its report written. What quitting
     * and the termination signals do.
     */
    static void stopAndCloseAll();

    QString velkURL() const override;
    QString clientID() const override;
    QString clientSecret() const override;
    QString selectedFolder() const override;

    QString status() const;
    bool isUploading() const { return m_isUploading; }

    void setStatus(const QString &status) override;
    void setUploading(bool uploading) override;
    void setProgress(int done, int total) override;
    void reportWritten(const QString &csvPath) override;
    void runStarted(StopRequest &stop) override;

public slots:
    /** Runs the folder chooser; OK selects the folder it reports, cancel changes nothing. */
    void chooseFolder();
    /** The upload run over this window; started by the upload button, never awaited. */
    QCoro::Task<> uploadIcons();
    /** Opens the last run's report with the desktop's application for CSV files, or says why it cannot. */
    void showReport();
    /** Takes a chosen folder: path text, status line and button follow, and the chooser starts there next. */
    void selectFolder(const QString &folder);

protected:
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildLayout();
    void connectSettings();
    QLineEdit *fieldFor(AppSettings::Key key) const;
    void updateUploadButton();
    /** The mark and colour of the status for how a run ended, if the status is an ending. */
    void showEnding();
    /** Asks whether to stop the run and close the window, or every window when quitting. */
    void askToStop(bool quitting);
    void updateStopQuestion();
    /** Quit: asks first when any run is on. */
    void quit();
    void stopRun();
    void stopAndClose();
    void reportNotOpened(const QString &path);
    void showAbout();
    /** Sizes the status line to its text, within the room the screen leaves below the other rows. */
    void fitStatus();

    /** The one local folder that mime carries, or the empty text when it carries anything else. */
    static QString droppedFolder(const QMimeData *mime);

    FolderPicker &m_picker;
    QLineEdit *m_velkURLField = nullptr;
    QLineEdit *m_clientIDField = nullptr;
    QLineEdit *m_clientSecretField = nullptr;
    QPushButton *m_chooseFolderButton = nullptr;
    ElidedLabel *m_folderPathLabel = nullptr;
    QPushButton *m_uploadButton = nullptr;
    QWidget *m_column = nullptr;
    QVBoxLayout *m_rows = nullptr;
    QLayout *m_statusRow = nullptr;
    StatusMark *m_statusMark = nullptr;
    StatusView *m_statusView = nullptr;
    QWidget *m_progressRow = nullptr;
    QProgressBar *m_progressBar = nullptr;
    QPushButton *m_stopButton = nullptr;
    QPushButton *m_showReportButton = nullptr;
    QPointer<QMessageBox> m_stopQuestion;
    bool m_stopQuestionQuits = false;

    QString m_selectedFolder;
    bool m_isUploading = false;
    QString m_reportPath;
    QPointer<StopRequest> m_stop; // the run's, while it is on
    bool m_closeAfterRun = false;
    bool m_stopFocusFell = false;
};
