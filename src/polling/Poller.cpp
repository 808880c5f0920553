#include "Poller.h"

#include <QtDebug>

Poller::Poller(ConnectionManager* connections, QObject* parent) : QObject(parent)
{
    Q_UNUSED(connections);
}

void Poller::startPolling()
{
    qDebug() << "startPolling: polling is not available in this build";
}

void Poller::stopPolling()
{
    qDebug() << "***** stop polling() *****";
}

void Poller::visualTimerTimeout() {}
