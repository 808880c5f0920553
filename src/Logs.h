#pragma once

#include "RequestParams.h"

#include <QObject>

// The shared reply builders of the web API and the event log (table Logs).
class Logs : public QObject
{
    Q_OBJECT
public:
    enum Type
    {
        Info = 1,
        Alarm = 2,
        Warn = 3,
        Error = 4
    };

    explicit Logs(QObject* parent = nullptr) : QObject(parent) {}

    static QByteArray successJson(const QString& message, const QString& details);
    static QByteArray errorJson(const QString& message, const QString& details);

    // One event-log line; the message is stored escaped for JSON, so readers put it in as is.
    // False when the database did not take it, which is then told on standard error.
    static bool addLog(int type, const QString& message);
    // The same without a line of its own on failure: for texts already printed.
    static bool storeLog(int type, const QString& message, QString* error = nullptr);

    // The message as the event log stores it.
    static QString escapeLogMessage(const QString& message);

    // "getLogsGridData" (remove false) and "deleteLogsEnries" (remove true).
    // Keys: startDate, endDate, startTime, endTime, eventsType (10 = all), descContains.
    // Reply: [{"idLogs":..,"type":..,"message":..,"dateTime":..},...] or {"success":true}.
    static QByteArray getLogsGridData_j(t_GetArray& GET, bool remove);

private:
    static QByteArray replyJson(const char* first, const QString& message, const QString& details);
};
