#include "traymenu.h"

#include "Version.h"

#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QUrl>

namespace {

constexpr int defaultPort = 80;
constexpr int listeningMessageMs = 1000;
constexpr int bindErrorMs = 4000;

QAction* languageAction(const QString& label, const char* code, QObject* parent)
{
    auto* action = new QAction(label, parent);
    action->setCheckable(true);
    action->setData(QString::fromLatin1(code));
    return action;
}

// Qt names the Spanish catalogue by the ISO code, the program by its own.
QString qtLanguageCode(const QString& code)
{
    return code == QLatin1String("esp") ? QStringLiteral("es") : code;
}

} // namespace

TrayMenu::TrayMenu(QCoreApplication* app, QSettings* settings)
    : QDialog(nullptr), application(app), settings(settings)
{
    Q_INIT_RESOURCE(korvalen); // the icons live in the core library's resources
    settings->beginGroup(QStringLiteral("listener"));
    listeningPort = settings->value(QStringLiteral("port"), defaultPort).toInt();
    settings->endGroup();

    translationsPath = QCoreApplication::applicationDirPath() + QLatin1Char('/');

    launchBrowserAction = new QAction(this);
    QFont bold = launchBrowserAction->font();
    bold.setBold(true);
    launchBrowserAction->setFont(bold);
    copyAddressAction = new QAction(this);

    languageGroup = new QActionGroup(this);
    languageGroup->setExclusive(true);
    englishAction = languageAction(QStringLiteral("&English"), "en", this);
    polishAction = languageAction(QStringLiteral("&Polski"), "pl", this);
    germanAction = languageAction(QStringLiteral("&Deutsch"), "de", this);
    spanishAction = languageAction(QStringLiteral("&Espanol"), "esp", this);
    frenchAction = languageAction(QStringLiteral("&Frances"), "fr", this);
    languageGroup->addAction(englishAction);
    languageGroup->addAction(polishAction);
    languageGroup->addAction(germanAction);

    changePortAction = new QAction(this);
    aboutAction = new QAction(this);
    quitAction = new QAction(this);

    connect(languageGroup, &QActionGroup::triggered, this, &TrayMenu::slotLanguageChanged);
    connect(launchBrowserAction, &QAction::triggered, this, &TrayMenu::slotLaunchBrowser);
    connect(copyAddressAction, &QAction::triggered, this, &TrayMenu::slotCopyIp2Clipboard);
    connect(changePortAction, &QAction::triggered, this, &TrayMenu::slotChangeListeningPort);
    connect(aboutAction, &QAction::triggered, this, &TrayMenu::slotShowAbout);
    connect(quitAction, &QAction::triggered, this, &TrayMenu::slotExitApp);

    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(launchBrowserAction);
    trayIconMenu->addAction(copyAddressAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(changePortAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(aboutAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/images/tray_icon3_brimat")), this);
    trayIcon->setContextMenu(trayIconMenu);
    trayIcon->setToolTip(QCoreApplication::applicationName() + QLatin1Char(' ') +
                         QLatin1String(programVersion));

    settings->beginGroup(QStringLiteral("other"));
    QString language = settings->value(QStringLiteral("prefLang")).toString();
    settings->endGroup();
    if (language.isEmpty()) {
        const QString locale = QLocale::system().name();
        const int cut = locale.lastIndexOf(QLatin1Char('_'));
        language = cut >= 0 && locale.left(cut) == QLatin1String("pl") ? QStringLiteral("pl")
                                                                          : QStringLiteral("en");
        savePrefLang(language);
    }
    switchLanguage(language);

    QAction* checked = englishAction;
    for (QAction* action : {polishAction, germanAction, spanishAction, frenchAction})
        if (action->data().toString() == language)
            checked = action;
    checked->setChecked(true);

    connect(trayIcon, &QSystemTrayIcon::activated, this, &TrayMenu::trayClicked);
    if (isTrayAvailable())
        trayIcon->show();
}

bool TrayMenu::isTrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString TrayMenu::localAddress() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(listeningPort);
}

void TrayMenu::trayClicked(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        slotLaunchBrowser();
}

void TrayMenu::slotLaunchBrowser()
{
    QDesktopServices::openUrl(QUrl(localAddress()));
}

void TrayMenu::slotCopyIp2Clipboard()
{
    QGuiApplication::clipboard()->setText(localAddress());
}

void TrayMenu::slotExitApp()
{
    trayIcon->hide();
    emit exitApp();
}

void TrayMenu::slotLanguageChanged(QAction* action)
{
    if (action)
        switchLanguage(action->data().toString());
}

void TrayMenu::slotChangeListeningPort()
{
    settings->beginGroup(QStringLiteral("listener"));
    const int port = settings->value(QStringLiteral("port"), defaultPort).toInt();
    settings->endGroup();

    bool ok = false;
    const int chosen = QInputDialog::getInt(this, tr("Listening port modification"),
                                            tr("New listening port:"), port, 80, 65535, 1, &ok);
    if (!ok)
        return;
    // Takes effect at the next start; the running listener keeps its port.
    settings->beginGroup(QStringLiteral("listener"));
    settings->setValue(QStringLiteral("port"), chosen);
    settings->endGroup();
    settings->sync();
}

void TrayMenu::slotShowAbout()
{
    QMessageBox::about(this, tr("About"),
                       QStringLiteral("<p align=\"center\"><b>BrimatCapture ver. %1</b></p>"
                                      "<p>This application has been developped with the "
                                      "framework Qt 5.2</p>"
                                      "<p>Used free componentes:<br>---<br>libmodbus<br>---<br>"
                                      "QextSerialPort<br>---<br>QtWebApp HTTP Server<br>---<br>"
                                      "SMTP Client for Qt<br>---</p>")
                           .arg(QLatin1String(programVersion)));
}

void TrayMenu::showListeningMessage()
{
    trayIcon->showMessage(tr("Program is running."),
                          tr("Program is listening on port: ") + QString::number(listeningPort) +
                              QLatin1Char('.'),
                          QSystemTrayIcon::Information, listeningMessageMs);
}

void TrayMenu::showBindError()
{
    trayIcon->showMessage(tr("Error!"),
                          tr("Cannot bind on port: ") + QString::number(listeningPort) +
                              tr(". Port already in use!"),
                          QSystemTrayIcon::Warning, bindErrorMs);
}

void TrayMenu::switchLanguage(const QString& code)
{
    if (code == currentLanguage)
        return;
    loadTranslator(appTranslator, QStringLiteral("korv_%1.qm").arg(code), QString(), QString());
    // Qt's own texts (dialog buttons) come from the program directory, else from Qt itself.
    loadTranslator(qtTranslator, QStringLiteral("qt_%1.qm").arg(code),
                   QLibraryInfo::location(QLibraryInfo::TranslationsPath),
                   QStringLiteral("qt_%1.qm").arg(qtLanguageCode(code)));
    retranslate();
    currentLanguage = code;
    savePrefLang(code);
}

void TrayMenu::loadTranslator(QTranslator& translator, const QString& fileName,
                              const QString& fallbackDir, const QString& fallbackName)
{
    application->removeTranslator(&translator);
    // A missing file leaves the source texts.
    bool loaded = translator.load(translationsPath + fileName);
    if (!loaded && !fallbackDir.isEmpty())
        loaded = translator.load(fallbackDir + QLatin1Char('/') + fallbackName);
    if (loaded)
        application->installTranslator(&translator);
}

void TrayMenu::retranslate()
{
    launchBrowserAction->setText(tr("&Launch browser"));
    copyAddressAction->setText(tr("&Copy IP address to clipboard"));
    changePortAction->setText(tr("&Change listening port"));
    aboutAction->setText(tr("&About"));
    quitAction->setText(tr("&Quit"));
}

void TrayMenu::savePrefLang(const QString& code)
{
    settings->beginGroup(QStringLiteral("other"));
    // Writing makes QSettings rewrite the whole file, dropping its comments: only on a change.
    const bool changed = settings->value(QStringLiteral("prefLang")).toString() != code;
    if (changed)
        settings->setValue(QStringLiteral("prefLang"), code);
    settings->endGroup();
    if (changed)
        settings->sync();
}
