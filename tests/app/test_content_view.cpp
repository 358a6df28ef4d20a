#include "app/AppSettings.h"
#include "app/Application.h"
#include "app/ContentView.h"
#include "app/ElidedLabel.h"
#include "tests/support/ScriptedFolderPicker.h"
#include "tools/stub-server/StubServer.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <span>

#include <sys/stat.h>

namespace {

const QString placeholderURL = QStringLiteral("https://yourcompany.velk.example");
const QString initialStatus = QStringLiteral("Select a folder of icon images.");

QtMessageHandler qtTestHandler = nullptr;

/** The offscreen platform warns each time the fixed-size window sets its size hints; that is expected noise. */
void dropSizeHintWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    qtTestHandler(type, context, message);
}

/** Replaces a field's text the way a user does, so that textEdited fires. */
void typeInto(QLineEdit *field, const QString &text)
{
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
}

int fileMode(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}

/** A mime payload like a file manager's drag of the given URLs. */
QMimeData *urlDrag(const QList<QUrl> &urls)
{
    auto *mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

/** Drags mime over target and drops it there; returns whether the drop was accepted. */
bool dropOn(QWidget *target, QMimeData *mime)
{
    const QPoint pos = target->rect().center();
    QDragEnterEvent enter(pos, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) {
        delete mime;
        return false;
    }
    QDropEvent drop(QPointF(pos), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    delete mime;
    return drop.isAccepted();
}

} // namespace

class TestContentView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstLaunch();
    void enablementFollowsEachValue_data();
    void enablementFollowsEachValue();
    void busyWhileUploading();
    void chooser_data();
    void chooser();
    void fileDialogAnswers();
    void longPathIsElidedInTheMiddle();
    void statusIsPlainTextAndWraps();
    void settingsAreWrittenAtOnceAndSurviveRestart();
    void clearedServerURLStaysCleared();
    void windowsShareSettingsButNotFolderOrStatus();
    void settingsFileIsOwnerOnly();
    void dragAndDrop_data();
    void dragAndDrop();
    void accessibleNamesAndTabOrder();
    void keyboardPressesButtons();
    void newWindowActionAndCloseDeletes();
    void uploadButtonRunsAnUpload();
    void closingDuringARunIsSafe();
    void iconResources();

private:
    ContentView *newWindow();
    QLineEdit *field(ContentView *view, const char *name);
    QPushButton *button(ContentView *view, const char *name);
    ElidedLabel *pathLabel(ContentView *view);
    QLabel *statusLabel(ContentView *view);
    /** Fills the three settings and chooses m_icons: the upload button becomes enabled. */
    void makeReady(ContentView *view);

    QTemporaryDir m_configDir;
    QTemporaryDir m_homeDir;
    QTemporaryDir m_folders;
    QString m_icons;
    testsupport::ScriptedFolderPicker m_picker;
};

void TestContentView::initTestCase()
{
    QVERIFY(m_configDir.isValid());
    qtTestHandler = qInstallMessageHandler(dropSizeHintWarnings);
    // Never the user's settings: the store lives in a temporary directory.
    QCoreApplication::setOrganizationName(QStringLiteral("VelkTest"));
    QCoreApplication::setApplicationName(QStringLiteral("test_content_view"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_configDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_configDir.path());
    QVERIFY(AppSettings::instance().fileName().startsWith(m_configDir.path()));
    // A run that succeeds writes its report under the home directory.
    qputenv("HOME", QFile::encodeName(m_homeDir.path()));
    QVERIFY(QDir(m_homeDir.path()).mkpath(QStringLiteral("Desktop")));

    QVERIFY(QDir(m_folders.path()).mkpath(QStringLiteral("Icons")));
    m_icons = m_folders.filePath(QStringLiteral("Icons"));
}

void TestContentView::init()
{
    QSettings store;
    store.clear();
    store.sync();
    QFile::remove(store.fileName());
}

void TestContentView::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        delete qobject_cast<ContentView *>(widget);
}

ContentView *TestContentView::newWindow()
{
    ContentView *view = ContentView::openWindow(m_picker);
    [&] { QVERIFY(QTest::qWaitForWindowExposed(view)); }();
    return view;
}

