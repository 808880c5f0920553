#include "ArchiveReport.h"

#include "polling/ArchiveManager.h"
#include "ReplyWriter.h"
#include "polling/ArchiveReader.h"

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

QString timeText(const QDateTime& time)
{
    return time.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

QString timeText(qint64 seconds)
{
    return timeText(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC));
}

QString numberText(double value)
{
    // Not a JSON number otherwise (an archived infinity).
    return std::isfinite(value) ? QString::number(value, 'g', 6) : QStringLiteral("null");
}

void appendGroup(QByteArray& reply, const QDateTime& start, const QDateTime& end,
                 const QStringList& ids, const QVector<Figures>& figures)
{
    QString out;
    out += QLatin1String("{\"timeRangeFrom\":\"") + timeText(start) +
           QLatin1String("\",\"timeRangeTo\":\"") + timeText(end) + QLatin1String("\",");
    for (int i = 0; i < ids.size(); ++i) {
        const QString& id = ids.at(i);
        const Figures& f = figures.at(i);
        if (i > 0)
            out += QLatin1Char(',');
        if (f.none) {
            out += QLatin1String("\"minDateTime_") + id + QLatin1String("\":\"---\",") +
                   QLatin1String("\"minValue_") + id + QLatin1String("\":\"---\",") +
                   QLatin1String("\"maxDateTime_") + id + QLatin1String("\":\"---\",") +
                   QLatin1String("\"maxValue_") + id + QLatin1String("\":\"---\",") +
                   QLatin1String("\"avg_") + id + QLatin1String("\":\"---\"");
        } else {
            out += QLatin1String("\"minDateTime_") + id + QLatin1String("\":\"") +
                   timeText(f.minTime) + QLatin1String("\",") + QLatin1String("\"minValue_") +
                   id + QLatin1String("\":") + numberText(f.min) + QLatin1Char(',') +
                   QLatin1String("\"maxDateTime_") + id + QLatin1String("\":\"") +
                   timeText(f.maxTime) + QLatin1String("\",") + QLatin1String("\"maxValue_") +
                   id + QLatin1String("\":") + numberText(f.max) + QLatin1Char(',') +
                   QLatin1String("\"avg_") + id + QLatin1String("\":") +
                   numberText(f.sum / double(f.count));
        }
    }
    out += QLatin1Char('}');
    reply += out.toLatin1();
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
    const QStringList& ids = reader.ids();
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
