#include "app/ContentView.h"

#include "app/AppSettings.h"
#include "app/Application.h"
#include "app/ElidedLabel.h"
#include "app/LogoView.h"
#include "app/StatusView.h"
#include "app/UploadProgressBar.h"
#include "run/UploadRun.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int columnWidth = 620;
constexpr int rowSpacing = 14;
constexpr int logoHeight = 80;
// However little room the screen leaves, the status line shows this many lines.
constexpr int minStatusLines = 3;

const QString noFolderText = QStringLiteral("No folder selected");

/** font scaled by factor, whether it is sized in points or in pixels. */
QFont scaledFont(QFont font, qreal factor)
{
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(qRound(font.pixelSize() * factor));
    return font;
}

QLineEdit *makeField(const QString &label, const QString &objectName, QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setObjectName(objectName);
    // The label shows inside the empty field; screen readers get it as the name.
    field->setPlaceholderText(label);
    field->setAccessibleName(label);
    return field;
}

/** A folder's path as shown and handed to the run: absolute, no trailing separator but for the root. */
QString normalizedFolder(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

ContentView::ContentView(FolderPicker &picker, QWidget *parent)
    : QWidget(parent)
    , m_picker(picker)
{
    setWindowTitle(tr("Velk Icon Uploader"));
    setAcceptDrops(true);
    buildLayout();
    connectSettings();

    auto *newWindow = new QAction(tr("New Window"), this);
    newWindow->setObjectName(QStringLiteral("newWindowAction"));
    newWindow->setShortcut(QKeySequence::New);
    connect(newWindow, &QAction::triggered, this, [this] { openWindow(m_picker); });

    auto *closeWindow = new QAction(tr("Close Window"), this);
    closeWindow->setObjectName(QStringLiteral("closeWindowAction"));
    closeWindow->setShortcuts(QKeySequence::Close); // Ctrl+W as well as Ctrl+F4
    connect(closeWindow, &QAction::triggered, this, &QWidget::close);

    auto *quit = new QAction(tr("Quit"), this);
    quit->setObjectName(QStringLiteral("quitAction"));
    // Qt's generic desktop theme has no binding for Quit; Ctrl+Q is the
    // one every desktop uses.
    const QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    quit->setShortcuts(quitKeys.isEmpty() ? QList<QKeySequence>{QKeySequence(Qt::CTRL | Qt::Key_Q)} : quitKeys);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    // No menu bar: the shortcuts work anywhere in the window, and a right
    // click on its background lists them.
    addActions({newWindow, closeWindow, quit});
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setStatus(QStringLiteral("Select a folder of icon images."));
    m_folderPathLabel->setFullText(noFolderText);
    updateUploadButton();
}

ContentView::~ContentView() = default;

ContentView *ContentView::openWindow(FolderPicker &picker)
{
    auto *window = new ContentView(picker);
    // Nothing else holds the window: a run still going on notices that the
    // window is gone and finishes without it.
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

void ContentView::buildLayout()
{
    const QFont captionFont = scaledFont(font(), 0.85);

    // The window is the column: 620 px wide, the rows inset by the style's
    // standard margin inside it, and as tall as its rows need, so a status
    // text that wraps makes the window taller (up to what the screen has).
    auto *outer = new QVBoxLayout(this);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *column = new QWidget(this);
    column->setObjectName(QStringLiteral("column"));
    column->setFixedWidth(columnWidth);
    outer->addWidget(column);
    m_column = column;

    auto *rows = new QVBoxLayout(column);
    rows->setSpacing(rowSpacing);
    m_rows = rows;

    auto *logo = new LogoView(applicationIcon(), logoHeight, column);
    logo->setObjectName(QStringLiteral("logo"));
    logo->setAccessibleName(tr("Velk Icon Uploader logo"));
    rows->addWidget(logo, 0, Qt::AlignLeft);

    auto *title = new QLabel(tr("Velk Icon Uploader"), column);
    title->setObjectName(QStringLiteral("title"));
    QFont titleFont = scaledFont(font(), 1.3);
    titleFont.setBold(true);
    title->setFont(titleFont);
    rows->addWidget(title);

    auto *description = new QLabel(
        tr("Upload PNG, JPG, JPEG, or GIF icons to Velk Pro. Images are converted to 512x512 PNG before upload."),
        column);
    description->setObjectName(QStringLiteral("description"));
    description->setFont(captionFont);
    description->setWordWrap(true);
    rows->addWidget(description);

    m_velkURLField = makeField(tr("Server URL"), QStringLiteral("velkURLField"), column);
    m_clientIDField = makeField(tr("API Client ID"), QStringLiteral("clientIDField"), column);
    m_clientSecretField = makeField(tr("API Client Secret"), QStringLiteral("clientSecretField"), column);
    m_clientSecretField->setEchoMode(QLineEdit::Password);
    for (QLineEdit *field : {m_velkURLField, m_clientIDField, m_clientSecretField}) {
        // A folder dropped on a field selects it; text drops still edit the field.
        field->installEventFilter(this);
        rows->addWidget(field);
    }

    auto *folderRow = new QHBoxLayout;
    m_chooseFolderButton = new QPushButton(tr("Choose Icons Folder"), column);
    m_chooseFolderButton->setObjectName(QStringLiteral("chooseFolderButton"));
    m_chooseFolderButton->setAutoDefault(true); // Return presses it when focused
    m_folderPathLabel = new ElidedLabel(column);
    m_folderPathLabel->setObjectName(QStringLiteral("folderPathLabel"));
    m_folderPathLabel->setFont(captionFont);
    m_folderPathLabel->setAccessibleDescription(tr("Icons folder"));
    folderRow->addWidget(m_chooseFolderButton);
    folderRow->addWidget(m_folderPathLabel, 1);
    rows->addLayout(folderRow);

    m_uploadButton = new QPushButton(column);
    m_uploadButton->setObjectName(QStringLiteral("uploadButton"));
    m_uploadButton->setAutoDefault(true);
    rows->addWidget(m_uploadButton, 0, Qt::AlignLeft);

    auto *separator = new QFrame(column);
    separator->setObjectName(QStringLiteral("separator"));
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    rows->addWidget(separator);

    m_statusView = new StatusView(column);
    m_statusView->setObjectName(QStringLiteral("statusView"));
    m_statusView->setFont(captionFont);
    m_statusView->setAccessibleName(tr("Status"));
    m_statusView->setFixedHeight(m_statusView->fontMetrics().lineSpacing());
    rows->addWidget(m_statusView);

    // Shown only while a run is on: busy until the files are counted, then
    // the files finished out of all.
    m_progressBar = new UploadProgressBar(column);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->hide();
    rows->addWidget(m_progressBar);

    // Shown after a run that wrote its report, until the next run starts.
    m_showReportButton = new QPushButton(tr("Show Report"), column);
    m_showReportButton->setObjectName(QStringLiteral("showReportButton"));
    m_showReportButton->setAutoDefault(true);
    m_showReportButton->hide();
    rows->addWidget(m_showReportButton, 0, Qt::AlignLeft);

    connect(m_chooseFolderButton, &QPushButton::clicked, this, &ContentView::chooseFolder);
    connect(m_uploadButton, &QPushButton::clicked, this, &ContentView::uploadIcons);
    connect(m_showReportButton, &QPushButton::clicked, this, &ContentView::showReport);

    setTabOrder(m_velkURLField, m_clientIDField);
    setTabOrder(m_clientIDField, m_clientSecretField);
    setTabOrder(m_clientSecretField, m_chooseFolderButton);
    setTabOrder(m_chooseFolderButton, m_uploadButton);
    setTabOrder(m_uploadButton, m_statusView);
    setTabOrder(m_statusView, m_showReportButton);
}

void ContentView::connectSettings()
{
    AppSettings &settings = AppSettings::instance();
    for (const AppSettings::Key key : {AppSettings::Key::VelkURL, AppSettings::Key::ClientID, AppSettings::Key::ClientSecret}) {
        QLineEdit *field = fieldFor(key);
        field->setText(settings.value(key));
        // Edits go to the store at once ...
        connect(field, &QLineEdit::textEdited, &settings,
                [&settings, key](const QString &value) { settings.setValue(key, value); });
    }
    // ... and come back to every window. The field being edited already
    // holds the value, so its cursor and selection stay untouched.
    connect(&settings, &AppSettings::valueChanged, this, [this](AppSettings::Key key, const QString &value) {
        QLineEdit *field = fieldFor(key);
        if (field->text() != value)
            field->setText(value);
        updateUploadButton();
    });
}

QLineEdit *ContentView::fieldFor(AppSettings::Key key) const
{
    switch (key) {
    case AppSettings::Key::VelkURL: return m_velkURLField;
    case AppSettings::Key::ClientID: return m_clientIDField;
    case AppSettings::Key::ClientSecret: return m_clientSecretField;
    }
    Q_UNREACHABLE();
}

QString ContentView::velkURL() const
{
    return AppSettings::instance().velkURL();
}

QString ContentView::clientID() const
{
    return AppSettings::instance().clientID();
}

QString ContentView::clientSecret() const
{
    return AppSettings::instance().clientSecret();
}

QString ContentView::selectedFolder() const
{
    return m_selectedFolder;
}

QString ContentView::status() const
{
    return m_statusView->text();
}

void ContentView::setStatus(const QString &status)
{
    m_statusView->setText(status);
    fitStatus();
}

void ContentView::setUploading(bool uploading)
{
    m_isUploading = uploading;
    if (uploading) {
        // A new run: busy until it has counted its files, and no report yet.
        m_progressBar->setRange(0, 0);
        m_reportPath.clear();
    }
    m_progressBar->setVisible(uploading);
    m_showReportButton->setVisible(!m_reportPath.isEmpty());
    updateUploadButton();
    fitStatus();
}

void ContentView::setProgress(int done, int total)
{
    m_progressBar->setRange(0, total);
    m_progressBar->setValue(done);
}

void ContentView::reportWritten(const QString &csvPath)
{
    m_reportPath = csvPath;
    m_showReportButton->setVisible(true);
    fitStatus();
}

void ContentView::showReport()
{
    if (!m_reportPath.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(m_reportPath));
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    fitStatus(); // the screen is known now
}

void ContentView::fitStatus()
{
    // Everything but the status line, at the column's width, as it stands.
    m_rows->invalidate();
    const int column = m_column->hasHeightForWidth() ? m_column->heightForWidth(columnWidth) : m_column->sizeHint().height();
    const int others = column - m_statusView->maximumHeight();
    const int frame = frameGeometry().height() - geometry().height();
    const int lineHeight = m_statusView->fontMetrics().lineSpacing();
    const int room = std::max(minStatusLines * lineHeight, screen()->availableGeometry().height() - frame - others);
    const QMargins margins = m_rows->contentsMargins();
    const int width = columnWidth - margins.left() - margins.right();
    m_statusView->setFixedHeight(std::max(lineHeight, m_statusView->heightFor(width, room)));
}

void ContentView::chooseFolder()
{
    const FolderPicker::Answer answer = m_picker.pickFolder(
        this, tr("Choose a folder containing icon images (PNG, JPG, JPEG, GIF)"));
    if (!answer.accepted)
        return;
    selectFolder(answer.folder);
}

QCoro::Task<> ContentView::uploadIcons()
{
    return ::uploadIcons(this, *this);
}

void ContentView::selectFolder(const QString &folder)
{
    m_selectedFolder = folder.isEmpty() ? QString() : normalizedFolder(folder);
    m_folderPathLabel->setFullText(m_selectedFolder.isEmpty() ? noFolderText : m_selectedFolder);

    QString name = QStringLiteral("Unknown");
    if (!m_selectedFolder.isEmpty())
        name = QDir(m_selectedFolder).isRoot() ? QDir::separator() : QFileInfo(m_selectedFolder).fileName();
    setStatus(QStringLiteral("Selected folder: ") + name);
    updateUploadButton();
}

void ContentView::updateUploadButton()
{
    // Empty means no characters at all: a value of spaces counts as filled.
    const AppSettings &settings = AppSettings::instance();
    const bool ready = !m_isUploading && !m_selectedFolder.isEmpty() && !settings.velkURL().isEmpty()
        && !settings.clientID().isEmpty() && !settings.clientSecret().isEmpty();
    m_uploadButton->setText(m_isUploading ? tr("Uploading...") : tr("Upload Icons"));
    m_uploadButton->setEnabled(ready);
}

QString ContentView::droppedFolder(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return {};
    const QList<QUrl> urls = mime->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return {};
    const QString path = urls.first().toLocalFile();
    return QFileInfo(path).isDir() ? normalizedFolder(path) : QString();
}

void ContentView::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedFolder(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ContentView::dragMoveEvent(QDragMoveEvent *event)
{
    if (!droppedFolder(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ContentView::dropEvent(QDropEvent *event)
{
    const QString folder = droppedFolder(event->mimeData());
    if (folder.isEmpty())
        return;
    event->acceptProposedAction();
    selectFolder(folder);
}

bool ContentView::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QString folder = droppedFolder(drop->mimeData());
        if (folder.isEmpty()) {
            if (!drop->mimeData()->hasUrls())
                break; // plain text: the field takes it as usual
            // Files, several items or remote URLs change nothing.
            drop->ignore();
            return true;
        }
        drop->acceptProposedAction();
        if (event->type() == QEvent::Drop)
            selectFolder(folder);
        return true;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
