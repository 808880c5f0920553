#include "ArchiveGrid.h"

#include "JsonText.h"
#include "polling/ArchiveFilter.h"
#include "polling/ArchiveReader.h"

#include <QByteArrayList>
#include <QIODevice>

namespace {

void appendDateTime(QByteArray& out, const QByteArray& stored)
{
    for (const char c : stored) {
        const uchar u = uchar(c);
        if (u < 0x20 || u >= 0x80 || c == '"' || c == '\\') {
            // Not a time this program writes (an imported file): escaped, in Latin-1 as the
            // whole reply.
            out += JsonText::escape(QString::fromUtf8(stored)).toLatin1();
            return;
        }
    }
    out += stored;
}

// Every column of the pivot row: "dateTime", then the value and the flag of each parameter.
void appendRow(QByteArray& out, const ArchiveReader& reader, const QByteArrayList& ids)
{
    out += "{\"dateTime\":\"";
    appendDateTime(out, reader.dateTime());
    out += '"';
    for (int i = 0; i < ids.size(); ++i) {
        out += ",\"";
        out += ids.at(i);
        out += "\":\"";
        if (reader.hasValue(i))
            ArchiveReader::appendNumber(out, reader.valueSum(i));
        out += "\",\"";
        out += ids.at(i);
        out += "_flag\":\"";
        if (reader.hasFlag(i))
            out += QByteArray::number(reader.flagSum(i));
        out += '"';
    }
    out += '}';
}

void appendChartPoint(QByteArray& out, const ArchiveReader& reader, const QByteArrayList& ids)
{
    out += "{\"dateTime\":\"";
    appendDateTime(out, reader.dateTime());
    out += '"';
    for (int i = 0; i < ids.size(); ++i) {
        out += ",\"";
        out += ids.at(i);
        out += "\":\"";
        reader.appendCell(out, i);
        out += '"';
    }
    out += '}';
}

} // namespace

QByteArray ArchiveGrid::page(ArchiveReader& reader, const Paging& paging, bool* tooLarge)
{
    *tooLarge = false;
    QByteArrayList ids; // integers, checked by the filter
    for (const QString& id : reader.ids())
        ids << id.toLatin1();
    const qint64 columns = qMax(1, ids.size());
    QByteArray rows = "{\"Rows\":[";
    QByteArray chart;
    qint64 rowsInReply = 0;
    // Session-break rows outside the page do not count for the position of the others.
    qint64 index = 0;
    qint64 breaksOff = 0;
    qint64 othersOff = 0;
    qint64 emitted = 0;
    const qint64 pageEnd = paging.offset + paging.size;
    while (reader.next()) {
        const qint64 position = index - breaksOff;
        const bool onPage = !paging.enabled || (paging.offset <= position && position < pageEnd);
        const bool isBreak = reader.isSessionBreak();
        if (onPage) {
            // Counted before the row is added: a refused reply never grows past the bound.
            if ((rowsInReply + 1) * columns > MaxValues) {
                *tooLarge = true;
                return QByteArray();
            }
            if (rowsInReply++ > 0)
                rows += ',';
            appendRow(rows, reader, ids);
            if (!isBreak) {
                if (emitted > 0)
                    chart += ',';
                appendChartPoint(chart, reader, ids);
                ++emitted;
            }
        } else if (isBreak) {
            ++breaksOff;
        } else {
            ++othersOff;
        }
        ++index;
        // The next row's position has reached the page's end, and positions never go back: no
        // later row is on the page, also when a session break on it left a chart point out.
        // The later rows count for the total, if asked, from their time stamps and flags alone.
        if (paging.enabled && index - breaksOff >= pageEnd) {
            if (paging.knownTotal == -1) {
                qint64 rest = 0;
                qint64 breaks = 0;
                if (!reader.countRest(&rest, &breaks))
                    return QByteArray();
                othersOff += rest - breaks;
            }
            break;
        }
    }
    if (!reader.error().isEmpty())
        return QByteArray();
    const qint64 total = paging.knownTotal == -1 ? emitted + othersOff : paging.knownTotal;
    rows += "], \"ChartData\":[";
    rows += chart;
    rows += "], \"rowsCnt\":" + QByteArray::number(emitted) + ", \"calculatedTotalRows\":" +
            QByteArray::number(total) + '}';
    return rows;
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
