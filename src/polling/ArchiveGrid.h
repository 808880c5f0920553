#pragma once

#include <QByteArray>
#include <QString>

class ArchiveReader;
class QIODevice;

// The two tables built on the archive pivot: the browser's paged grid with its chart points and
// the CSV file.
class ArchiveGrid
{
public:
    // Most values (time stamps x listed parameters) one grid reply may hold: about 13 MB of
    // reply, built in memory and then handed to the connection.
    static constexpr qint64 MaxValues = 250000;

    struct Paging
    {
        bool enabled = false;        // "paggination" not 0
        qint64 offset = 0;           // pagenum x pagesize
        qint64 size = 0;             // pagesize
        qint64 knownTotal = -1;      // "calculatedTotalRows": -1 asks for the count
    };

    // The grid reply, Latin-1, from an open reader. With paging, reading stops at the page's
    // end; only the count of the total goes on, over the time stamps alone. An empty reply when
    // the reader failed, or when the reply would hold more than MaxValues (*tooLarge set).
    static QByteArray page(ArchiveReader& reader, const Paging& paging, bool* tooLarge);

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
