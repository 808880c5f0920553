#include "traymenu.h"

#include "ConfigKeys.h"
#include "ShownText.h"
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

// The port dialog's starting value when config.ini holds no port the listener takes.
constexpr int dialogPort = 80;
constexpr int listeningMessageMs = 1000;
constexpr int bindErrorMs = 4000;

QAction* languageAction(const QString& label, const char* code, QObject* parent)
{
    auto* action = new QAction(label, parent);
    action->setCheckable(true);
    action->setData(QString::fromLatin1(code));
    return action;
}

const QString listenerGroup = QStringLiteral("listener");
const QString portKey = QStringLiteral("port");
const QString otherGroup = QStringLiteral("other");
const QString prefLangKey = QStringLiteral("prefLang");

// The port as the listener takes it from config.ini, through the same table: absent, its
// default; -1 for a value it refuses (it then listens on none).
int configuredPort(QSettings* settings)
{
    settings->beginGroup(listenerGroup);
    const QVariant port = ConfigKeys::group(listenerGroup).value(settings, portKey);
    settings->endGroup();
    return port.isValid() ? int(port.toLongLong()) : -1;
}

QString configuredLanguage(QSettings* settings)
{
    settings->beginGroup(otherGroup);
    const QString language = ConfigKeys::group(otherGroup).text(settings, prefLangKey);
    settings->endGroup();
    return language;
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
    listeningPort = configuredPort(settings);

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

    QString language = configuredLanguage(settings);
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
    if (listeningPort < 0)
        return QString();
    return QStringLiteral("http://127.0.0.1:") + QString::number(listeningPort);
}

void TrayMenu::trayClicked(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        slotLaunchBrowser();
}

// Without a port nothing listens: there is no address to open or copy.
void TrayMenu::slotLaunchBrowser()
{
    const QString address = localAddress();
    if (!address.isEmpty())
        QDesktopServices::openUrl(QUrl(address));
}

void TrayMenu::slotCopyIp2Clipboard()
{
    const QString address = localAddress();
    if (!address.isEmpty())
        QGuiApplication::clipboard()->setText(address);
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
    const int configured = configuredPort(settings);
    const int port = configured < 0 ? dialogPort : configured;

    bool ok = false;
    const int chosen = QInputDialog::getInt(this, tr("Listening port modification"),
                                            tr("New listening port:"), port, 80, 65535, 1, &ok);
    if (!ok)
        return;
    // Takes effect at the next start; the running listener keeps its port.
    settings->beginGroup(listenerGroup);
    settings->setValue(portKey, chosen);
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
    QString port = QString::number(listeningPort);
    if (listeningPort < 0) {
        // A port the listener refuses is named as config.ini spells it.
        constexpr int maxShown = 20;
        const QVariant written = settings->value(listenerGroup + QLatin1Char('/') + portKey);
        port = ShownText::of(ConfigKey::textOf(written), maxShown);
    }
    trayIcon->showMessage(tr("Error!"),
                          tr("Cannot bind on port: ") + port + tr(". Port already in use!"),
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
    // Writing makes QSettings rewrite the whole file, dropping its comments: only on a change.
    if (configuredLanguage(settings) == code)
        return;
    settings->beginGroup(otherGroup);
    settings->setValue(prefLangKey, code);
    settings->endGroup();
    settings->sync();
}
