#include "app/ContentView.h"
#include "app/ElidedLabel.h"
#include "app/StatusView.h"
#include "tests/support/ScriptedFolderPicker.h"
#include "tools/stub-server/StubServer.h"

#include <QtTest>
#include <QtWidgets>

class TestWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_icons;
    QUrl m_opened;
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
    static bool othersMayRead(const QString &path) { return QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther); }
    template<typename T = QWidget>
    static T *child(QWidget *view, const char *name) { return view->findChild<T *>(QLatin1String(name)); }

public slots:
    void openUrl(const QUrl &url) { m_opened = url; }

private slots:
    void initTestCase()
    {
        // The offscreen platform warns whenever a fixed-size window sets its size hints: not ours.
        static const QtMessageHandler qtest = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &c, const QString &m) {
            if (!m.contains(QLatin1String("propagateSizeHints")))
                qtest(type, c, m);
        });
        QCoreApplication::setOrganizationName(QStringLiteral("VelkTest"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath(QStringLiteral("config")));
        qputenv("HOME", QFile::encodeName(m_dir.path()));
        m_icons = m_dir.filePath(QStringLiteral("Icons"));
        QVERIFY(QDir().mkpath(m_icons) && QDir(m_dir.path()).mkpath(QStringLiteral("Desktop")));
        for (const char *name : {"/a.png", "/b.png"})
            QVERIFY(QFile::copy(QStringLiteral(":/icons/app-16.png"), m_icons + QLatin1String(name)));

        // A settings file left readable by others is tightened at start-up, before its secret is read.
        QSettings earlier;
        earlier.setValue(QStringLiteral("velkURL"), QStringLiteral("https://earlier.example"));
        earlier.sync();
        QVERIFY(QFile::setPermissions(earlier.fileName(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QCOMPARE(AppSettings::instance().velkURL(), QStringLiteral("https://earlier.example"));
        QVERIFY(!othersMayRead(earlier.fileName()));
    }

    void init()
    {
        QTest::failOnWarning(QRegularExpression()); // any warning fails the test
        QSettings().clear();
        QDir(m_dir.filePath(QStringLiteral("config"))).removeRecursively();
    }

    void cleanup() { qDeleteAll(QApplication::topLevelWidgets()); }

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
        for (const char *name : {"velkURLField", "clientIDField", "clientSecretField"}) {
            auto *field = child<QLineEdit>(view, name);
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Delete); // as a user clears it
            QTest::keyClicks(field, blank == name ? QString() : blank == " " ? blank : "x");
        }
        m_picker.setNextFolder(blank == "folder" ? QString() : m_icons);
        view->chooseFolder();
        view->setUploading(blank == "busy");
        QCOMPARE(child(view, "uploadButton")->isEnabled(), enabled);
        QCOMPARE(child<QPushButton>(view, "uploadButton")->text(), blank == "busy" ? "Uploading..." : "Upload Icons");
    }

    void chooser_data()
    {
        // Each step: "pick:F" answers the chooser with OK and folder F (none when empty), "cancel"
        // cancels it, "drop:F" drops F on the window, "dialog:F" picks F in the real dialog.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("status");
        QTest::newRow("Icons") << QStringList{"pick:ICONS"} << "ICONS" << "Selected folder: Icons";
        QTest::newRow("root") << QStringList{"pick:/"} << "/" << "Selected folder: /";
        QTest::newRow("no folder") << QStringList{"pick:ICONS", "pick:"} << "" << "Selected folder: Unknown";
        QTest::newRow("cancel keeps") << QStringList{"pick:/", "cancel"} << "/" << "Selected folder: /";
        QTest::newRow("dialog") << QStringList{"dialog:ICONS"} << "ICONS" << "Selected folder: Icons";
        QTest::newRow("drop folder") << QStringList{"drop:ICONS"} << "ICONS" << "Selected folder: Icons";
        QTest::newRow("drop file") << QStringList{"drop:ICONS/a.png"} << "" << "Select a folder of icon images.";
    }

    void chooser()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, folder);
        QFETCH(QString, status);
        folder.replace(QStringLiteral("ICONS"), m_icons);
        ContentView *view = window({}, steps.first().startsWith("dialog") ? &FolderPicker::dialog() : nullptr);
        for (const QString &step : steps) {
            const QString arg = step.section(u':', 1).replace(QStringLiteral("ICONS"), m_icons);
            if (step.startsWith("drop")) {
                QMimeData mime;
                mime.setUrls({QUrl::fromLocalFile(arg)});
                QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
                QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
                if (QApplication::sendEvent(view, &enter) && enter.isAccepted())
                    QApplication::sendEvent(view, &drop);
            } else if (step.startsWith("dialog")) {
                QTimer::singleShot(0, this, [&] {
                    auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                    QVERIFY(dialog && dialog->fileMode() == QFileDialog::Directory
                            && dialog->windowTitle() == "Choose a folder containing icon images (PNG, JPG, JPEG, GIF)");
                    dialog->selectFile(arg);
                    static_cast<QDialog *>(dialog)->accept();
                });
            } else {
                step == "cancel" ? m_picker.setNextCancel() : m_picker.setNextFolder(arg);
            }
            QTest::mouseClick(child(view, "chooseFolderButton"), Qt::LeftButton); // after a drop: cancelled
        }
        QCOMPARE(view->selectedFolder(), folder);
        QCOMPARE(child<ElidedLabel>(view, "folderPathLabel")->fullText(), folder.isEmpty() ? "No folder selected" : folder);
        QCOMPARE(child<StatusView>(view, "statusView")->toPlainText(), status);
    }

    void firstLaunchThenSettingsShared()
    {
        ContentView *other = window();
        QCOMPARE(child<QLineEdit>(other, "velkURLField")->text(), AppSettings::defaultVelkURL());
        QCOMPARE(child<QLineEdit>(other, "clientSecretField")->text(), QString());
        QCOMPARE(child<StatusView>(other, "statusView")->toPlainText(), QStringLiteral("Select a folder of icon images."));
        QVERIFY(!child(other, "uploadButton")->isEnabled() && !child(other, "progressBar")->isVisible()
                && !child(other, "showReportButton")->isVisible());
        QCOMPARE(other->width(), 620); // with the margins inside
        QVERIFY(child(other, "velkURLField")->mapTo(other, QPoint()).x() > 0);

        // Settings stored show in every window, and are on disk for the owner only.
        window(QStringLiteral("https://icons.example"));
        QCOMPARE(child<QLineEdit>(other, "clientSecretField")->text(), QStringLiteral("secret"));
        QCOMPARE(other->selectedFolder(), QString());
        const QString path = AppSettings::instance().fileName();
        QVERIFY(!othersMayRead(path) && !othersMayRead(QFileInfo(path).path()));
        QCOMPARE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("clientSecret")).toString(), QStringLiteral("secret"));
    }

    void runEndings_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("closeKey"); // pressed with Ctrl as the first icon reaches the server
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("progress"); // the bar as each request of the run reaches the server
        const QString none = QStringLiteral("0 of 2 icons uploaded"), one = QStringLiteral("1 of 2 icons uploaded");
        QTest::newRow("complete") << "Icons" << 0 << "Upload complete. Uploaded 2 icon image(s). CSV saved to: "
                                  << QStringList{"busy", none, none, one, one};
        QTest::newRow("error") << "Gone" << 0 << "Error: Could not read the folder " << QStringList{"busy"};
        QTest::newRow("empty folder") << "Desktop" << 0 << "No supported image files found." << QStringList{"busy"};
        QTest::newRow("last window closed") << "Icons" << int(Qt::Key_W) << "" << QStringList{"busy", none};
        QTest::newRow("quit") << "Icons" << int(Qt::Key_Q) << "" << QStringList{"busy", none};
    }

    void runEndings()
    {
        QFETCH(QString, folder);
        QFETCH(int, closeKey);
        QFETCH(QString, status);
        QFETCH(QStringList, progress);
        StubServer server;
        QVERIFY(server.listen());
        QPointer<ContentView> view = window(server.urlText());
        auto *bar = child<QProgressBar>(view, "progressBar");
        QWidget *showReport = child(view, "showReportButton");
        QTest::mouseClick(child(view, "uploadButton"), Qt::LeftButton);
        // So that the run under test starts with a report at hand.
        QTRY_VERIFY_WITH_TIMEOUT(!view->isUploading() && showReport->isVisible(), 20000);

        QStringList seen;
        connect(&server, &StubServer::requestHandled, bar, [&](const StubRequest &request) {
            const QString value = QAccessible::queryAccessibleInterface(bar)->text(QAccessible::Value);
            seen.append(!bar->isVisible() ? "hidden" : bar->maximum() == 0 ? "busy" : value);
            if (closeKey && request.path() == "/api/v1/icon")
                QTest::keyClick(view, Qt::Key(closeKey), Qt::ControlModifier);
        });
        m_picker.setNextFolder(m_dir.filePath(folder));
        view->chooseFolder();
        QFile::remove(report());
        QTest::mouseClick(child(view, "uploadButton"), Qt::LeftButton);
        if (closeKey) {
            // The run goes on without its window, and the application quits once it has ended.
            QTimer::singleShot(30000, qApp, &QCoreApplication::quit); // should it never quit
            QCoreApplication::exec();
            QFile csv(report());
            QVERIFY(!view && csv.open(QIODevice::ReadOnly) && csv.readAll().count('\n') == 3);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!view->isUploading(), 20000);
        QCOMPARE(seen, progress);
        QVERIFY2(view->status().startsWith(status), qPrintable(view->status()));
        QVERIFY(!bar->isVisible());
        QCOMPARE(showReport->isVisible(), status.startsWith("Upload complete."));
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
        if (showReport->isVisible())
            QTest::mouseClick(showReport, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(std::exchange(m_opened, {}), showReport->isVisible() ? QUrl::fromLocalFile(report()) : QUrl());
    }

    void longStatus()
    {
        ContentView *view = window();
        auto *status = child<StatusView>(view, "statusView");
        const int shortHeight = view->height();
        view->setStatus(QString(300, u'x')); // one word wider than the window: it wraps inside
        QTRY_VERIFY(view->height() > shortHeight);
        view->setStatus(QStringLiteral("short"));
        QTRY_COMPARE(view->height(), shortHeight);

        // A failed status with a 5 MB body: whole, selectable, never HTML, and the window fits the screen.
        const QString huge = QStringLiteral("Error: HTTP 500. <b>not bold</b>\r\n") + QString(5 << 20, u'y');
        view->setStatus(huge);
        QTRY_VERIFY(view->height() > shortHeight);
        QVERIFY(view->frameGeometry().height() <= view->screen()->availableGeometry().height());
        QVERIFY(status->toPlainText().startsWith(QStringLiteral("Error: HTTP 500. <b>not bold</b>")));
        status->selectAll();
        status->copy();
        QVERIFY(QGuiApplication::clipboard()->text() == huge);
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
