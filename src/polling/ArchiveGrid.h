#pragma once

#include <QByteArray>
#include <QString>

class ArchiveReader;
class QIODevice;
class ReplyWriter;

// The two tables built on the archive pivot: the browser's paged grid with its chart points and
// the CSV file.
class ArchiveGrid
{
public:
    struct Paging
    {
        bool enabled = false;        // "paggination" not 0
        qint64 offset = 0;           // pagenum x pagesize
        qint64 size = 0;             // pagesize
        qint64 knownTotal = -1;      // "calculatedTotalRows": -1 asks for the count
    };

    // Writes the grid reply, Latin-1, from an open reader, in bounded memory whatever its size:
    // the rows go out as they are read, the chart points, which follow them, wait in a
    // temporary file once they outgrow memory. With paging, reading stops at the page's end;
    // only the count of the total goes on, over the time stamps alone. False with *error set
    // when the reader or the temporary file failed; what was written is then incomplete.
    static bool page(ArchiveReader& reader, const Paging& paging, ReplyWriter& out, QString* error);

    struct CsvFormat
    {
        QByteArray captions;         // "colNamesStr", the first line as received
        QByteArray separator;        // "colSep"
        bool decimalComma = false;   // "decSep" anything but "."
    };

    // Writes the CSV file from an open reader, one write per line; false when the reader or
    // the device failed.
    static bool writeCsv(ArchiveReader& reader, const CsvFormat& format, QIODevice& file);
};
