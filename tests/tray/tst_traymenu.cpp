// The tray menu on a real X display with a tray host: icon, menu, clipboard, port dialog,
// About box, balloons and the interface language. Runs with the system locale pl_PL.
#include "traymenu.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

// Records what the desktop would open in the browser.
class UrlRecorder : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl& url) { urls.append(url.toString()); }

public:
    QStringList urls;
};

class TestTrayMenu : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void iconAndMenu();
    void language_data();
    void language();
    void languageActionSwitchesAndStores();
    void copyAddress();
    void portDialog_data();
    void portDialog();
    void about();
    void balloons_data();
    void balloons();
    void portAsTheListenerTakesIt_data();
    void portAsTheListenerTakesIt();
    void activation_data();
    void activation();
    void quitHidesTheIconAndAsksToExit();

private:
    // port: as config.ini gives it; invalid: no key
    TrayMenu* makeMenu(const QString& prefLang, const QVariant& port = 8123);
    // The texts of the balloon on the screen, which is then closed.
    void takeBalloon(QStringList* shown);
    QString stored(const QString& key) const
    {
        return QSettings(configPath(), QSettings::IniFormat).value(key).toString();
    }
    QString configPath() const { return dir->filePath(QStringLiteral("config.ini")); }
    QSystemTrayIcon* icon() const { return menu->findChild<QSystemTrayIcon*>(); }
    QAction* menuEntry(int index) const { return icon()->contextMenu()->actions().at(index); }
    QAction* languageAction(const QString& code) const;
    // Runs `act` on the modal dialog of type T once it shows, while `open` runs its event loop.
    template <typename T>
    void onModal(const std::function<void(T*)>& act, const std::function<void()>& open);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<TrayMenu> menu;
    UrlRecorder browser;
};

void TestTrayMenu::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("Brimat Capture"));
    QVERIFY2(TrayMenu::isTrayAvailable(), "no system tray on this display");
    QVERIFY2(QFile::exists(QCoreApplication::applicationDirPath() + "/korv_pl.qm"),
             "the translations are not beside the test");
    QCOMPARE(QLocale::system().name(), QStringLiteral("pl_PL"));
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
}

void TestTrayMenu::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    browser.urls.clear();
}

void TestTrayMenu::cleanup()
{
    menu.reset();
    settings.reset();
    dir.reset();
}

TrayMenu* TestTrayMenu::makeMenu(const QString& prefLang, const QVariant& port)
{
    {
        QSettings file(configPath(), QSettings::IniFormat);
        if (port.isValid())
            file.setValue(QStringLiteral("listener/port"), port);
        file.setValue(QStringLiteral("docroot/path"), QStringLiteral("www"));
        if (!prefLang.isNull())
            file.setValue(QStringLiteral("other/prefLang"), prefLang);
    }
    settings = std::make_unique<QSettings>(configPath(), QSettings::IniFormat);
    menu = std::make_unique<TrayMenu>(QCoreApplication::instance(), settings.get());
    return menu.get();
}

QAction* TestTrayMenu::languageAction(const QString& code) const
{
    for (QAction* action : menu->findChildren<QAction*>())
        if (action->data().toString() == code)
            return action;
    return nullptr;
}

template <typename T>
void TestTrayMenu::onModal(const std::function<void(T*)>& act, const std::function<void()>& open)
{
    bool seen = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            poll.stop();
            seen = true;
            act(dialog);
        }
    });
    poll.start(10);
    open();
    QVERIFY2(seen, "the dialog did not show");
}

void TestTrayMenu::iconAndMenu()
{
    makeMenu(QStringLiteral("en"));
    QVERIFY(icon()->isVisible());
    QVERIFY(!icon()->icon().isNull());
    // Embedded by the tray host: the icon has a place on the screen.
    QTRY_VERIFY(icon()->geometry().width() > 0);
    QCOMPARE(icon()->toolTip(), QStringLiteral("Brimat Capture 0.1.19"));

    QStringList entries;
    for (QAction* action : icon()->contextMenu()->actions())
        entries.append(action->isSeparator() ? QStringLiteral("---") : action->text());
    QCOMPARE(entries, QStringList({"&Launch browser", "&Copy IP address to clipboard", "---",
                                   "&Change listening port", "---", "&About", "---", "&Quit"}));
    QVERIFY(menuEntry(0)->font().bold());
    QVERIFY(!menuEntry(1)->font().bold());
}

