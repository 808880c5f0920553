#include "TestServer.h"

#include "HttpListener.h"

#include <QDir>
#include <QFile>
#include <QSettings>

TestServer::TestServer(HttpRequestHandler* handler, const QVariantMap& keys)
{
    const QString ini = m_dir.filePath(QStringLiteral("config.ini"));
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("listener"));
        settings.setValue(QStringLiteral("port"), 0);
        settings.setValue(QStringLiteral("uploadDir"), m_dir.path());
        for (auto it = keys.cbegin(); it != keys.cend(); ++it)
            settings.setValue(it.key(), it.value());
        settings.endGroup();
    }
    m_thread.setObjectName(QStringLiteral("TestServer"));
    m_thread.start();
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    QMetaObject::invokeMethod(
        m_context,
        [this, ini, handler] {
            QSettings settings(ini, QSettings::IniFormat);
            settings.beginGroup(QStringLiteral("listener"));
            m_listener = new HttpListener(&settings, handler);
            m_listening = m_listener->isListening();
            m_port = m_listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

TestServer::~TestServer()
{
    stop();
    delete m_context; // its thread has ended: nothing can be pending for it
}

void TestServer::stop()
{
    if (!m_thread.isRunning())
        return;
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            delete m_listener;
            m_listener = nullptr;
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

static qint64 statusValue(const QByteArray& key)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(key)) {
            const QList<QByteArray> words = line.mid(key.size()).simplified().split(' ');
            return words.value(0).toLongLong();
        }
    }
    return -1;
}

int processThreadCount()
{
    return int(statusValue("Threads:"));
}

qint64 residentMemory()
{
    return statusValue("VmRSS:") * 1024;
}

int openDescriptorCount()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}