QLineEdit *TestContentView::field(ContentView *view, const char *name)
{
    auto *result = view->findChild<QLineEdit *>(QLatin1String(name));
    Q_ASSERT(result);
    return result;
}

QPushButton *TestContentView::button(ContentView *view, const char *name)
{
    auto *result = view->findChild<QPushButton *>(QLatin1String(name));
    Q_ASSERT(result);
    return result;
}

ElidedLabel *TestContentView::pathLabel(ContentView *view)
{
    return view->findChild<ElidedLabel *>(QStringLiteral("folderPathLabel"));
}

QLabel *TestContentView::statusLabel(ContentView *view)
{
    return view->findChild<QLabel *>(QStringLiteral("statusLabel"));
}

void TestContentView::makeReady(ContentView *view)
{
    typeInto(field(view, "clientIDField"), QStringLiteral("id"));
    typeInto(field(view, "clientSecretField"), QStringLiteral("secret"));
    m_picker.setNextFolder(m_icons);
    view->chooseFolder();
}

void TestContentView::firstLaunch()
{
    ContentView *view = newWindow();
    QCOMPARE(view->windowTitle(), QStringLiteral("Velk Icon Uploader"));

    // The placeholder address is the field's value, not a hint.
    QCOMPARE(field(view, "velkURLField")->text(), placeholderURL);
    QCOMPARE(field(view, "clientIDField")->text(), QString());
    QCOMPARE(field(view, "clientSecretField")->text(), QString());
    QCOMPARE(field(view, "clientSecretField")->echoMode(), QLineEdit::Password);
    QCOMPARE(field(view, "clientIDField")->placeholderText(), QStringLiteral("API Client ID"));
    QCOMPARE(field(view, "clientSecretField")->placeholderText(), QStringLiteral("API Client Secret"));

    QCOMPARE(pathLabel(view)->text(), QStringLiteral("No folder selected"));
    QCOMPARE(view->selectedFolder(), QString());
    QCOMPARE(statusLabel(view)->text(), initialStatus);
    QVERIFY(!view->isUploading());
    QCOMPARE(button(view, "uploadButton")->text(), QStringLiteral("Upload Icons"));
    QVERIFY(!button(view, "uploadButton")->isEnabled());

    // The column is 620 wide inside the window's margins.
    QCOMPARE(view->findChild<QWidget *>(QStringLiteral("column"))->width(), 620);
    QCOMPARE(view->findChild<QWidget *>(QStringLiteral("logo"))->height(), 80);

    // Reading the initial value does not store it.
    QVERIFY(!QSettings().contains(QStringLiteral("velkURL")));
}

void TestContentView::enablementFollowsEachValue_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("secret");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("all set") << placeholderURL << "id" << "secret" << true << true;
    QTest::newRow("no folder") << placeholderURL << "id" << "secret" << false << false;
    QTest::newRow("empty url") << "" << "id" << "secret" << true << false;
    QTest::newRow("empty id") << placeholderURL << "" << "secret" << true << false;
    QTest::newRow("empty secret") << placeholderURL << "id" << "" << true << false;
    QTest::newRow("spaces count as filled") << " " << "  " << " " << true << true;
}

void TestContentView::enablementFollowsEachValue()
{
    QFETCH(QString, url);
    QFETCH(QString, id);
    QFETCH(QString, secret);
    QFETCH(bool, folder);
    QFETCH(bool, enabled);

    ContentView *view = newWindow();
    makeReady(view);
    QVERIFY(button(view, "uploadButton")->isEnabled());

    typeInto(field(view, "velkURLField"), url);
    typeInto(field(view, "clientIDField"), id);
    typeInto(field(view, "clientSecretField"), secret);
    if (!folder) {
        m_picker.setNextAcceptedWithoutFolder();
        view->chooseFolder();
    }
    QCOMPARE(button(view, "uploadButton")->isEnabled(), enabled);
    QCOMPARE(view->velkURL(), url);
    QCOMPARE(view->clientID(), id);
    QCOMPARE(view->clientSecret(), secret);

    // Filling the value back in enables it again.
    typeInto(field(view, "velkURLField"), placeholderURL);
    typeInto(field(view, "clientIDField"), QStringLiteral("id"));
    typeInto(field(view, "clientSecretField"), QStringLiteral("secret"));
    m_picker.setNextFolder(m_icons);
    view->chooseFolder();
    QVERIFY(button(view, "uploadButton")->isEnabled());
}

