#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

class ArchiveFilter;
class QVariant;
struct sqlite3;
struct sqlite3_stmt;

// The archive as its views see it: one row per time stamp in ascending order, with, for every
// listed parameter, the sum and the minimum of its values and the sum of its flags at that time
// (NULL when it has no row there). The grid, the CSV file and the report are built on it.
//
// Rows are streamed: only the current time stamp is held, so a reader may stop after a page or
// go through millions of rows in constant memory. Everything is read in one read transaction on
// this thread's connection, which in WAL mode never keeps the archive writer waiting. With the
// archive index each parameter's rows come in time order from the index alone and are merged
// here; without it one statement sorts them.
class ArchiveReader
{
public:
    // validOnly: rows with flag 0 alone, values without their flags (the report).
    ArchiveReader(const ArchiveFilter& filter, bool validOnly);
    ~ArchiveReader();

    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Starts the read; false with error() set when a statement cannot run.
    bool open();
    // Moves to the next time stamp; false at the end, or on a failure with error() set.
    bool next();
    // Counts the time stamps after the current one, and those among them that are session
    // breaks, reading their times alone; the reader is at its end afterwards.
    bool countRest(qint64* rows, qint64* breaks);
    // The database's error text, as "Query error" replies carry it; empty while none.
    QString error() const { return m_error; }

    // The current time stamp as stored ("yyyy-MM-dd hh:mm:ss").
    const QByteArray& dateTime() const { return m_dateTime; }
    int columns() const { return int(m_columnSlot.size()); }
    // The listed ids as received: the names of the columns.
    const QStringList& ids() const;
    bool hasValue(int column) const { return slot(column).hasValue; }
    double valueSum(int column) const { return slot(column).sum; }
    double valueMin(int column) const { return slot(column).min; }
    bool hasFlag(int column) const { return slot(column).hasFlag; }
    qint64 flagSum(int column) const { return slot(column).flagSum; }
    // The flag as the cell rule reads it: a missing one reads 0.
    int flag(int column) const { return hasFlag(column) ? int(flagSum(column)) : 0; }
    // A row whose first listed parameter has flag 6: written when polling stopped.
    bool isSessionBreak() const { return flag(0) == SessionBreakFlag; }

    // Appends the cell by the cell rule: the value's text for flag 0 (nothing without a value),
    // "---" for 2 (not available), "???" for any other flag. decimalComma turns the value's
    // decimal point into a comma.
    void appendCell(QByteArray& out, int column, bool decimalComma = false) const;

    // A number's text as the views write it, the shortest that reads back as the same double
    // ("230.5", "1e+06"): QVariant::toString's text.
    static void appendNumber(QByteArray& out, double value);

    static constexpr int SessionBreakFlag = 6;

private:
    struct Slot
    {
        double sum = 0;
        double min = 0;
        qint64 flagSum = 0;
        bool hasValue = false;
        bool hasFlag = false;
        bool touched = false;
    };
    struct Cursor
    {
        sqlite3_stmt* stmt = nullptr;
        int slot = -1; // -1: the slot comes from the row's idParameter (one sorted statement)
        const char* key = nullptr;
        int keyLength = 0;
    };

    const Slot& slot(int column) const;
    bool prepare(const QByteArray& sql, sqlite3_stmt** stmt);
    bool bind(sqlite3_stmt* stmt, int index, const QByteArray& text);
    // Whether a statement with one value to bind (a text or an integer) gives a row.
    bool anyRow(const char* sql, const QVariant& value, bool* found);
    // Prepares the cursors of every known parameter within the filter's bounds; with keysOnly
    // their times alone; with afterCurrent past the current time stamp.
    bool openCursors(bool keysOnly, bool afterCurrent);
    // The bounds' conditions with their texts to bind (null when not bound).
    QByteArray bounds(bool afterCurrent, QByteArray* lower, QByteArray* upper) const;
    bool addCursor(sqlite3_stmt* stmt, int slot);
    void closeCursors();
    // Reads the cursor's next row into its key; false when it has none (or on failure).
    bool step(Cursor& cursor);
    void accumulate(const Cursor& cursor);
    // Moves every cursor past the smallest time stamp, into m_dateTime; accumulates its rows
    // unless keysOnly. False at the end or on failure.
    bool advance(bool accumulateRows);
    bool countBreaks(bool afterCurrent, qint64* breaks);
    void fail();

    const ArchiveFilter& m_filter;
    const bool m_validOnly;
    sqlite3* m_db = nullptr;
    bool m_inTransaction = false;
    bool m_indexed = false;
    bool m_started = false;
    QString m_error;

    std::vector<int> m_columnSlot; // listed column -> slot, -1 for an unknown parameter
    std::vector<Slot> m_slots;
    QHash<qint64, int> m_slotOfId;
    std::vector<Cursor> m_cursors; // those with a current row
    int m_idColumn = 0;            // where the sorted statement gives idParameter
    std::vector<int> m_touched;
    QByteArray m_dateTime;
    bool m_dateTimeNull = false;
    Slot m_none;
};
