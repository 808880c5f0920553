#include "BoundedReply.h"

#include <QNetworkReply>

BoundedReply::BoundedReply(QNetworkReply* reply, qint64 maxBytes, int deadlineMs)
    : QObject(reply), m_reply(reply), m_maxBytes(qMax<qint64>(maxBytes, 0))
{
    connect(reply, &QIODevice::readyRead, this, &BoundedReply::readAvailable);
    if (deadlineMs > 0) {
        m_deadline.setSingleShot(true);
        connect(&m_deadline, &QTimer::timeout, this, &BoundedReply::refuse);
        m_deadline.start(deadlineMs);
    }
}

BoundedReply* BoundedReply::of(QNetworkReply* reply)
{
    return reply->findChild<BoundedReply*>(QString(), Qt::FindDirectChildrenOnly);
}

QByteArray BoundedReply::takeBody()
{
    readAvailable();
    m_deadline.stop();
    return m_refused ? QByteArray() : std::move(m_body);
}

void BoundedReply::readAvailable()
{
    while (m_reply->bytesAvailable() > 0) {
        if (m_refused) {
            m_reply->readAll(); // dropped: only the refusal matters now
            continue;
        }
        const qint64 room = m_maxBytes - m_body.size();
        // One byte more than fits tells a body at the bound from one beyond it.
        const QByteArray chunk = m_reply->read(qMin<qint64>(room + 1, 1 << 20));
        if (chunk.isEmpty())
            break;
        if (chunk.size() > room) {
            refuse();
            continue;
        }
        m_body += chunk;
    }
}

void BoundedReply::refuse()
{
    if (m_refused)
        return;
    m_refused = true;
    m_body.clear();
    m_body.squeeze();
    m_deadline.stop();
    // Queued: the reply may be inside the emission that brought us here.
    if (!m_reply->isFinished())
        QMetaObject::invokeMethod(m_reply, &QNetworkReply::abort, Qt::QueuedConnection);
}
