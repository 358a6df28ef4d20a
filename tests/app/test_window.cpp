#include "app/ContentView.h"
#include "app/ElidedLabel.h"
#include "app/StatusView.h"
#include "tests/support/ScriptedFolderPicker.h"
#include "tools/stub-server/StubServer.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/prctl.h>
#include <sys/stat.h>

class TestWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_icons;
    testsupport::ScriptedFolderPicker m_picker;

    // A new window; given a server URL, ready to upload the icons to it.
    ContentView *window(const QString &url = {}, FolderPicker *picker = nullptr)
    {
        ContentView *view = ContentView::openWindow(picker ? *picker : m_picker);
        [&] { QVERIFY(QTest::qWaitForWindowExposed(view)); }();
        if (url.isEmpty())
            return view;
        for (auto [key, value] : {std::pair{AppSettings::Key::VelkURL, url}, {AppSettings::Key::ClientID, QString("id")}, {AppSettings::Key::ClientSecret, QString("secret")}})
            AppSettings::instance().setValue(key, value);
        m_picker.setNextFolder(m_icons);
        view->chooseFolder();
        return view;
    }

    QString report() const { return m_dir.filePath(QStringLiteral("Desktop/velk_icon_upload_results.csv")); }
    static QFile::Permissions groupAndOthers(const QString &path) { return QFile::permissions(path) & QFile::Permissions(0x0077); }
    template<typename T = QWidget>
    static T *child(QWidget *view, const char *name) { return view->findChild<T *>(QLatin1String(name)); }
    static QString name(QWidget *widget) { return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name); }
    static QImage icon(QWidget *view, QStyle::StandardPixmap icon)
    {
        const int side = view->style()->pixelMetric(QStyle::PM_SmallIconSize);
        return (icon ? view->style()->standardIcon(icon).pixmap(side, side) : QPixmap()).toImage();
    }
    static qreal luminance(const QColor &c)
    {
        auto linear = [](qreal v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    }

private slots:
    void initTestCase()
    {
        // The offscreen platform warns whenever a fixed-size window sets its size hints: not ours.
        static const QtMessageHandler qtest = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &c, const QString &m) {
            if (!m.contains(QLatin1String("propagateSizeHints")))
                qtest(type, c, m);
        });
        QCoreApplication::setOrganizationName(QStringLiteral("VelkTest"));
        QCoreApplication::setApplicationVersion(QStringLiteral("9.8.7"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath(QStringLiteral("config")));
        qputenv("HOME", QFile::encodeName(m_dir.path()));
        m_icons = m_dir.filePath(QStringLiteral("Icons"));
        QVERIFY(QDir().mkpath(m_icons) && QDir(m_dir.path()).mkpath(QStringLiteral("Desktop")));
        for (const char *name : {"/a.png", "/b.png"})
            QVERIFY(QFile::copy(QStringLiteral(":/icons/app-16.png"), m_icons + QLatin1String(name)));

        // A settings file and folder left open to others are tightened at start-up, before the secret
        // is read, and from then on the process dumps no core that could hold it.
        QSettings earlier;
        earlier.setValue(QStringLiteral("velkURL"), QStringLiteral("https://earlier.example"));
        earlier.sync();
        const QString folder = QFileInfo(earlier.fileName()).path();
        QVERIFY(QFile::setPermissions(earlier.fileName(), QFile::Permissions(0x6004)));
        QVERIFY(QFile::setPermissions(folder, QFile::Permissions(0x7775)));
        QCOMPARE(AppSettings::instance().velkURL(), QStringLiteral("https://earlier.example"));
        QVERIFY(!groupAndOthers(earlier.fileName()) && !groupAndOthers(folder));
        QCOMPARE(prctl(PR_GET_DUMPABLE), 0);
    }

    void init()
    {
        QTest::failOnWarning(QRegularExpression()); // any warning fails the test
        QSettings().clear();
        QDir(m_dir.filePath(QStringLiteral("config"))).removeRecursively();
    }

    void cleanup()
    {
        QWidgetList windows = QApplication::topLevelWidgets();
        windows.removeIf([](QWidget *widget) { return widget->parentWidget(); }); // dialogs go with their window
        qDeleteAll(windows);
    }

    void settingsOnDisk_data()
    {
        // Permissions (octal) of our settings folder and file before an edit; 0 for none.
        QTest::addColumn<int>("folder");
        QTest::addColumn<int>("file");
        QTest::newRow("first edit") << 0 << 0;
        QTest::newRow("folder readable by others") << 0755 << 0600;
        QTest::newRow("folder open to all") << 0777 << 0600;
        QTest::newRow("file readable by the group") << 0700 << 0640;
    }

    void settingsOnDisk()
    {
        QFETCH(int, folder);
        QFETCH(int, file);
        const QString path = AppSettings::instance().fileName(), ours = QFileInfo(path).path();
        QVERIFY(QDir().mkpath(QFileInfo(ours).path()) && ::chmod(qPrintable(QFileInfo(ours).path()), 0755) == 0);
        if (folder)
            QVERIFY(::mkdir(qPrintable(ours), 0700) == 0 && ::chmod(qPrintable(ours), folder) == 0);
        if (file)
            QVERIFY(QFile(path).open(QIODevice::WriteOnly) && ::chmod(qPrintable(path), file) == 0);
        QTest::keyClicks(child(window(), "clientIDField"), QStringLiteral("id"));
        QVERIFY(!groupAndOthers(path) && !groupAndOthers(ours));
        QVERIFY(groupAndOthers(QFileInfo(ours).path())); // the folder of every program's settings stays as it is
        QCOMPARE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("clientID")).toString(), QStringLiteral("id"));
    }

    void enablement_data()
    {
        QTest::addColumn<QString>("blank"); // the input left out: a field, "folder" or "busy"
        QTest::addColumn<bool>("enabled");
        for (const char *input : {"velkURLField", "clientIDField", "clientSecretField", "folder", "busy"})
            QTest::newRow(input) << input << false;
        QTest::newRow("all set") << "" << true;
        QTest::newRow("spaces count as filled") << " " << true;
    }

    void enablement()
    {
        QFETCH(QString, blank);
        QFETCH(bool, enabled);
        ContentView *view = window();
        window(); // another window: it shows the edits too, and must not disturb them
        m_picker.setNextFolder(blank == "folder" ? QString() : m_icons);
        view->chooseFolder();
        view->setUploading(blank == "busy");
        // The fields last, as a user fills them; each typed into the middle of what it holds.
        for (const char *name : {"velkURLField", "clientIDField", "clientSecretField"}) {
            auto *field = child<QLineEdit>(view, name);
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Delete); // as a user clears it
            const QString value = blank == name ? QString() : blank == " " ? blank : "xy";
            QTest::keyClicks(field, value.right(1));
            QTest::keyClick(field, Qt::Key_Home);
            QTest::keyClicks(field, value.chopped(value.isEmpty() ? 0 : 1));
            QCOMPARE(field->text(), value);
            QCOMPARE(field->cursorPosition(), qMax(0, value.size() - 1));
        }
        QCOMPARE(child(view, "uploadButton")->isEnabled(), enabled);
        QCOMPARE(name(child(view, "uploadButton")), blank == "busy" ? "Uploading..." : "Upload Icons");
    }

    void chooser_data()
    {
        // Each step: "pick:F" answers the chooser with OK and folder F (none when empty), "cancel"
        // cancels it, "drop:F" drops F on the window, "field:F" on the server URL field, "dialog:F"
        // picks F in the real dialog, "alt:F" picks F after Alt+C in the server URL field.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("status");
        const QString deep = "/" + QString(200, u'd') + "/Set";
        QTest::newRow("Icons") << QStringList{"pick:ICONS"} << "ICONS" << "Selected folder: Icons";
        QTest::newRow("root") << QStringList{"pick:/"} << "/" << "Selected folder: /";
        QTest::newRow("no folder") << QStringList{"pick:ICONS", "pick:"} << "" << "Selected folder: Unknown";
        QTest::newRow("cancel keeps") << QStringList{"pick:/", "cancel"} << "/" << "Selected folder: /";
        QTest::newRow("long path") << QStringList{"pick:" + deep} << deep << "Selected folder: Set";
        QTest::newRow("dialog") << QStringList{"dialog:ICONS", "dialog:/"} << "/" << "Selected folder: /";
        QTest::newRow("keyboard") << QStringList{"alt:ICONS"} << "ICONS" << "Selected folder: Icons";
        QTest::newRow("drop folder") << QStringList{"drop:ICONS"} << "ICONS" << "Selected folder: Icons";
        QTest::newRow("drop on a field") << QStringList{"field:ICONS"} << "ICONS" << "Selected folder: Icons";
        QTest::newRow("drop file") << QStringList{"drop:ICONS/a.png"} << "" << "Select a folder of icon images.";
    }

    void chooser()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, folder);
        QFETCH(QString, status);
        folder.replace(QStringLiteral("ICONS"), m_icons);
        ContentView *view = window({}, steps.last().startsWith("dialog") ? &FolderPicker::dialog() : nullptr);
        auto *url = child<QLineEdit>(view, "velkURLField");
        QString start = m_dir.path(); // home, before any folder is chosen
        for (const QString &step : steps) {
            const QString arg = step.section(u':', 1).replace(QStringLiteral("ICONS"), m_icons);
            if (step.startsWith("drop") || step.startsWith("field")) {
                QMimeData mime;
                mime.setUrls({QUrl::fromLocalFile(arg)});
                QWidget *target = step.startsWith("field") ? static_cast<QWidget *>(url) : view;
                QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
                QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
                const QString before = view->selectedFolder();
                if (QApplication::sendEvent(target, &enter) && enter.isAccepted()) {
                    QCOMPARE(view->selectedFolder(), before); // passing over chooses nothing
                    QApplication::sendEvent(target, &drop);
                    QVERIFY(drop.isAccepted()); // the file manager is told the folder was taken
                }
                start = view->selectedFolder().isEmpty() ? start : view->selectedFolder();
            } else if (step.startsWith("dialog")) {
                QTimer::singleShot(0, this, [&] {
                    auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                    QVERIFY(dialog && dialog->fileMode() == QFileDialog::Directory
                            && dialog->windowTitle() == "Choose a folder containing icon images (PNG, JPG, JPEG, GIF)");
                    QCOMPARE(dialog->directory().path(), start);
                    dialog->selectFile(arg);
                    static_cast<QDialog *>(dialog)->accept();
                });
            } else {
                step == "cancel" ? m_picker.setNextCancel() : m_picker.setNextFolder(arg);
            }
            if (step.startsWith("alt")) {
                url->setFocus();
                QTest::keyClick(url, Qt::Key_C, Qt::AltModifier);
                QTRY_COMPARE(view->selectedFolder(), folder);
            } else {
                QTest::mouseClick(child(view, "chooseFolderButton"), Qt::LeftButton); // after a drop: cancelled
                QVERIFY(step.startsWith("dialog") || m_picker.lastStart() == start);
            }
            if (!view->selectedFolder().isEmpty())
                start = view->selectedFolder();
        }
        QCOMPARE(view->selectedFolder(), folder);
        QCOMPARE(url->text(), AppSettings::defaultVelkURL());
        auto *path = child<ElidedLabel>(view, "folderPathLabel");
        QCOMPARE(path->fullText(), folder.isEmpty() ? "No folder selected" : folder);
        QCOMPARE(name(path), path->fullText());
        QCOMPARE(path->toolTip(), path->fullText());
        // A path too long for the row loses its middle, never the folder's own name.
        QVERIFY2(path->text() == path->fullText() || (path->text().startsWith("/dd") && path->text().endsWith("dd/Set")), qPrintable(path->text()));
        QCOMPARE(child<StatusView>(view, "statusView")->toPlainText(), status);
        QCOMPARE(AppSettings::instance().lastFolder(), start == m_dir.path() ? QString() : start); // the chooser's start at the next launch
    }

    void firstLaunchThenSettingsShared()
    {
        ContentView *other = window();
        QCOMPARE(other->windowTitle(), "Velk Icon Uploader");
        QCOMPARE(child<QLineEdit>(other, "velkURLField")->text(), AppSettings::defaultVelkURL());
        QCOMPARE(child<QLineEdit>(other, "clientSecretField")->text(), QString());
        QCOMPARE(child<StatusView>(other, "statusView")->toPlainText(), QStringLiteral("Select a folder of icon images."));
        QVERIFY(!child(other, "uploadButton")->isEnabled() && !child(other, "progressBar")->isVisible()
                && !child(other, "showReportButton")->isVisible() && !child(other, "statusMark")->isVisible());
        QCOMPARE(other->width(), 620); // with the margins inside
        QVERIFY(child(other, "velkURLField")->mapTo(other, QPoint()).x() > 0);
        QStringList names;
        for (const char *widget : {"velkURLField", "clientIDField", "clientSecretField", "chooseFolderButton", "uploadButton", "stopButton", "showReportButton"})
            names << name(child(other, widget));
        QCOMPARE(names, QString("Server URL,API Client ID,API Client Secret,Choose Icons Folder,Upload Icons,Stop,Show Report").split(','));
        QCOMPARE(QAccessible::queryAccessibleInterface(child(other, "folderPathLabel"))->text(QAccessible::Description), "Icons folder");
        const QImage logo = child(other, "logo")->grab().toImage();
        QVERIFY(logo.pixelColor(logo.rect().center()) != logo.pixelColor(0, 0)); // the app's icon, not a blank
        // Tab goes through the fields to the folder button (the upload button is off), on to the status and out of it.
        QStringList order{"velkURLField"};
        child(other, "velkURLField")->setFocus();
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, QString("velkURLField,clientIDField,clientSecretField,chooseFolderButton,statusView,velkURLField").split(','));

        // Text dragged onto a field is the field's to take, as anywhere.
        QMimeData text;
        text.setText(QStringLiteral("client"));
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(child(other, "clientIDField"), &enter);
        QVERIFY(enter.isAccepted());

        // Settings stored show in every window.
        QPointer<ContentView> first = other, second = window(QStringLiteral("https://icons.example"));
        QCOMPARE(child<QLineEdit>(other, "clientSecretField")->text(), QStringLiteral("secret"));
        QCOMPARE(other->selectedFolder(), QString());
        QVERIFY(!QAccessible::queryAccessibleInterface(child(other, "clientSecretField"))->text(QAccessible::Value).contains("secret"));

        // About shows the version.
        other->findChild<QAction *>("aboutAction")->trigger();
        auto *about = child<QMessageBox>(other, "aboutBox");
        QVERIFY(about && about->isVisible() && about->text().contains("9.8.7") && !about->iconPixmap().isNull());
        QCOMPARE(about->windowTitle(), "About Velk Icon Uploader");
        about->close();

        // With nothing uploading, Close closes its window and Quit every window, asking nothing.
        QTest::keyClick(second, Qt::Key_W, Qt::ControlModifier);
        QTRY_VERIFY(!second || !second->isVisible());
        QVERIFY(first->isVisible());
        QApplication::setActiveWindow(other);
        QTest::keyClick(other, Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY(!first || !first->isVisible());
    }

    void runEndings_data()
    {
        QTest::addColumn<QString>("folder");
        // What the user does as the first icon reaches the server: "stop", or close the window
        // ("close") or quit ("quit") and answer the question with a key ("Escape") or a button.
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("mark"); // the ending's icon: a QStyle::StandardPixmap, or 0 for none
        QTest::addColumn<QStringList>("progress"); // the bar as each request of the run reaches the server
        QTest::addColumn<int>("reported"); // the icons in the report; -1 for none written
        const QString none = QStringLiteral("0 of 2 icons uploaded"), one = QStringLiteral("1 of 2 icons uploaded");
        const QString complete = "Upload complete. Uploaded 2 icon image(s). CSV saved to: ";
        const QString stopped = "Upload stopped. Uploaded 1 of 2 icon image(s). CSV saved to: ";
        const QStringList whole{"busy", none, none, one, one};
        QTest::newRow("complete") << "Icons" << "" << complete << int(QStyle::SP_DialogApplyButton) << whole << 2;
        QTest::newRow("error") << "Gone" << "" << "Error: Could not read the folder " << int(QStyle::SP_MessageBoxCritical) << QStringList{"busy"} << -1;
        QTest::newRow("error, dark") << "Gone" << "dark" << "Error: Could not read the folder " << int(QStyle::SP_MessageBoxCritical) << QStringList{"busy"} << -1;
        QTest::newRow("empty folder") << "Desktop" << "" << "No supported image files found." << int(QStyle::SP_MessageBoxWarning) << QStringList{"busy"} << -1;
        QTest::newRow("stopped") << "Icons" << "stop" << stopped << int(QStyle::SP_MessageBoxInformation) << QStringList{"busy", none, none} << 1;
        QTest::newRow("close, keep uploading") << "Icons" << "close:Escape" << complete << int(QStyle::SP_DialogApplyButton) << whole << 2;
        QTest::newRow("close, stop and close") << "Icons" << "close:Stop and Close" << "" << 0 << whole << 2;
        QTest::newRow("quit, stop and quit") << "Icons" << "quit:Stop and Quit" << "" << 0 << whole << 2;
    }

    void runEndings()
    {
        QFETCH(QString, folder);
        QFETCH(QString, action);
        QFETCH(QString, status);
        QFETCH(int, mark);
        QFETCH(QStringList, progress);
        QFETCH(int, reported);
        StubServer server;
        QVERIFY(server.listen());
        const QPalette light = QApplication::palette();
        auto restore = qScopeGuard([&] { QApplication::setPalette(light); });
        if (action == "dark") {
            QPalette dark(QColor(0x30, 0x30, 0x30), QColor(0x20, 0x20, 0x20));
            QApplication::setPalette(dark);
        }
        QPointer<ContentView> view = window(server.urlText());
        auto *bar = child<QProgressBar>(view, "progressBar");
        auto *upload = child<QPushButton>(view, "uploadButton");
        QWidget *showReport = child(view, "showReportButton");
        view->reportWritten(report()); // so that the run starts with an earlier report at hand

        QStringList seen;
        QString question;
        connect(&server, &StubServer::requestHandled, bar, [&](const StubRequest &request) {
            QAccessibleInterface *access = QAccessible::queryAccessibleInterface(bar);
            const QString value = access->text(QAccessible::Value);
            QVERIFY(access->valueInterface() && access->valueInterface()->currentValue() == bar->value());
            seen.append(!bar->isVisible() ? "hidden" : bar->maximum() == 0 ? "busy" : value);
            QVERIFY(!upload->isEnabled()); // no second run over this one
            QVERIFY(!bar->geometry().intersects(child(view, "stopButton")->geometry())); // Stop beside the bar
            // Stop at the first upload; ask to close at the second, with one icon done.
            if (request.path() != "/api/v1/icon" || seen.size() != (action.contains(':') ? 4 : 2))
                return;
            QCOMPARE(view->focusWidget(), child(view, "stopButton")); // Return or Space would stop now
            if (action == "stop")
                QTest::mouseClick(child(view, "stopButton"), Qt::LeftButton);
            if (!action.contains(':'))
                return;
            QTest::keyClick(view, action.startsWith("close") ? Qt::Key_W : Qt::Key_Q, Qt::ControlModifier);
            auto *box = child<QMessageBox>(view, "stopQuestion");
            QVERIFY(box && box->isVisible() && box->defaultButton() == box->escapeButton());
            question = box->text();
            const QString answer = action.section(':', 1);
            for (QAbstractButton *button : box->buttons()) {
                if (button->text().remove('&') == answer)
                    QTest::mouseClick(button, Qt::LeftButton);
            }
            if (answer == "Escape")
                QTest::keyClick(box, Qt::Key_Escape);
            QVERIFY(view && view->isVisible()); // showing the run to its end
            QCOMPARE(view->status(), answer == "Escape" ? "Converting and uploading b.png..." : "Stopping...");
        });
        m_picker.setNextFolder(m_dir.filePath(folder));
        view->chooseFolder();
        QFile::remove(report());
        upload->setFocus();
        QTest::keyClick(upload, Qt::Key_Space);
        if (status.isEmpty()) {
            // The window shows the run to its end, then closes, and the application quits.
            QTimer::singleShot(30000, qApp, &QCoreApplication::quit); // should it never quit
            QCoreApplication::exec();
            QVERIFY(!view);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty() && !view->isUploading(), 20000);
            QVERIFY2(view->status().startsWith(status), qPrintable(view->status()));
            QCOMPARE(view->focusWidget(), upload);
            QVERIFY(upload->isEnabled() && !bar->isVisible());
            QCOMPARE(showReport->isVisible(), reported >= 0);
            QCOMPARE(child<QLabel>(view, "statusMark")->pixmap().toImage(), icon(view, QStyle::StandardPixmap(mark)));
            QCOMPARE(name(child(view, "statusMark")), view->status());
            // Error text reads well on the window's background, light or dark.
            const QColor text = child(view, "statusView")->palette().color(QPalette::Text), ground = view->palette().color(QPalette::Window);
            const qreal contrast = (qMax(luminance(text), luminance(ground)) + 0.05) / (qMin(luminance(text), luminance(ground)) + 0.05);
            QCOMPARE(text.hslHue() == 0 && contrast >= 4.5, status.startsWith("Error"));
        }
        QCOMPARE(seen, progress);
        if (action.contains(':'))
            QCOMPARE(question, "Icons are still uploading (1 of 2 done).");
        QFile csv(report());
        QCOMPARE(csv.open(QIODevice::ReadOnly) ? int(csv.readAll().count('\n')) - 1 : -1, reported);
    }

    void showReport_data()
    {
        QTest::addColumn<QString>("opener"); // the exit status of xdg-open, or empty for none installed
        QTest::addColumn<bool>("opened");
        QTest::newRow("opened") << "0" << true;
        QTest::newRow("no program for CSV files") << "3" << false;
        QTest::newRow("no xdg-open") << "" << false;
    }

    void showReport()
    {
        QFETCH(QString, opener);
        QFETCH(bool, opened);
        const QString bin = m_dir.filePath("bin" + opener);
        QVERIFY(QDir().mkpath(bin));
        QFile script(bin + "/xdg-open");
        if (!opener.isEmpty()) {
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\necho \"$1\" > \"$0.called\"\nexit " + opener.toLatin1() + "\n");
            script.close();
            QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        }
        const QByteArray path = qgetenv("PATH");
        auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", QFile::encodeName(bin));
        ContentView *view = window();
        const QString csv = m_dir.filePath("Desktop/report <1>.csv");
        view->reportWritten(csv);
        QTest::keyClick(view, Qt::Key_R, Qt::AltModifier);
        QTRY_VERIFY(opened ? QFile::exists(script.fileName() + ".called") : view->findChild<QMessageBox *>() != nullptr);
        QTest::qWait(50);
        auto *box = child<QMessageBox>(view, "reportNotOpened");
        QCOMPARE(box != nullptr, !opened);
        if (box) // it names the file, which can be selected and copied
            QVERIFY(box->isVisible() && box->text().contains("\n" + csv) && box->textInteractionFlags().testFlag(Qt::TextSelectableByKeyboard));
    }

    void longStatus_data()
    {
        QTest::addColumn<int>("top"); // where the window stands on the offscreen screen, 800 px high
        QTest::addColumn<int>("length"); // of a status of words
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("a few lines") << 0 << 1000 << false;
        QTest::newRow("more than the screen") << 0 << 20000 << true;
        QTest::newRow("more than the room below the window") << 200 << 20000 << true;
        QTest::newRow("window near the bottom") << 540 << 20000 << true;
    }

    void longStatus()
    {
        QFETCH(int, top);
        QFETCH(int, length);
        QFETCH(bool, scrolls);
        ContentView *view = window();
        auto *status = child<StatusView>(view, "statusView");
        const int shortHeight = view->height();
        view->move(0, top);
        QString text;
        for (int i = 0; text.size() < length; ++i)
            text += QStringLiteral("word%1 ").arg(i);
        view->setStatus(text);
        QTRY_VERIFY(view->height() > shortHeight);
        const QRect screen = view->screen()->availableGeometry();
        QVERIFY(view->frameGeometry().bottom() <= screen.bottom() && view->frameGeometry().top() >= screen.top());
        // The window stays where it stands, unless not even a few lines fit below it.
        QCOMPARE(view->frameGeometry().top() < top, top > screen.bottom() - 300);
        QCOMPARE(status->verticalScrollBar()->maximum() > 0, scrolls);
        // Without scrolling, the status line is as tall as its lines and no taller.
        QTextCursor end(status->document());
        end.movePosition(QTextCursor::End);
        QVERIFY(scrolls || status->height() <= status->cursorRect(end).bottom() + status->fontMetrics().lineSpacing());
        // Moved lower, it gives the status less room and stays on the screen.
        view->move(0, view->y() + 150);
        QTRY_VERIFY(view->frameGeometry().bottom() <= screen.bottom());
        view->setStatus(QStringLiteral("short"));
        QTRY_COMPARE(view->height(), shortHeight);
    }

    void statusText()
    {
        ContentView *view = window();
        auto *status = child<StatusView>(view, "statusView");
        const int shortHeight = view->height();
        view->setStatus(QString(300, u'x')); // one word wider than the line wraps inside it
        QTRY_VERIFY(view->height() > shortHeight);
        // A failed status with a 5 MB body: whole, never HTML, and any part of it copies exactly.
        QString huge = QStringLiteral("Error: HTTP 500. <b>not bold</b>\r\n");
        for (int i = 0; huge.size() < (5 << 20); ++i)
            huge += QStringLiteral("w%1 ").arg(i);
        view->setStatus(huge);
        QVERIFY(status->toPlainText().startsWith(QStringLiteral("Error: HTTP 500. <b>not bold</b> \nw0 "))); // CR LF: one break
        status->setFocus();
        QTest::keyClicks(status, "typed"); // read-only: keys select and copy, never edit
        for (int i = 0; i < 35; ++i)
            QTest::keyClick(status, Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClick(status, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), huge.left(35)); // over the CR LF
        QTRY_VERIFY(status->document()->find(" w2000 ").position() > 0);
        QTRY_VERIFY(status->document()->find(" w400000 ").position() > 0);
        for (QTextBlock block = status->document()->begin(); block.next().isValid(); block = block.next())
            QVERIFY(block.text().endsWith(u' ')); // the text is laid out in pieces that end between words
        QVERIFY(status->document()->find(" w200000 ").position() < status->document()->find(" w400000 ").position()); // in order
        QTextCursor part = status->document()->find(" w1000 ");
        part.setPosition(status->document()->find(" w2000 ").position(), QTextCursor::KeepAnchor);
        status->setTextCursor(part);
        status->copy();
        const qsizetype from = huge.indexOf(" w1000 ");
        QCOMPARE(QGuiApplication::clipboard()->text(), huge.mid(from, huge.indexOf(" w2000 ") + 7 - from));
        status->selectAll();
        status->copy();
        QVERIFY(QGuiApplication::clipboard()->text() == huge);

        // A character that spans the end of a block of the document shows whole; the document's
        // own markers show as replacement characters.
        view->setStatus(QString(8191, u'x') + u"\U0001F600 \uFDD0\uFDD1"_qs);
        QVERIFY(status->toPlainText().endsWith(u"x\n\U0001F600 \uFFFD\uFFFD"_qs));
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