void TestContentView::busyWhileUploading()
{
    ContentView *view = newWindow();
    makeReady(view);
    QPushButton *upload = button(view, "uploadButton");

    view->setUploading(true);
    QCOMPARE(upload->text(), QStringLiteral("Uploading..."));
    QVERIFY(!upload->isEnabled());
    // Fields and the folder button stay usable, and edits do not re-enable the button.
    for (const char *name : {"velkURLField", "clientIDField", "clientSecretField"})
        QVERIFY(field(view, name)->isEnabled());
    QVERIFY(button(view, "chooseFolderButton")->isEnabled());
    typeInto(field(view, "clientIDField"), QStringLiteral("other"));
    QVERIFY(!upload->isEnabled());
    QCOMPARE(upload->text(), QStringLiteral("Uploading..."));

    view->setUploading(false);
    QCOMPARE(upload->text(), QStringLiteral("Upload Icons"));
    QVERIFY(upload->isEnabled());

    // The label follows the flag only, also when the button is disabled for another reason.
    typeInto(field(view, "clientIDField"), QString());
    view->setUploading(true);
    QCOMPARE(upload->text(), QStringLiteral("Uploading..."));
    view->setUploading(false);
    QCOMPARE(upload->text(), QStringLiteral("Upload Icons"));
    QVERIFY(!upload->isEnabled());
}

void TestContentView::chooser_data()
{
    // Each answer is "ok:PATH", "ok:" (OK with no folder reported) or "cancel".
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("folder"); // expected; "ICONS" stands for the Icons folder
    QTest::addColumn<QString>("pathText");
    QTest::addColumn<QString>("status");

    const QString selectedIcons = QStringLiteral("Selected folder: Icons");
    QTest::newRow("Icons") << QStringList{"ok:ICONS"} << "ICONS" << "ICONS" << selectedIcons;
    QTest::newRow("trailing separator dropped") << QStringList{"ok:ICONS/"} << "ICONS" << "ICONS" << selectedIcons;
    QTest::newRow("root") << QStringList{"ok:/"} << "/" << "/" << "Selected folder: /";
    QTest::newRow("ok without folder") << QStringList{"ok:"} << "" << "No folder selected"
                                       << "Selected folder: Unknown";
    QTest::newRow("cancel first") << QStringList{"cancel"} << "" << "No folder selected" << initialStatus;
    QTest::newRow("cancel keeps choice") << QStringList{"ok:ICONS", "cancel"} << "ICONS" << "ICONS" << selectedIcons;
    QTest::newRow("choice replaces") << QStringList{"ok:/", "ok:ICONS"} << "ICONS" << "ICONS" << selectedIcons;
    QTest::newRow("none after choice") << QStringList{"ok:ICONS", "ok:"} << "" << "No folder selected"
                                       << "Selected folder: Unknown";
}

void TestContentView::chooser()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, folder);
    QFETCH(QString, pathText);
    QFETCH(QString, status);
    folder.replace(QStringLiteral("ICONS"), m_icons);
    pathText.replace(QStringLiteral("ICONS"), m_icons);

    ContentView *view = newWindow();
    const int shownBefore = m_picker.timesShown();
    for (QString answer : answers) {
        answer.replace(QStringLiteral("ICONS"), m_icons);
        if (answer == QStringLiteral("cancel"))
            m_picker.setNextCancel();
        else if (answer == QStringLiteral("ok:"))
            m_picker.setNextAcceptedWithoutFolder();
        else
            m_picker.setNextFolder(answer.mid(3));
        QTest::mouseClick(button(view, "chooseFolderButton"), Qt::LeftButton);
    }
    QCOMPARE(m_picker.timesShown() - shownBefore, answers.size());
    QCOMPARE(m_picker.lastTitle(), QStringLiteral("Choose a folder containing icon images (PNG, JPG, JPEG, GIF)"));

    QCOMPARE(view->selectedFolder(), folder);
    QCOMPARE(pathLabel(view)->fullText(), pathText);
    QCOMPARE(pathLabel(view)->text(), pathText); // short enough to show whole
    QCOMPARE(pathLabel(view)->toolTip(), pathText);
    QCOMPARE(view->status(), status);
    QCOMPARE(statusLabel(view)->text(), status);
}

