#pragma once

#include <QDialog>
#include <QSystemTrayIcon>
#include <QTranslator>

class QAction;
class QActionGroup;
class QCoreApplication;
class QMenu;
class QSettings;

// The tray icon with its context menu, the start-up balloons and the interface language. The
// dialog itself is never shown: it is the parent of the About box and the port dialog.
// Without a system tray the icon stays hidden; the language is settled all the same.
class TrayMenu : public QDialog
{
    Q_OBJECT
public:
    TrayMenu(QCoreApplication* app, QSettings* settings);

    // Whether the desktop has a system tray that shows the icon.
    static bool isTrayAvailable();

    void showListeningMessage();
    void showBindError();

    // The address the listener was given, read at construction; empty for none.
    QString localAddress() const;

signals:
    void exitApp();

private slots:
    void trayClicked(QSystemTrayIcon::ActivationReason reason);

public slots:
    void slotLaunchBrowser();
    void slotCopyIp2Clipboard();
    void slotExitApp();
    void slotLanguageChanged(QAction* action);
    void slotChangeListeningPort();
    void slotShowAbout();

private:
    void switchLanguage(const QString& code);
    void savePrefLang(const QString& code);
    void retranslate();
    void loadTranslator(QTranslator& translator, const QString& fileName,
                        const QString& fallbackDir, const QString& fallbackName);

    QAction* launchBrowserAction;
    QAction* copyAddressAction;
    QAction* englishAction;
    QAction* polishAction;
    QAction* germanAction;
    QAction* spanishAction;
    QAction* frenchAction;
    QAction* changePortAction;
    QAction* aboutAction;
    QAction* quitAction;
    QActionGroup* languageGroup;
    QMenu* trayIconMenu;
    QSystemTrayIcon* trayIcon;
    QCoreApplication* application;
    int listeningPort; // -1: config.ini holds no port the listener takes
    QSettings* settings;
    QString translationsPath;
    QTranslator appTranslator;
    QTranslator qtTranslator;
    QString currentLanguage;
};
