#include "Logs.h"

#include "Database.h"
#include "JsonText.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

QByteArray Logs::replyJson(const char* first, const QString& message, const QString& details)
{
    QString out = QLatin1String("{\"") + QLatin1String(first) + QLatin1String("\":true");
    if (!message.isEmpty())
        out += QLatin1String(",\"message\":\"") + JsonText::escape(message) + QLatin1Char('"');
    if (!details.isEmpty())
        out += QLatin1String(",\"details\":\"") + JsonText::escape(details) + QLatin1Char('"');
    out += QLatin1Char('}');
    return out.toUtf8();
}

QByteArray Logs::successJson(const QString& message, const QString& details)
{
    return replyJson("success", message, details);
}

QByteArray Logs::errorJson(const QString& message, const QString& details)
{
    return replyJson("error", message, details);
}

QString Logs::escapeLogMessage(const QString& message)
{
    // Backslash, quote, line feed, carriage return and tab as the event log has always stored
    // them, and every other control character as JSON writes it, so that the stored text is
    // always a valid JSON string, which the log grid puts in as it is; and "/" as "\/".
    QString m = JsonText::escape(message);
    m.replace(QLatin1Char('/'), QLatin1String("\\/"));
    return m;
}

bool Logs::addLog(int type, const QString& message)
{
    QString error;
    if (storeLog(type, message, &error))
        return true;
    qWarning() << "addLog:" << error;
    return false;
}

bool Logs::storeLog(int type, const QString& message, QString* error)
{
    const char* word = "info";
    switch (type) {
    case Alarm:
        word = "alarm";
        break;
    case Warn:
        word = "warn";
        break;
    case Error:
        word = "error";
        break;
    default:
        break;
    }
    QSqlQuery q(Database::connection());
    if (!Database::exec(q, QStringLiteral("INSERT INTO Logs (type, message) VALUES(?, ?)"),
                        {QLatin1String(word), escapeLogMessage(message)})) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    return true;
}

QByteArray Logs::getLogsGridData_j(t_GetArray& GET, bool remove)
{
    const QString startDate = RequestParams::text(GET, "startDate");
    const QString endDate = RequestParams::text(GET, "endDate");
    const QString startTime = RequestParams::text(GET, "startTime");
    const QString endTime = RequestParams::text(GET, "endTime");
    const int eventsType = RequestParams::toInt(GET, "eventsType");
    const QString descContains = RequestParams::text(GET, "descContains");

    QString sql =
        remove ? QStringLiteral("DELETE FROM Logs ") : QStringLiteral("SELECT * FROM Logs ");
    QString cond;
    QVariantList values;
    if (!startDate.isEmpty()) {
        cond += QLatin1String("WHERE dateTime >= ? ");
        values << startDate + QLatin1Char(' ') + startTime;
    }
    if (!endDate.isEmpty()) {
        cond += startDate.isEmpty() ? QLatin1String("WHERE dateTime <= ? ")
                                    : QLatin1String("AND dateTime <= ? ");
        values << endDate + QLatin1Char(' ') + endTime;
    }
    if (eventsType != 10) {
        // Any other type leaves the connector without a term: the statement fails, as it should.
        cond += cond.isEmpty() ? QLatin1String(" WHERE ") : QLatin1String(" AND ");
        switch (eventsType) {
        case Info:
            cond += QLatin1String("type = 'info' ");
            break;
        case Alarm:
            cond += QLatin1String("type = 'alarm' ");
            break;
        case Warn:
            cond += QLatin1String("type = 'warn' ");
            break;
        case Error:
            cond += QLatin1String("type = 'error' ");
            break;
        default:
            break;
        }
    }
    if (!descContains.isEmpty()) {
        cond += cond.isEmpty() ? QLatin1String(" WHERE message LIKE ? ")
                               : QLatin1String(" AND message LIKE ? ");
        values << QLatin1String("%%") + descContains + QLatin1String("%%");
    }
    sql += cond;
    if (!remove)
        sql += QLatin1String(" ORDER BY dateTime DESC");

    QSqlQuery q(Database::connection());
    if (!Database::exec(q, sql, values))
        return errorJson(QStringLiteral("Query error"), q.lastError().text());
    if (remove)
        return QByteArrayLiteral("{\"success\":true}");
    // Messages are stored escaped already.
    return (QLatin1Char('[') + JsonText::rowObjects(q, false) + QLatin1Char(']')).toUtf8();
}