void TestContentView::fileDialogAnswers()
{
    // The real chooser: a modal folders-only dialog; OK takes its folder, cancel nothing.
    ContentView *view = ContentView::openWindow();
    QString title;
    bool foldersOnly = false;
    const auto answer = [&](bool accept, const QString &folder) {
        QTimer::singleShot(0, this, [&, accept, folder] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            title = dialog->windowTitle();
            foldersOnly = dialog->fileMode() == QFileDialog::Directory && dialog->testOption(QFileDialog::ShowDirsOnly);
            dialog->setDirectory(QFileInfo(folder).absolutePath());
            dialog->selectFile(folder);
            QDialog *asDialog = dialog;
            accept ? asDialog->accept() : asDialog->reject();
        });
    };
    answer(true, m_icons);
    view->chooseFolder();
    answer(false, m_folders.path());
    view->chooseFolder();

    QCOMPARE(title, QStringLiteral("Choose a folder containing icon images (PNG, JPG, JPEG, GIF)"));
    QVERIFY(foldersOnly);
    QCOMPARE(view->selectedFolder(), m_icons);
    QCOMPARE(view->status(), QStringLiteral("Selected folder: Icons"));
}

void TestContentView::longPathIsElidedInTheMiddle()
{
    ContentView *view = newWindow();
    const QString longPath = QStringLiteral("/beginning-of-the-path/") + QStringLiteral("deep/").repeated(60)
        + QStringLiteral("Last Folder");
    const int windowWidth = view->width();
    m_picker.setNextFolder(longPath);
    view->chooseFolder();
    QCoreApplication::processEvents();

    ElidedLabel *label = pathLabel(view);
    QCOMPARE(label->fullText(), longPath);
    QCOMPARE(label->toolTip(), longPath);
    QVERIFY(label->text().contains(QChar(0x2026)));
    QVERIFY(label->text().startsWith(QStringLiteral("/beginning")));
    QVERIFY(label->text().endsWith(QStringLiteral("Last Folder")));
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
    QCOMPARE(view->width(), windowWidth);
    QCOMPARE(view->status(), QStringLiteral("Selected folder: Last Folder"));

    // The elision follows the label's width.
    label->resize(label->width() / 2, label->height());
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
    QVERIFY(label->text().endsWith(QStringLiteral("Folder")));
}

void TestContentView::statusIsPlainTextAndWraps()
{
    ContentView *view = newWindow();
    QLabel *label = statusLabel(view);
    const QSize before = view->size();

    // Server bodies reach the status line; markup in them shows as typed.
    const QString markup = QStringLiteral("Error: Token request failed with status 401. <b>denied</b> <img src=x>");
    view->setStatus(markup);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), markup);
    QCOMPARE(pathLabel(view)->textFormat(), Qt::PlainText);

    const QString longStatus = QStringLiteral("Error: ") + QStringLiteral("something went wrong ").repeated(40);
    view->setStatus(longStatus);
    QTRY_VERIFY(view->height() > before.height());
    QCOMPARE(view->width(), before.width());
    QCOMPARE(label->width(), 620);

    view->setStatus(initialStatus);
    QTRY_COMPARE(view->height(), before.height());
}

