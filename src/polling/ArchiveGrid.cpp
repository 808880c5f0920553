#include "ArchiveGrid.h"

#include "JsonText.h"
#include "ReplyWriter.h"
#include "polling/ArchiveFilter.h"
#include "polling/ArchiveReader.h"

#include <QByteArrayList>
#include <QIODevice>
#include <QTemporaryFile>

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

// The chart points, which follow every row in the reply: held in memory while they are few,
// else in a temporary file without a name on the disk.
class ChartSpool
{
public:
    QByteArray& buffer() { return m_buffer; }

    bool spill()
    {
        if (m_buffer.size() < ReplyWriter::HoldBytes)
            return true;
        if (!m_file.isOpen()) {
            if (!m_file.open())
                return false;
            m_buffer.reserve(ReplyWriter::HoldBytes + ReplyWriter::HoldBytes / 4);
        }
        const bool written = m_file.write(m_buffer) == m_buffer.size();
        m_buffer.resize(0);
        return written;
    }

    bool copyTo(ReplyWriter& out)
    {
        if (m_file.isOpen()) {
            if (m_file.write(m_buffer) != m_buffer.size() || !m_file.flush() || !m_file.seek(0))
                return false;
            m_buffer.clear();
            for (QByteArray part = m_file.read(partBytes); !part.isEmpty() && out.isOpen();
                 part = m_file.read(partBytes))
                out.append(part);
            if (m_file.error() != QFileDevice::NoError)
                return false;
        }
        for (int at = 0; at < m_buffer.size() && out.isOpen(); at += int(partBytes))
            out.append(QByteArray::fromRawData(m_buffer.constData() + at,
                                               int(qMin<qint64>(partBytes, m_buffer.size() - at))));
        return true;
    }

    QString errorString() const { return m_file.errorString(); }

private:
    static constexpr qint64 partBytes = 256 * 1024;
    QByteArray m_buffer;
    QTemporaryFile m_file;
};

} // namespace

bool ArchiveGrid::page(ArchiveReader& reader, const Paging& paging, ReplyWriter& out,
                       QString* error)
{
    QByteArrayList ids; // integers, checked by the filter
    for (const QString& id : reader.ids())
        ids << id.toLatin1();
    out.append("{\"Rows\":[");
    ChartSpool chart;
    qint64 rowsInReply = 0;
    // Session-break rows outside the page do not count for the position of the others.
    qint64 index = 0;
    qint64 breaksOff = 0;
    qint64 othersOff = 0;
    qint64 emitted = 0;
    const qint64 pageEnd = paging.offset + paging.size;
    while (out.isOpen() && reader.next()) {
        const qint64 position = index - breaksOff;
        const bool onPage = !paging.enabled || (paging.offset <= position && position < pageEnd);
        const bool isBreak = reader.isSessionBreak();
        if (onPage) {
            if (rowsInReply++ > 0)
                out.buffer() += ',';
            appendRow(out.buffer(), reader, ids);
            out.pass();
            if (!isBreak) {
                if (emitted > 0)
                    chart.buffer() += ',';
                appendChartPoint(chart.buffer(), reader, ids);
                ++emitted;
                if (!chart.spill()) {
                    *error = chart.errorString();
                    return false;
                }
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
                    break;
                othersOff += rest - breaks;
            }
            break;
        }
    }
    if (!reader.error().isEmpty()) {
        *error = reader.error();
        return false;
    }
    const qint64 total = paging.knownTotal == -1 ? emitted + othersOff : paging.knownTotal;
    out.append("], \"ChartData\":[");
    if (!chart.copyTo(out)) {
        *error = chart.errorString();
        return false;
    }
    out.append("], \"rowsCnt\":" + QByteArray::number(emitted) +
               ", \"calculatedTotalRows\":" + QByteArray::number(total) + '}');
    return true;
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
