#include "app/ContentView.h"

#include "app/AppSettings.h"
#include "app/Application.h"
#include "app/ElidedLabel.h"
#include "app/LogoView.h"
#include "app/StatusView.h"
#include "app/UploadProgressBar.h"
#include "core/StopRequest.h"
#include "run/UploadRun.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

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

/** The folder the chooser opens in: the one chosen last, or the nearest that still exists, or home. */
QString chooserStart()
{
    QString folder = AppSettings::instance().lastFolder();
    while (!folder.isEmpty() && !QFileInfo(folder).isDir() && !QDir(folder).isRoot())
        folder = QFileInfo(folder).absolutePath();
    return QFileInfo(folder).isDir() ? folder : QDir::homePath();
}

/** Relative luminance of a colour, as the contrast rules of WCAG define it. */
qreal luminance(const QColor &colour)
{
    auto linear = [](qreal c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

qreal contrast(const QColor &a, const QColor &b)
{
    const qreal la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

/**
 * The red of error text on the palette's window colour: darker on a light
 * background and lighter on a dark one, until it reads as well as body text
 * should (a contrast of 4.5:1).
 */
QColor errorColour(const QPalette &palette)
{
    const QColor background = palette.color(QPalette::Window);
    const bool dark = luminance(background) < 0.18;
    int lightness = dark ? 150 : 110;
    QColor red = QColor::fromHsl(0, 200, lightness);
    while (contrast(red, background) < 4.5 && lightness > 0 && lightness < 255) {
        lightness += dark ? 5 : -5;
        red = QColor::fromHsl(0, 200, std::clamp(lightness, 0, 255));
    }
    return red;
}

QList<ContentView *> openWindows()
{
    QList<ContentView *> windows;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<ContentView *>(widget); window && window->isVisible())
            windows.append(window);
    }
    return windows;
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
    connect(quit, &QAction::triggered, this, &ContentView::quit);

    auto *separator = new QAction(this);
    separator->setSeparator(true);
    auto *about = new QAction(tr("About Velk Icon Uploader"), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &ContentView::showAbout);

    // No menu bar: the shortcuts work anywhere in the window, and a right
    // click on its background lists them.
    addActions({newWindow, closeWindow, quit, separator, about});
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setStatus(QStringLiteral("Select a folder of icon images."));
    m_folderPathLabel->setFullText(noFolderText);
    updateUploadButton();
}

ContentView::~ContentView() = default;

ContentView *ContentView::openWindow(FolderPicker &picker)
{
    auto *window = new ContentView(picker);
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

    // Every button has a mnemonic: Alt and its letter press it from anywhere
    // in the window, and never type that letter into a field.
    auto *folderRow = new QHBoxLayout;
    m_chooseFolderButton = new QPushButton(tr("&Choose Icons Folder"), column);
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

    // The status line, led by the mark of a run's ending when it shows one.
    auto *statusRow = new QHBoxLayout;
    statusRow->setSpacing(style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing));
    m_statusRow = statusRow;
    m_statusMark = new StatusMark(column);
    m_statusMark->setObjectName(QStringLiteral("statusMark"));
    m_statusView = new StatusView(column);
    m_statusView->setObjectName(QStringLiteral("statusView"));
    m_statusView->setFont(captionFont);
    m_statusView->setAccessibleName(tr("Status"));
    m_statusView->setFixedHeight(m_statusView->fontMetrics().lineSpacing());
    statusRow->addWidget(m_statusMark, 0, Qt::AlignTop);
    statusRow->addWidget(m_statusView, 1);
    rows->addLayout(statusRow);

    // Shown only while a run is on: busy until the files are counted, then
    // the files finished out of all, and the button that stops the run.
    m_progressRow = new QWidget(column);
    auto *progressRow = new QHBoxLayout(m_progressRow);
    progressRow->setContentsMargins(0, 0, 0, 0);
    m_progressBar = new UploadProgressBar(m_progressRow);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_stopButton = new QPushButton(tr("&Stop"), m_progressRow);
    m_stopButton->setObjectName(QStringLiteral("stopButton"));
    m_stopButton->setAutoDefault(true);
    progressRow->addWidget(m_progressBar, 1);
    progressRow->addWidget(m_stopButton);
    m_progressRow->hide();
    rows->addWidget(m_progressRow);

    // Shown after a run that wrote its report, until the next run starts.
    m_showReportButton = new QPushButton(tr("Show &Report"), column);
    m_showReportButton->setObjectName(QStringLiteral("showReportButton"));
    m_showReportButton->setAutoDefault(true);
    m_showReportButton->hide();
    rows->addWidget(m_showReportButton, 0, Qt::AlignLeft);

    connect(m_chooseFolderButton, &QPushButton::clicked, this, &ContentView::chooseFolder);
    connect(m_uploadButton, &QPushButton::clicked, this, &ContentView::uploadIcons);
    connect(m_showReportButton, &QPushButton::clicked, this, &ContentView::showReport);
    connect(m_stopButton, &QPushButton::clicked, this, &ContentView::stopRun);

    setTabOrder(m_velkURLField, m_clientIDField);
    setTabOrder(m_clientIDField, m_clientSecretField);
    setTabOrder(m_clientSecretField, m_chooseFolderButton);
    setTabOrder(m_chooseFolderButton, m_uploadButton);
    setTabOrder(m_uploadButton, m_stopButton);
    setTabOrder(m_stopButton, m_statusView);
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
    showEnding();
    fitStatus();
}

