#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QNetworkReply;

// Collects the body of a network reply within a size bound and, when given, a deadline from the
// request on. Past either the reply is aborted and counts as refused however it then finishes;
// bytes beyond the bound are never kept, however fast they arrive.
class BoundedReply : public QObject
{
    Q_OBJECT
public:
    // Becomes a child of the reply and goes with it. deadlineMs 0: no deadline.
    BoundedReply(QNetworkReply* reply, qint64 maxBytes, int deadlineMs = 0);

    // The one attached to the reply, or null.
    static BoundedReply* of(QNetworkReply* reply);

    bool isRefused() const { return m_refused; }
    // The whole body once the reply has finished; empty when refused.
    QByteArray takeBody();

private:
    void readAvailable();
    void refuse();

    QNetworkReply* m_reply;
    qint64 m_maxBytes;
    QByteArray m_body;
    bool m_refused = false;
    QTimer m_deadline;
};
