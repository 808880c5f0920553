#include "ArchiveGrid.h"

#include "JsonText.h"
#include "polling/ArchiveFilter.h"
#include "polling/ArchiveReader.h"

#include <QIODevice>

namespace {

QString jsonText(const QByteArray& stored)
{
    // Times as stored: escaped in case an imported file holds something else.
    return JsonText::escape(QString::fromUtf8(stored));
}

QString number(const ArchiveReader& reader, int column)
{
    QByteArray text;
    if (reader.hasValue(column))
        ArchiveReader::appendNumber(text, reader.valueSum(column));
    return QString::fromLatin1(text);
}

QString flagText(const ArchiveReader& reader, int column)
{
    return reader.hasFlag(column) ? QString::number(reader.flagSum(column)) : QString();
}

// Every column of the pivot row: "dateTime", then the value and the flag of each parameter.
void appendRow(QString& out, const ArchiveReader& reader, const QStringList& ids)
{
    out += QLatin1String("{\"dateTime\":\"") + jsonText(reader.dateTime()) + QLatin1Char('"');
    for (int i = 0; i < ids.size(); ++i) {
        out += QLatin1String(",\"") + ids.at(i) + QLatin1String("\":\"") + number(reader, i) +
               QLatin1String("\",\"") + ids.at(i) + QLatin1String("_flag\":\"") +
               flagText(reader, i) + QLatin1Char('"');
    }
    out += QLatin1Char('}');
}

void appendChartPoint(QString& out, const ArchiveReader& reader, const QStringList& ids)
{
    out += QLatin1String("{\"dateTime\":\"") + jsonText(reader.dateTime()) + QLatin1Char('"');
    QByteArray cell;
    for (int i = 0; i < ids.size(); ++i) {
        cell.resize(0);
        reader.appendCell(cell, i);
        out += QLatin1String(",\"") + ids.at(i) + QLatin1String("\":\"") +
               QString::fromLatin1(cell) + QLatin1Char('"');
    }
    out += QLatin1Char('}');
}

} // namespace

QString ArchiveGrid::page(ArchiveReader& reader, const Paging& paging)
{
    const QStringList& ids = reader.ids();
    QString rows = QStringLiteral("{\"Rows\":[");
    QString chart;
    bool firstRow = true;
    // Session-break rows outside the page do not count for the position of the others.
    qint64 index = 0;
    qint64 breaksOff = 0;
    qint64 othersOff = 0;
    qint64 emitted = 0;
    while (reader.next()) {
        const qint64 position = index - breaksOff;
        const bool onPage = !paging.enabled || (paging.offset <= position &&
                                                position < paging.offset + paging.size);
        const bool isBreak = reader.isSessionBreak();
        if (onPage) {
            if (!firstRow)
                rows += QLatin1Char(',');
            firstRow = false;
            appendRow(rows, reader, ids);
            if (!isBreak) {
                if (emitted > 0)
                    chart += QLatin1Char(',');
                appendChartPoint(chart, reader, ids);
                ++emitted;
            }
        } else if (isBreak) {
            ++breaksOff;
        } else {
            ++othersOff;
        }
        if (paging.enabled && emitted >= paging.size) {
            // Every later row lies beyond the page: it counts for the total, if asked, and
            // only its time stamp and its flag need reading.
            if (paging.knownTotal == -1) {
                qint64 rows = 0;
                qint64 breaks = 0;
                if (!reader.countRest(&rows, &breaks))
                    return QString();
                othersOff += rows - breaks;
            }
            break;
        }
        ++index;
    }
    if (!reader.error().isEmpty())
        return QString();
    const qint64 total = paging.knownTotal == -1 ? emitted + othersOff : paging.knownTotal;
    return rows + QLatin1String("], \"ChartData\":[") + chart +
           QLatin1String("], \"rowsCnt\":") + QString::number(emitted) +
           QLatin1String(", \"calculatedTotalRows\":") + QString::number(total) +
           QLatin1Char('}');
}

bool ArchiveGrid::writeCsv(ArchiveReader& reader, const CsvFormat& format, QIODevice& file)
{
    if (file.write(format.captions + "\r\n") < 0)
        return false;
    QByteArray line;
    line.reserve(4096); // kept across lines
    while (reader.next()) {
        if (reader.isSessionBreak())
            continue;
        line.resize(0);
        line += reader.dateTime();
        for (int i = 0; i < reader.columns(); ++i) {
            line += format.separator;
            reader.appendCell(line, i, format.decimalComma);
        }
        line += "\r\n";
        if (file.write(line) != line.size())
            return false;
    }
    return reader.error().isEmpty();
}
