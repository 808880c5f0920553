#include "creator.h"
#include "platform/SignalWatcher.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QIcon>
#include <QLoggingCategory>
#include <QSettings>
#include <QUrl>
#include <QtDebug>

#include <cstdio>

int qMain(int argc, char** argv)
{
    // Without a display the program runs headless; the tray is then simply absent. A display
    // that cannot be reached counts as none.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        if (!qEnvironmentVariableIsEmpty("DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
        else if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    // Debug lines are developer output: off unless QT_LOGGING_RULES (read after these rules)
    // asks for them. Information, warnings and errors stay on.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(korvalen);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/app_icon")));
    const QStringList args = QCoreApplication::arguments();
    const bool restarted = args.size() > 1 && args.at(1) == QLatin1String("-r");

    QCoreApplication::setOrganizationName(QStringLiteral("Brimat"));
    QCoreApplication::setApplicationName(QStringLiteral("Brimat Capture"));
    app.setQuitOnLastWindowClosed(false);

    const QString configPath =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + QStringLiteral("config.ini");
    if (!QFile::exists(configPath)) {
        std::fprintf(stderr, "Cannot find config file %s\n", configPath.toLocal8Bit().constData());
        // An installed program has its sample beside it.
        const QString sample = configPath + QStringLiteral(".sample");
        if (QFile::exists(sample))
            std::fprintf(stderr, "Copy the sample beside it to make one: cp %s %s\n",
                         sample.toLocal8Bit().constData(), configPath.toLocal8Bit().constData());
        return 1;
    }
    qDebug("Using config file %s", qPrintable(configPath));

    if (!SingleInstance::acquire(QStringLiteral("KorvalenUniqueMutexName"))) {
        QSettings config(configPath, QSettings::IniFormat);
        const QString url = QStringLiteral("http://127.0.0.1:") +
                            config.value(QStringLiteral("listener/port")).toString();
        qInfo("Another instance is running: opening %s", qPrintable(url));
        QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
        return 0;
    }

    // Watching first: a SIGTERM while the start is under way ends the program in order once
    // the event loop runs, instead of killing it.
    auto* signalWatcher = new SignalWatcher(&app);
    auto* creator = new Creator(configPath, restarted, &app);
    QObject::connect(signalWatcher, &SignalWatcher::terminationRequested, creator,
                     &Creator::slotExitApp);
    return app.exec();
}

int main(int argc, char** argv)
{
    return qMain(argc, argv);
}
