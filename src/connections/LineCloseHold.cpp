#include "LineCloseHold.h"

#include <QFileInfo>
#include <QString>
#include <QThread>
#include <QtDebug>

void LineCloseHold::wait()
{
    static const QString path = qEnvironmentVariable("KORVALEN_TEST_HOLD_CLOSE");
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    qInfo("Line close held while %s exists", qPrintable(path));
    while (QFileInfo::exists(path))
        QThread::msleep(20);
    qInfo("Line close released");
}