void ContentView::showEnding()
{
    const RunEnding ending = runEnding(m_statusView->text());
    // Text in the colour of errors; every other status in the window's own.
    QPalette palette;
    if (ending == RunEnding::Error) {
        palette = this->palette();
        palette.setColor(QPalette::Text, errorColour(palette));
    }
    m_statusView->setPalette(palette);

    QStyle::StandardPixmap icon = QStyle::SP_MessageBoxCritical;
    switch (ending) {
    case RunEnding::None: m_statusMark->hide(); return;
    case RunEnding::Complete: icon = QStyle::SP_DialogApplyButton; break;
    case RunEnding::Stopped: icon = QStyle::SP_MessageBoxInformation; break;
    case RunEnding::NothingToUpload: icon = QStyle::SP_MessageBoxWarning; break;
    case RunEnding::Error: icon = QStyle::SP_MessageBoxCritical; break;
    }
    const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    m_statusMark->mark(style()->standardIcon(icon, nullptr, this), side, m_statusView->text());
}

void ContentView::setUploading(bool uploading)
{
    // Focus on the button that started or stops the run follows the run.
    const bool runHasFocus = focusWidget() == m_uploadButton || focusWidget() == m_stopButton
        || (m_stopFocusFell && focusWidget() == m_statusView);
    m_stopFocusFell = false;
    m_isUploading = uploading;
    if (uploading) {
        // A new run: busy until it has counted its files, and no report yet.
        m_progressBar->setRange(0, 0);
        m_stopButton->setEnabled(true);
        m_reportPath.clear();
        m_progressRow->show();
        if (runHasFocus)
            m_stopButton->setFocus();
    }
    updateUploadButton();
    if (!uploading) {
        if (runHasFocus)
            m_uploadButton->setFocus();
        m_progressRow->hide();
        if (m_stopQuestion)
            m_stopQuestion->reject(); // nothing left to stop
        if (!isActiveWindow())
            QApplication::alert(this);
        if (m_closeAfterRun)
            QTimer::singleShot(0, this, &QWidget::close);
    }
    m_showReportButton->setVisible(!m_reportPath.isEmpty());
    fitStatus();
}

void ContentView::runStarted(StopRequest &stop)
{
    m_stop = &stop;
    connect(&stop, &StopRequest::requested, m_stopButton, [this] {
        // Focus falls from the disabled button to the status line; it comes back at the end.
        m_stopFocusFell = m_stopButton->hasFocus();
        m_stopButton->setEnabled(false);
    });
}

void ContentView::setProgress(int done, int total)
{
    m_progressBar->setRange(0, total);
    m_progressBar->setValue(done);
    if (m_stopQuestion)
        updateStopQuestion(); // counts that keep up with the run while the question waits
}

void ContentView::reportWritten(const QString &csvPath)
{
    m_reportPath = csvPath;
    m_showReportButton->setVisible(true);
    fitStatus();
}

void ContentView::showReport()
{
    if (m_reportPath.isEmpty())
        return;
    // xdg-open's exit status says whether a program took the file (Qt's
    // openUrl only says whether xdg-open started). Not the window's child:
    // closing the window must not end the program that shows the report.
    const QString path = m_reportPath;
    auto *opener = new QProcess(qApp);
    opener->setProgram(QStringLiteral("xdg-open"));
    opener->setArguments({path});
    opener->setStandardInputFile(QProcess::nullDevice());
    const QPointer<ContentView> window(this);
    auto failed = [window, path] {
        if (window)
            window->reportNotOpened(path);
    };
    connect(opener, &QProcess::finished, opener, [opener, failed](int code, QProcess::ExitStatus status) {
        opener->deleteLater();
        if (status != QProcess::NormalExit || code != 0)
            failed();
    });
    connect(opener, &QProcess::errorOccurred, opener, [opener, failed](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            opener->deleteLater();
            failed();
        }
    });
    opener->start();
}

