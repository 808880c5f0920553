#include "ArchiveReport.h"

#include "ReplyWriter.h"
#include "polling/ArchiveManager.h"
#include "polling/ArchiveReader.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QVector>

#include <cmath>

namespace {

struct Figures
{
    bool none = true; // no valid value in the group yet
    double min = 0;
    double max = 0;
    double sum = 0;
    qint64 count = 0;
    qint64 minTime = 0;
    qint64 maxTime = 0;
};

// Dates of the proleptic Gregorian calendar from days since 1970-01-01.
void civilFromDays(qint64 z, qint64* y, int* m, int* d)
{
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    *d = int(doy - (153 * mp + 2) / 5 + 1);
    *m = int(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2);
}

void appendDigits(char* p, int value, int count)
{
    for (int i = count - 1; i >= 0; --i, value /= 10)
        p[i] = char('0' + value % 10);
}

// "dd.MM.yyyy hh:mm:ss" of UTC seconds, as QDateTime prints it: a report writes millions.
void appendTime(QByteArray& out, qint64 seconds)
{
    const qint64 days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const int inDay = int(seconds - days * 86400);
    qint64 y = 0;
    int m = 0;
    int d = 0;
    civilFromDays(days, &y, &m, &d);
    if (y < 1000 || y > 9999) { // not a time this program writes
        out += QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
                   .toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))
                   .toLatin1();
        return;
    }
    char text[19] = {0, 0, '.', 0, 0, '.', 0, 0, 0, 0, ' ', 0, 0, ':', 0, 0, ':', 0, 0};
    appendDigits(text, d, 2);
    appendDigits(text + 3, m, 2);
    appendDigits(text + 6, int(y), 4);
    appendDigits(text + 11, inDay / 3600, 2);
    appendDigits(text + 14, inDay / 60 % 60, 2);
    appendDigits(text + 17, inDay % 60, 2);
    out.append(text, int(sizeof text));
}

void appendTime(QByteArray& out, const QDateTime& time)
{
    if (time.isValid()) // an invalid one prints empty
        appendTime(out, time.toSecsSinceEpoch());
}

void appendNumber(QByteArray& out, double value)
{
    // Not a JSON number otherwise (an archived infinity).
    if (std::isfinite(value))
        out += QByteArray::number(value, 'g', 6);
    else
        out += "null";
}

void appendMember(QByteArray& out, const char* name, const QByteArray& id)
{
    out += '"';
    out += name;
    out += id;
    out += "\":";
}

void appendGroup(QByteArray& out, const QDateTime& start, const QDateTime& end,
                 const QByteArrayList& ids, const QVector<Figures>& figures)
{
    out += "{\"timeRangeFrom\":\"";
    appendTime(out, start);
    out += "\",\"timeRangeTo\":\"";
    appendTime(out, end);
    out += "\",";
    for (int i = 0; i < ids.size(); ++i) {
        const QByteArray& id = ids.at(i);
        const Figures& f = figures.at(i);
        if (i > 0)
            out += ',';
        if (f.none) {
            for (const char* name : {"minDateTime_", "minValue_", "maxDateTime_", "maxValue_"}) {
                appendMember(out, name, id);
                out += "\"---\",";
            }
            appendMember(out, "avg_", id);
            out += "\"---\"";
            continue;
        }
        const auto appendExtreme = [&](const char* timeName, qint64 time, const char* valueName,
                                       double value) {
            appendMember(out, timeName, id);
            out += '"';
            appendTime(out, time);
            out += "\",";
            appendMember(out, valueName, id);
            appendNumber(out, value);
            out += ',';
        };
        appendExtreme("minDateTime_", f.minTime, "minValue_", f.min);
        appendExtreme("maxDateTime_", f.maxTime, "maxValue_", f.max);
        appendMember(out, "avg_", id);
        appendNumber(out, f.sum / double(f.count));
    }
    out += '}';
}

int digits(const char* p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
qint64 daysFromCivil(qint64 y, int m, int d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace

bool ArchiveReport::epochSeconds(const QByteArray& dateTime, qint64* seconds)
{
    const char* t = dateTime.constData();
    if (dateTime.size() != 19 || t[4] != '-' || t[7] != '-' || t[10] != ' ' || t[13] != ':' ||
        t[16] != ':')
        return false;
    const int y = digits(t, 4);
    const int mo = digits(t + 5, 2);
    const int d = digits(t + 8, 2);
    const int h = digits(t + 11, 2);
    const int mi = digits(t + 14, 2);
    const int s = digits(t + 17, 2);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 24 || mi < 0 || mi > 59 ||
        s < 0 || s > 59)
        return false;
    *seconds = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

bool ArchiveReport::build(ArchiveReader& reader, const ArchiveManager& manager,
                          const QString& groupingType, int minutesStep, ReplyWriter& out)
{
    QByteArrayList ids; // integers, checked by the filter
    for (const QString& id : reader.ids())
        ids << id.toLatin1();
    // Days and weeks end 1 s before the next group: their last second still belongs to them.
    const bool lastSecondIncluded = groupingType == QLatin1String("days") ||
                                    groupingType == QLatin1String("weeks");
    QVector<Figures> figures(ids.size());
    out.append("[");
    bool open = false;
    QDateTime start;
    QDateTime end;
    qint64 closesAt = 0;
    qint64 groups = 0;
    const auto write = [&](const QDateTime& from, const QDateTime& to) {
        if (groups++ > 0)
            out.buffer() += ',';
        appendGroup(out.buffer(), from, to, ids, figures);
        out.pass();
    };

    while (out.isOpen() && reader.next()) {
        qint64 time = 0;
        if (!ArchiveReport::epochSeconds(reader.dateTime(), &time))
            continue; // not a time this program writes
        if (open && time >= closesAt) {
            write(start, end);
            open = false;
        }
        if (!open) {
            start = manager.getGroupStart(time, groupingType, minutesStep);
            end = manager.getGroupEnd(start, groupingType, minutesStep);
            closesAt = end.toSecsSinceEpoch() + (lastSecondIncluded ? 1 : 0);
            figures.fill(Figures());
            open = true;
        }
        for (int i = 0; i < ids.size(); ++i) {
            if (!reader.hasValue(i))
                continue;
            const double v = reader.valueMin(i);
            Figures& f = figures[i];
            if (f.none) {
                f = Figures{false, v, v, v, 1, time, time};
                continue;
            }
            // Equal values keep the earlier time.
            if (v < f.min) {
                f.min = v;
                f.minTime = time;
            }
            if (v > f.max) {
                f.max = v;
                f.maxTime = time;
            }
            f.sum += v;
            ++f.count;
        }
    }
    if (!reader.error().isEmpty())
        return false;
    if (!open) {
        // No row: one group without times, every parameter without a value.
        figures.fill(Figures());
        write(QDateTime(), QDateTime());
    } else {
        write(start, end);
    }
    out.append("]");
    return true;
}
