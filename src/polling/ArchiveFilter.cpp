#include "ArchiveFilter.h"

#include "Logs.h"
#include "ScriptArray.h"

#include <QDate>
#include <QTime>

namespace {

QByteArray refused(const QString& details)
{
    return Logs::errorJson(QStringLiteral("Query error"), details);
}

bool isDate(const QString& text)
{
    const QString format = QStringLiteral("yyyy-MM-dd");
    const QDate date = QDate::fromString(text, format);
    return date.isValid() && date.toString(format) == text;
}

bool isTime(const QString& text)
{
    const QString format = QStringLiteral("hh:mm:ss");
    const QTime time = QTime::fromString(text, format);
    return time.isValid() && time.toString(format) == text;
}

// Only digits with an optional minus: what the statement would have taken as an integer.
bool isId(const QString& text, qint64* value)
{
    if (text.isEmpty() || text.size() > 19)
        return false;
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (!(c >= '0' && c <= '9') && !(i == 0 && c == '-' && text.size() > 1))
            return false;
    }
    bool ok = false;
    *value = text.toLongLong(&ok, 10);
    return ok;
}

// "yyyy-MM-dd" alone (dates only) or followed by a blank and an empty or "hh:mm:ss" time: an
// empty time leaves the bound "yyyy-MM-dd ", which sorts before every time of that day.
QByteArray bound(const t_GetArray& GET, const char* dateKey, const char* timeKey, QString* out)
{
    const QString date = RequestParams::text(GET, dateKey);
    if (date.isEmpty())
        return QByteArray();
    if (!isDate(date))
        return refused(RequestParams::notAllowed(QLatin1String(dateKey), date,
                                                 QStringLiteral("a date yyyy-MM-dd")));
    *out = date;
    if (timeKey) {
        const QString time = RequestParams::text(GET, timeKey);
        if (!time.isEmpty() && !isTime(time))
            return refused(RequestParams::notAllowed(QLatin1String(timeKey), time,
                                                     QStringLiteral("a time hh:mm:ss")));
        *out += QLatin1Char(' ') + time;
    }
    return QByteArray();
}

} // namespace

QByteArray ArchiveFilter::readWithTimes(const t_GetArray& GET, ArchiveFilter* filter)
{
    return read(GET, true, filter);
}

QByteArray ArchiveFilter::readDates(const t_GetArray& GET, ArchiveFilter* filter)
{
    return read(GET, false, filter);
}

QByteArray ArchiveFilter::read(const t_GetArray& GET, bool withTimes, ArchiveFilter* filter)
{
    const ScriptArray list(GET.value("paramListStr"));
    if (!list.isArray())
        return Logs::errorJson(QStringLiteral("Parameters list error."), QString());
    if (list.count() == 0 || list.count() > MaxParameters)
        return refused(RequestParams::notAllowed(
            QStringLiteral("paramListStr"), RequestParams::text(GET, "paramListStr"),
            QStringLiteral("a list of 1 to %1 parameter ids").arg(MaxParameters)));
    for (int i = 0; i < list.count(); ++i) {
        const QString id = list.elementText(i);
        qint64 value = 0;
        if (!isId(id, &value))
            return refused(RequestParams::notAllowed(QStringLiteral("paramListStr[%1]").arg(i),
                                                     id, QStringLiteral("an integer id")));
        filter->ids << id;
        filter->idValues << value;
    }
    QByteArray reply = bound(GET, "startDate", withTimes ? "startTime" : nullptr, &filter->from);
    if (reply.isEmpty())
        reply = bound(GET, "endDate", withTimes ? "endTime" : nullptr, &filter->to);
    return reply;
}