void TestTrayMenu::language_data()
{
    QTest::addColumn<QString>("prefLang"); // null: no key in config.ini
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QString>("launch");
    QTest::addColumn<QString>("quit");
    QTest::addColumn<QString>("qtCancel"); // Qt's own text, from Qt's translations

    QTest::newRow("none, locale pl_PL") << QString() << "pl" << "&Polski"
                                        << "&Uruchom przeglądarkę" << "Zakoń&cz" << "Anuluj";
    QTest::newRow("empty, locale pl_PL") << "" << "pl" << "&Polski" << "&Uruchom przeglądarkę"
                                         << "Zakoń&cz" << "Anuluj";
    QTest::newRow("en") << "en" << "en" << "&English" << "&Launch browser" << "&Quit" << "Cancel";
    QTest::newRow("de") << "de" << "de" << "&Deutsch" << "&Browser starten" << "B&eenden"
                        << "Abbrechen";
    QTest::newRow("esp") << "esp" << "esp" << "&Espanol" << "&Abrir el navegador" << "&Salir"
                         << "Cancelar";
    QTest::newRow("fr") << "fr" << "fr" << "&Frances" << "&Lancer le navigateur" << "&Quitter"
                        << "Annuler";
    QTest::newRow("unknown code") << "xx" << "xx" << "&English" << "&Launch browser" << "&Quit"
                                  << "Cancel";
    QTest::newRow("upper case") << "PL" << "PL" << "&English" << "&Launch browser" << "&Quit"
                                << "Cancel";
}

void TestTrayMenu::language()
{
    QFETCH(QString, prefLang);
    QFETCH(QString, stored);
    QFETCH(QString, checked);
    QFETCH(QString, launch);
    QFETCH(QString, quit);
    QFETCH(QString, qtCancel);

    makeMenu(prefLang);
    QCOMPARE(this->stored(QStringLiteral("other/prefLang")), stored);
    QStringList checkedActions;
    for (QAction* action : menu->findChildren<QAction*>())
        if (action->isChecked())
            checkedActions.append(action->text());
    QCOMPARE(checkedActions, QStringList(checked));
    QCOMPARE(menuEntry(0)->text(), launch);
    QCOMPARE(menuEntry(7)->text(), quit);
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), qtCancel);
}

void TestTrayMenu::languageActionSwitchesAndStores()
{
    makeMenu(QStringLiteral("en"));
    languageAction(QStringLiteral("de"))->trigger();
    QCOMPARE(stored(QStringLiteral("other/prefLang")), QStringLiteral("de"));
    QCOMPARE(menuEntry(0)->text(), QStringLiteral("&Browser starten"));
    QVERIFY(!languageAction(QStringLiteral("en"))->isChecked());

    // Leaving the language again leaves no translation behind.
    languageAction(QStringLiteral("en"))->trigger();
    QCOMPARE(stored(QStringLiteral("other/prefLang")), QStringLiteral("en"));
    QCOMPARE(menuEntry(0)->text(), QStringLiteral("&Launch browser"));
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
}

void TestTrayMenu::copyAddress()
{
    makeMenu(QStringLiteral("en"), 8123);
    menuEntry(1)->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("http://127.0.0.1:8123"));

    // Another program on the display reads the same text; this one keeps serving it meanwhile.
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {"-o", "-selection", "clipboard"});
    QTRY_COMPARE_WITH_TIMEOUT(xclip.state(), QProcess::NotRunning, 10000);
    QCOMPARE(xclip.exitCode(), 0);
    QCOMPARE(xclip.readAllStandardOutput(), QByteArray("http://127.0.0.1:8123"));
}

void TestTrayMenu::portDialog_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<int>("typed");
    QTest::addColumn<QString>("stored");

    QTest::newRow("confirmed") << true << 8080 << "8080";
    QTest::newRow("lowest") << true << 80 << "80";
    QTest::newRow("highest") << true << 65535 << "65535";
    QTest::newRow("cancelled") << false << 8080 << "8123";
}

void TestTrayMenu::portDialog()
{
    QFETCH(bool, confirm);
    QFETCH(int, typed);
    QFETCH(QString, stored);

    makeMenu(QStringLiteral("en"), 8123);
    onModal<QInputDialog>(
        [&](QInputDialog* dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Listening port modification"));
            QCOMPARE(dialog->labelText(), QStringLiteral("New listening port:"));
            QCOMPARE(dialog->intValue(), 8123);
            QCOMPARE(dialog->intMinimum(), 80);
            QCOMPARE(dialog->intMaximum(), 65535);
            dialog->setIntValue(typed);
            confirm ? dialog->accept() : dialog->reject();
        },
        [&] { menuEntry(3)->trigger(); });
    QCOMPARE(this->stored(QStringLiteral("listener/port")), stored);
    // The running program keeps its port until the next start.
    QCOMPARE(menu->localAddress(), QStringLiteral("http://127.0.0.1:8123"));
}

void TestTrayMenu::about()
{
    makeMenu(QStringLiteral("pl"));
    onModal<QMessageBox>(
        [](QMessageBox* box) {
            QCOMPARE(box->windowTitle(), QStringLiteral("O programie"));
            QVERIFY(box->text().contains("BrimatCapture ver. 0.1.19"));
            QVERIFY(box->text().contains("SMTP Client for Qt"));
            QVERIFY(!box->text().contains("http"));
            box->accept();
        },
        [&] { menuEntry(5)->trigger(); });
}