void TestContentView::settingsAreWrittenAtOnceAndSurviveRestart()
{
    ContentView *view = newWindow();
    typeInto(field(view, "velkURLField"), QStringLiteral("https://icons.velk.example/"));
    typeInto(field(view, "clientIDField"), QStringLiteral("my id"));
    typeInto(field(view, "clientSecretField"), QStringLiteral("s3cr=t@\"x"));
    m_picker.setNextFolder(m_icons);
    view->chooseFolder();

    // On disk at once: read a copy of the file, away from this process's cache.
    const QString copy = m_folders.filePath(QStringLiteral("copy.conf"));
    QFile::remove(copy);
    QVERIFY(QFile::copy(AppSettings::instance().fileName(), copy));
    QSettings onDisk(copy, QSettings::IniFormat);
    QCOMPARE(onDisk.value(QStringLiteral("velkURL")).toString(), QStringLiteral("https://icons.velk.example/"));
    QCOMPARE(onDisk.value(QStringLiteral("clientID")).toString(), QStringLiteral("my id"));
    QCOMPARE(onDisk.value(QStringLiteral("clientSecret")).toString(), QStringLiteral("s3cr=t@\"x"));

    // A new window after the old one is gone reads them; folder and status start afresh.
    view->close();
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty() || !qobject_cast<ContentView *>(QApplication::topLevelWidgets().first()));
    ContentView *again = newWindow();
    QCOMPARE(field(again, "velkURLField")->text(), QStringLiteral("https://icons.velk.example/"));
    QCOMPARE(field(again, "clientIDField")->text(), QStringLiteral("my id"));
    QCOMPARE(field(again, "clientSecretField")->text(), QStringLiteral("s3cr=t@\"x"));
    QCOMPARE(again->selectedFolder(), QString());
    QCOMPARE(again->status(), initialStatus);
    QVERIFY(!button(again, "uploadButton")->isEnabled());
}

void TestContentView::clearedServerURLStaysCleared()
{
    ContentView *view = newWindow();
    typeInto(field(view, "velkURLField"), QString());
    delete view;
    ContentView *again = newWindow();
    // An empty stored value is a value: the placeholder does not come back.
    QCOMPARE(field(again, "velkURLField")->text(), QString());
    QVERIFY(QSettings().contains(QStringLiteral("velkURL")));
}

void TestContentView::windowsShareSettingsButNotFolderOrStatus()
{
    ContentView *first = newWindow();
    ContentView *second = newWindow();
    makeReady(first);
    QCOMPARE(field(second, "clientIDField")->text(), QStringLiteral("id"));
    QCOMPARE(field(second, "clientSecretField")->text(), QStringLiteral("secret"));
    QCOMPARE(second->selectedFolder(), QString());
    QCOMPARE(second->status(), initialStatus);
    QVERIFY(!button(second, "uploadButton")->isEnabled());

    m_picker.setNextFolder(QStringLiteral("/"));
    second->chooseFolder();
    QVERIFY(button(second, "uploadButton")->isEnabled());
    QCOMPARE(first->status(), QStringLiteral("Selected folder: Icons"));

    // An edit in the middle of one field shows in the other window and keeps the editor's cursor.
    QLineEdit *id = field(first, "clientIDField");
    id->setCursorPosition(1);
    QTest::keyClicks(id, QStringLiteral("X"));
    QCOMPARE(id->text(), QStringLiteral("iXd"));
    QCOMPARE(id->cursorPosition(), 2);
    QCOMPARE(field(second, "clientIDField")->text(), QStringLiteral("iXd"));

    // Clearing a setting in one window disables both buttons.
    typeInto(field(second, "clientSecretField"), QString());
    QCOMPARE(field(first, "clientSecretField")->text(), QString());
    QVERIFY(!button(first, "uploadButton")->isEnabled());
    QVERIFY(!button(second, "uploadButton")->isEnabled());

    // The busy flag is per window.
    typeInto(field(second, "clientSecretField"), QStringLiteral("s"));
    first->setUploading(true);
    QVERIFY(!button(first, "uploadButton")->isEnabled());
    QVERIFY(button(second, "uploadButton")->isEnabled());
    first->setUploading(false);
}

void TestContentView::settingsFileIsOwnerOnly()
{
    const QString path = AppSettings::instance().fileName();
    ContentView *view = newWindow();
    typeInto(field(view, "clientSecretField"), QStringLiteral("secret"));
    QCOMPARE(fileMode(path), 0600);

    // A file left world-readable by an older version is tightened at the next write.
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    QCOMPARE(fileMode(path), 0644);
    typeInto(field(view, "clientIDField"), QStringLiteral("id"));
    QCOMPARE(fileMode(path), 0600);
    typeInto(field(view, "clientIDField"), QStringLiteral("id2"));
    QCOMPARE(fileMode(path), 0600);
}