void ContentView::reportNotOpened(const QString &path)
{
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Velk Icon Uploader"),
                                tr("The report could not be opened: no program for CSV files was found, or it "
                                   "failed.\n\nThe report is saved at:\n%1")
                                    .arg(path),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("reportNotOpened"));
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void ContentView::showAbout()
{
    auto *box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("aboutBox"));
    box->setWindowTitle(tr("About Velk Icon Uploader"));
    box->setIconPixmap(applicationIcon().pixmap(64, 64));
    box->setTextFormat(Qt::PlainText);
    box->setText(tr("Velk Icon Uploader %1").arg(QCoreApplication::applicationVersion()));
    box->setInformativeText(tr("Uploads a folder of icon images to a Velk Pro server."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void ContentView::closeEvent(QCloseEvent *event)
{
    if (!m_isUploading) {
        QWidget::closeEvent(event);
        return;
    }
    // The window stays while its run is on; it closes when the run ends.
    event->ignore();
    if (m_closeAfterRun)
        return;
    if (m_stop && m_stop->isRequested())
        m_closeAfterRun = true; // stopping already: nothing to ask
    else
        askToStop(false);
}

void ContentView::quit()
{
    const QList<ContentView *> windows = openWindows();
    if (std::any_of(windows.begin(), windows.end(), [](ContentView *w) { return w->isUploading(); }))
        askToStop(true);
    else
        stopAndCloseAll();
}

void ContentView::askToStop(bool quitting)
{
    if (m_stopQuestion) {
        m_stopQuestion->raise();
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Question, tr("Velk Icon Uploader"), QString(), QMessageBox::NoButton, this);
    m_stopQuestionQuits = quitting;
    box->setObjectName(QStringLiteral("stopQuestion"));
    box->setInformativeText(tr("Stopping finishes the icon on its way to the server and writes the report of the "
                               "icons uploaded so far."));
    QPushButton *keep = box->addButton(tr("&Keep Uploading"), QMessageBox::RejectRole);
    QPushButton *stop = box->addButton(quitting ? tr("Stop and &Quit") : tr("&Stop and Close"), QMessageBox::AcceptRole);
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    connect(box, &QMessageBox::finished, box, &QObject::deleteLater);
    connect(stop, &QPushButton::clicked, this, [this, quitting] { quitting ? stopAndCloseAll() : stopAndClose(); });
    m_stopQuestion = box;
    updateStopQuestion();
    box->open();
}

void ContentView::updateStopQuestion()
{
    int done = 0, total = 0, runs = 0;
    for (ContentView *window : m_stopQuestionQuits ? openWindows() : QList<ContentView *>{this}) {
        if (window->isUploading()) {
            ++runs;
            done += std::max(0, window->m_progressBar->value());
            total += window->m_progressBar->maximum();
        }
    }
    QString question = runs > 1 ? tr("Icons are still uploading in %1 windows").arg(runs) : tr("Icons are still uploading");
    if (total > 0)
        question += tr(" (%1 of %2 done)").arg(done).arg(total);
    m_stopQuestion->setText(question + QLatin1Char('.'));
}

void ContentView::stopAndClose()
{
    if (m_isUploading) {
        m_closeAfterRun = true;
        stopRun();
    } else {
        close();
    }
}

void ContentView::stopRun()
{
    if (m_stop)
        m_stop->request();
}

void ContentView::stopAndCloseAll()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible())
            continue;
        if (auto *window = qobject_cast<ContentView *>(widget))
            window->stopAndClose();
        else if (!widget->parentWidget())
            widget->close();
    }
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    fitStatus(); // the screen is known now
}

void ContentView::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    fitStatus(); // the room below the window has changed
}

void ContentView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        showEnding(); // a colour and an icon that suit the new look
}

void ContentView::fitStatus()
{
    // Everything but the status line, at the column's width, as it stands.
    m_statusRow->invalidate();
    m_rows->invalidate();
    const int column = m_column->hasHeightForWidth() ? m_column->heightForWidth(columnWidth) : m_column->sizeHint().height();
    const int others = column - m_statusView->maximumHeight();
    const QRect frame = frameGeometry();
    const int decoration = frame.height() - geometry().height();
    // The room from the window's top to the bottom of the screen's usable area.
    const QRect available = screen()->availableGeometry();
    const int top = isVisible() ? std::clamp(frame.top(), available.top(), available.bottom()) : available.top();
    const int room = available.bottom() + 1 - top - decoration - others;
    const int lineHeight = m_statusView->fontMetrics().lineSpacing();
    const QMargins margins = m_rows->contentsMargins();
    int width = columnWidth - margins.left() - margins.right();
    int least = lineHeight;
    if (m_statusMark->isVisibleTo(this)) {
        width -= m_statusMark->width() + m_statusRow->spacing();
        least = std::max(least, m_statusMark->height());
    }
    const int height = std::max(least, m_statusView->heightFor(width, std::max(minStatusLines * lineHeight, room)));
    m_statusView->setFixedHeight(height);
    // Where even the fewest lines do not fit below the window, the window
    // moves up as far as they need.
    const int bottom = top + decoration + others + height;
    if (isVisible() && bottom > available.bottom() + 1)
        move(x(), std::max(available.top(), frame.top() - (bottom - available.bottom() - 1)));
}

void ContentView::chooseFolder()
{
    const FolderPicker::Answer answer = m_picker.pickFolder(
        this, tr("Choose a folder containing icon images (PNG, JPG, JPEG, GIF)"), chooserStart());
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
    if (!m_selectedFolder.isEmpty())
        AppSettings::instance().setLastFolder(m_selectedFolder);

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
    m_uploadButton->setText(m_isUploading ? tr("Uploading...") : tr("&Upload Icons"));
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