void TestTrayMenu::balloons_data()
{
    QTest::addColumn<QString>("prefLang");
    QTest::addColumn<bool>("bindError");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("running, en") << "en" << false
                                 << QStringList{"Program is running.",
                                                "Program is listening on port: 8123."};
    QTest::newRow("running, pl") << "pl" << false
                                 << QStringList{"Program działa.",
                                                "Program nasłuchuje na porcie: 8123."};
    QTest::newRow("bind error, en") << "en" << true
                                    << QStringList{"Error!",
                                                   "Cannot bind on port: 8123. Port already in use!"};
    QTest::newRow("bind error, pl")
        << "pl" << true
        << QStringList{"Błąd!", "Nie można nasłuchiwać na porcie: 8123. Port jest już zajęty!"};
}

void TestTrayMenu::balloons()
{
    QFETCH(QString, prefLang);
    QFETCH(bool, bindError);
    QFETCH(QStringList, texts);

    makeMenu(prefLang, 8123);
    QTRY_VERIFY(icon()->geometry().width() > 0);
    bindError ? menu->showBindError() : menu->showListeningMessage();

    QStringList shown;
    takeBalloon(&shown);
    for (const QString& text : texts)
        QVERIFY2(shown.contains(text), qPrintable(shown.join(" | ")));
}

void TestTrayMenu::takeBalloon(QStringList* shown)
{
    QWidget* balloon = nullptr;
    QTRY_VERIFY([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits("QBalloonTip") && w->isVisible())
                balloon = w;
        return balloon != nullptr;
    }());
    for (QLabel* label : balloon->findChildren<QLabel*>())
        if (!label->text().isEmpty())
            shown->append(label->text());
    balloon->close();
}

void TestTrayMenu::portAsTheListenerTakesIt_data()
{
    QTest::addColumn<QVariant>("port");      // in config.ini; invalid: no key
    QTest::addColumn<QString>("address");    // launched and copied; empty: none
    QTest::addColumn<QString>("bindError");  // the port the balloon names
    QTest::addColumn<int>("dialogStart");

    QTest::newRow("a port") << QVariant(8123) << "http://127.0.0.1:8123" << "8123" << 8123;
    QTest::newRow("none: the listener's default")
        << QVariant() << "http://127.0.0.1:8080" << "8080" << 8080;
    QTest::newRow("zeros and blanks") << QVariant(" 0080 ") << "http://127.0.0.1:80" << "80" << 80;
    // The listener listens on none of these: nothing to open, and the balloon names what
    // config.ini says.
    QTest::newRow("a typo") << QVariant("80x90") << QString() << "80x90" << 80;
    QTest::newRow("too large") << QVariant(70000) << QString() << "70000" << 80;
    QTest::newRow("empty") << QVariant("") << QString() << "" << 80;
    QTest::newRow("a control character")
        << QVariant("80\x1b[2J") << QString() << "80[2J" << 80;
}

void TestTrayMenu::portAsTheListenerTakesIt()
{
    QFETCH(QVariant, port);
    QFETCH(QString, address);
    QFETCH(QString, bindError);
    QFETCH(int, dialogStart);

    makeMenu(QStringLiteral("en"), port);
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    menuEntry(0)->trigger();
    menuEntry(1)->trigger();
    QCOMPARE(browser.urls, address.isEmpty() ? QStringList() : QStringList{address});
    QCOMPARE(QGuiApplication::clipboard()->text(), address.isEmpty() ? "before" : address);

    QTRY_VERIFY(icon()->geometry().width() > 0);
    menu->showBindError();
    QStringList shown;
    takeBalloon(&shown);
    const QString text = "Cannot bind on port: " + bindError + ". Port already in use!";
    QVERIFY2(shown.contains(text), qPrintable(shown.join(" | ")));

    onModal<QInputDialog>(
        [&](QInputDialog* dialog) {
            QCOMPARE(dialog->intValue(), dialogStart);
            dialog->reject();
        },
        [&] { menuEntry(3)->trigger(); });
}

void TestTrayMenu::activation_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<QStringList>("opened");

    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick)
                                  << QStringList{"http://127.0.0.1:8123"};
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << QStringList();
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << QStringList();
    QTest::newRow("context menu") << int(QSystemTrayIcon::Context) << QStringList();
}

void TestTrayMenu::activation()
{
    QFETCH(int, reason);
    QFETCH(QStringList, opened);

    makeMenu(QStringLiteral("en"), 8123);
    emit icon()->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(browser.urls, opened);

    browser.urls.clear();
    menuEntry(0)->trigger();
    QCOMPARE(browser.urls, QStringList{"http://127.0.0.1:8123"});
}

void TestTrayMenu::quitHidesTheIconAndAsksToExit()
{
    makeMenu(QStringLiteral("en"));
    QSignalSpy exits(menu.get(), &TrayMenu::exitApp);
    bool visibleAtExit = true;
    connect(menu.get(), &TrayMenu::exitApp, this, [&] { visibleAtExit = icon()->isVisible(); });
    menuEntry(7)->trigger();
    QCOMPARE(exits.count(), 1);
    QVERIFY(!visibleAtExit);
}

QTEST_MAIN(TestTrayMenu)
#include "tst_traymenu.moc"