void TestContentView::dragAndDrop_data()
{
    QTest::addColumn<QStringList>("items"); // "ICONS", "FILE", or a URL
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("selects");

    QTest::newRow("folder on window") << QStringList{"ICONS"} << "column" << true;
    QTest::newRow("folder on status") << QStringList{"ICONS"} << "statusLabel" << true;
    QTest::newRow("folder on field") << QStringList{"ICONS"} << "clientIDField" << true;
    QTest::newRow("file") << QStringList{"FILE"} << "column" << false;
    QTest::newRow("file on field") << QStringList{"FILE"} << "clientIDField" << false;
    QTest::newRow("two folders") << QStringList{"ICONS", "ICONS"} << "column" << false;
    QTest::newRow("folder and file") << QStringList{"ICONS", "FILE"} << "column" << false;
    QTest::newRow("remote url") << QStringList{"https://icons.velk.example/Icons/"} << "column" << false;
    QTest::newRow("missing folder") << QStringList{"file:///no/such/folder"} << "column" << false;
}

void TestContentView::dragAndDrop()
{
    QFETCH(QStringList, items);
    QFETCH(QString, target);
    QFETCH(bool, selects);

    const QString file = m_folders.filePath(QStringLiteral("icon.png"));
    QFile(file).open(QIODevice::WriteOnly);
    QList<QUrl> urls;
    for (const QString &item : items) {
        if (item == QStringLiteral("ICONS"))
            urls.append(QUrl::fromLocalFile(m_icons + QLatin1Char('/')));
        else if (item == QStringLiteral("FILE"))
            urls.append(QUrl::fromLocalFile(file));
        else
            urls.append(QUrl(item));
    }

    ContentView *view = newWindow();
    typeInto(field(view, "clientIDField"), QStringLiteral("id"));
    view->setUploading(true); // dropping works during a run too
    QWidget *targetWidget = target == QStringLiteral("column") ? view : view->findChild<QWidget *>(target);
    QVERIFY(targetWidget);

    QCOMPARE(dropOn(targetWidget, urlDrag(urls)), selects);
    QCOMPARE(field(view, "clientIDField")->text(), QStringLiteral("id"));
    if (selects) {
        QCOMPARE(view->selectedFolder(), m_icons);
        QCOMPARE(pathLabel(view)->fullText(), m_icons);
        QCOMPARE(view->status(), QStringLiteral("Selected folder: Icons"));
    } else {
        QCOMPARE(view->selectedFolder(), QString());
        QCOMPARE(pathLabel(view)->fullText(), QStringLiteral("No folder selected"));
        QCOMPARE(view->status(), initialStatus);
    }
}

void TestContentView::accessibleNamesAndTabOrder()
{
    ContentView *view = newWindow();
    makeReady(view);
    const QList<std::pair<const char *, QString>> names = {
        {"velkURLField", QStringLiteral("Server URL")},
        {"clientIDField", QStringLiteral("API Client ID")},
        {"clientSecretField", QStringLiteral("API Client Secret")},
        {"chooseFolderButton", QStringLiteral("Choose Icons Folder")},
        {"uploadButton", QStringLiteral("Upload Icons")},
        {"folderPathLabel", m_icons},
        {"statusLabel", QStringLiteral("Selected folder: Icons")},
    };
    for (const auto &[name, expected] : names) {
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(view->findChild<QWidget *>(name));
        QVERIFY2(accessible, name);
        QCOMPARE(accessible->text(QAccessible::Name), expected);
    }
    // Field names are real names, not placeholders: they stay when the field has text.
    QCOMPARE(QAccessible::queryAccessibleInterface(field(view, "clientIDField"))->text(QAccessible::Name),
             QStringLiteral("API Client ID"));

    // Tab walks the rows top to bottom.
    QWidget *expectedOrder[] = {field(view, "velkURLField"), field(view, "clientIDField"),
                                field(view, "clientSecretField"), button(view, "chooseFolderButton"),
                                button(view, "uploadButton"), statusLabel(view)};
    QWidget *current = expectedOrder[0];
    for (QWidget *next : std::span(expectedOrder).subspan(1)) {
        do {
            current = current->nextInFocusChain();
        } while (current->focusPolicy() == Qt::NoFocus || !current->isEnabled() || !current->isVisible());
        QCOMPARE(current->objectName(), next->objectName());
    }
}

void TestContentView::keyboardPressesButtons()
{
    ContentView *view = newWindow();
    QPushButton *choose = button(view, "chooseFolderButton");
    const int shown = m_picker.timesShown();
    m_picker.setNextFolder(m_icons);
    QTest::keyClick(choose, Qt::Key_Return);
    QCOMPARE(m_picker.timesShown(), shown + 1);
    m_picker.setNextCancel();
    QTest::keyClick(choose, Qt::Key_Space);
    QCOMPARE(m_picker.timesShown(), shown + 2);
    QCOMPARE(view->selectedFolder(), m_icons);

    // Ctrl+N opens a window from the keyboard.
    const int windows = int(QApplication::topLevelWidgets().size());
    QTest::keyClick(view, Qt::Key_N, Qt::ControlModifier);
    QTRY_COMPARE(int(QApplication::topLevelWidgets().size()), windows + 1);
}

void TestContentView::newWindowActionAndCloseDeletes()
{
    ContentView *view = newWindow();
    auto *action = view->findChild<QAction *>(QStringLiteral("newWindowAction"));
    QVERIFY(action);
    QCOMPARE(action->shortcut(), QKeySequence(QKeySequence::New));
    action->trigger();

    ContentView *other = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *candidate = qobject_cast<ContentView *>(widget); candidate && candidate != view)
            other = candidate;
    }
    QVERIFY(other);
    QVERIFY(other->isVisible());
    QCOMPARE(other->windowTitle(), QStringLiteral("Velk Icon Uploader"));

    QPointer<ContentView> watch(other);
    other->close();
    QTRY_VERIFY(watch.isNull());
    QVERIFY(view->isVisible());
}

void TestContentView::uploadButtonRunsAnUpload()
{
    StubServer server;
    QVERIFY(server.listen());
    QTemporaryDir images;
    QImage image(8, 8, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    QVERIFY(image.save(images.filePath(QStringLiteral("one.png"))));

    ContentView *view = newWindow();
    typeInto(field(view, "velkURLField"), server.urlText());
    typeInto(field(view, "clientIDField"), QStringLiteral("id"));
    typeInto(field(view, "clientSecretField"), QStringLiteral("secret"));
    m_picker.setNextFolder(images.path());
    view->chooseFolder();

    QPushButton *upload = button(view, "uploadButton");
    upload->setFocus();
    QTest::keyClick(upload, Qt::Key_Return);
    QVERIFY(view->isUploading());
    QCOMPARE(upload->text(), QStringLiteral("Uploading..."));
    QVERIFY(!upload->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(!view->isUploading(), 20000);
    QVERIFY2(view->status().startsWith(QStringLiteral("Upload complete. Uploaded 1 icon image(s).")),
             qPrintable(view->status()));
    QCOMPARE(server.iconCount(), 1);
    QCOMPARE(upload->text(), QStringLiteral("Upload Icons"));
    QVERIFY(upload->isEnabled());
}

void TestContentView::closingDuringARunIsSafe()
{
    auto server = std::make_unique<StubServer>();
    QVERIFY(server->listen());
    server->queueReply("POST", "/api/v1/oauth/token", StubReply::failure(StubReply::Fault::NeverAnswer));

    ContentView *view = newWindow();
    typeInto(field(view, "velkURLField"), server->urlText());
    makeReady(view);
    QTest::mouseClick(button(view, "uploadButton"), Qt::LeftButton);
    QCOMPARE(view->status(), QStringLiteral("Getting bearer token..."));
    QTRY_COMPARE(server->requests().size(), qsizetype(1));

    QPointer<ContentView> watch(view);
    view->close();
    QTRY_VERIFY(watch.isNull());
    // The waiting request now fails; the run must end without touching the window.
    server.reset();
    QTest::qWait(200);
}

void TestContentView::iconResources()
{
    const QIcon icon = applicationIcon();
    for (int size : {16, 22, 24, 32, 48, 64, 80, 128, 160, 240, 256, 512}) {
        const QImage png(QStringLiteral(":/icons/app-%1.png").arg(size));
        QCOMPARE(png.size(), QSize(size, size));
        QVERIFY(icon.availableSizes().contains(QSize(size, size)));
    }
    // The logo at twice the density is drawn from a picture of that size, not scaled up.
    QCOMPARE(icon.pixmap(QSize(80, 80), 2.0).size(), QSize(160, 160));
}

QTEST_MAIN(TestContentView)
#include "test_content_view.moc"
