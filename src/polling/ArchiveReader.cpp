#include "ArchiveReader.h"

#include "Database.h"
#include "DatabaseSchema.h"
#include "polling/ArchiveFilter.h"

#include <QVariant>
#include <QtEndian>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <sqlite3.h>

namespace {

constexpr int noSlot = -1;

quint64 bigEndianWord(const char* p)
{
    quint64 v;
    std::memcpy(&v, p, sizeof v);
    return qFromBigEndian(v);
}

// Orders time stamps as ORDER BY does: NULL first, then bytewise. Stored times are 19 bytes,
// compared as three words: millions of rows are merged on this.
inline int compareKeys(const char* a, int aLength, const char* b, int bLength)
{
    if (!a || !b)
        return int(a != nullptr) - int(b != nullptr);
    if (aLength == 19 && bLength == 19) {
        quint64 x = bigEndianWord(a);
        quint64 y = bigEndianWord(b);
        if (x == y) {
            x = bigEndianWord(a + 8);
            y = bigEndianWord(b + 8);
        }
        if (x == y) { // overlaps the last word: bytes 8 to 15 are equal by then
            x = bigEndianWord(a + 11);
            y = bigEndianWord(b + 11);
        }
        return x == y ? 0 : x < y ? -1 : 1;
    }
    const int n = std::memcmp(a, b, size_t(std::min(aLength, bLength)));
    return n != 0 ? n : aLength - bLength;
}

// Lays out the shortest significant digits as QString::number(d, 'g', FloatingPointShortest)
// does: the decimal form unless the exponent form is clearly shorter.
void appendShortest(QByteArray& out, bool negative, const char* digits, int count,
                    int decimalPoint)
{
    int bias = 4;
    if (count <= decimalPoint)
        ++bias;
    const bool decimal =
        decimalPoint <= 0 ? 1 - decimalPoint <= bias : decimalPoint <= count + bias;

    char text[48];
    char* o = text;
    if (negative)
        *o++ = '-';
    if (decimal) {
        if (decimalPoint <= 0) {
            *o++ = '0';
            *o++ = '.';
            for (int i = 0; i < -decimalPoint; ++i)
                *o++ = '0';
            std::memcpy(o, digits, size_t(count));
            o += count;
        } else if (decimalPoint >= count) {
            std::memcpy(o, digits, size_t(count));
            o += count;
            for (int i = count; i < decimalPoint; ++i)
                *o++ = '0';
        } else {
            std::memcpy(o, digits, size_t(decimalPoint));
            o += decimalPoint;
            *o++ = '.';
            std::memcpy(o, digits + decimalPoint, size_t(count - decimalPoint));
            o += count - decimalPoint;
        }
    } else {
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, size_t(count - 1));
            o += count - 1;
        }
        const int exponent = decimalPoint - 1;
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        const int e = exponent < 0 ? -exponent : exponent;
        if (e < 10)
            *o++ = '0'; // at least two exponent digits
        o = std::to_chars(o, text + sizeof text, e).ptr;
    }
    out.append(text, int(o - text));
}

// Values with a few decimals (most archived values): the smallest k for which value equals
// n / 10^k with an integer n below 2^53. That division is exact rounding, so n's digits are
// the shortest that read back as the value.
bool shortDecimal(double magnitude, char* digits, int* count, int* decimalPoint)
{
    constexpr double limit = 9007199254740992.0; // 2^53
    static constexpr double powers[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    for (int k = 0; k < int(std::size(powers)); ++k) {
        const double scaled = magnitude * powers[k];
        if (scaled >= limit)
            return false;
        const double n = std::nearbyint(scaled);
        if (n / powers[k] != magnitude)
            continue;
        const auto r = std::to_chars(digits, digits + 20, quint64(n));
        int c = int(r.ptr - digits);
        *decimalPoint = c - k;
        while (c > 1 && digits[c - 1] == '0') // only integers end in zeros here
            --c;
        *count = c;
        return true;
    }
    return false;
}

} // namespace

ArchiveReader::ArchiveReader(const ArchiveFilter& filter, bool validOnly)
    : m_filter(filter), m_validOnly(validOnly)
{
}

ArchiveReader::~ArchiveReader()
{
    closeCursors();
    if (m_inTransaction)
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
}

const QStringList& ArchiveReader::ids() const
{
    return m_filter.ids;
}

const ArchiveReader::Slot& ArchiveReader::slot(int column) const
{
    const int s = m_columnSlot[size_t(column)];
    return s == noSlot ? m_none : m_slots[size_t(s)];
}

void ArchiveReader::fail()
{
    // The text QSqlError::text() gives for a failed statement, as the other replies carry it.
    m_error = QString::fromUtf8(sqlite3_errmsg(m_db)) +
              QStringLiteral(" Unable to execute statement");
    closeCursors();
}

void ArchiveReader::closeCursors()
{
    for (Cursor& c : m_cursors)
        sqlite3_finalize(c.stmt);
    m_cursors.clear();
}

bool ArchiveReader::prepare(const QByteArray& sql, sqlite3_stmt** stmt)
{
    if (sqlite3_prepare_v2(m_db, sql.constData(), sql.size(), stmt, nullptr) == SQLITE_OK)
        return true;
    sqlite3_finalize(*stmt);
    *stmt = nullptr;
    fail();
    return false;
}

bool ArchiveReader::bind(sqlite3_stmt* stmt, int index, const QByteArray& text)
{
    if (sqlite3_bind_text(stmt, index, text.constData(), text.size(), SQLITE_TRANSIENT) ==
        SQLITE_OK)
        return true;
    fail();
    return false;
}

bool ArchiveReader::anyRow(const char* sql, const QVariant& value, bool* found)
{
    sqlite3_stmt* stmt = nullptr;
    if (!prepare(sql, &stmt))
        return false;
    if (value.type() == QVariant::String) {
        const QByteArray text = value.toString().toUtf8();
        sqlite3_bind_text(stmt, 1, text.constData(), text.size(), SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_int64(stmt, 1, value.toLongLong());
    }
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        fail();
        return false;
    }
    *found = rc == SQLITE_ROW;
    return true;
}

bool ArchiveReader::open()
{
    m_db = Database::handle(Database::connection());
    if (!m_db) {
        m_error = QStringLiteral("The database is not open");
        return false;
    }
    // One read transaction: every cursor sees the archive as it was at the first read.
    if (sqlite3_get_autocommit(m_db)) {
        if (sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail();
            return false;
        }
        m_inTransaction = true;
    }
    if (!anyRow("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?",
                QString::fromLatin1(DatabaseSchema::archiveIndexName), &m_indexed))
        return false;

    for (qint64 id : m_filter.idValues) {
        auto it = m_slotOfId.constFind(id);
        if (it == m_slotOfId.constEnd()) {
            // The views join the archive to its parameter and device: rows of a parameter
            // that is no longer configured are not shown.
            bool exists = false;
            if (!anyRow("SELECT 1 FROM ConfiguredParameters JOIN Devices ON "
                        "ConfiguredParameters.idDevice = Devices.idDevices WHERE idParameters = ?",
                        id, &exists))
                return false;
            it = m_slotOfId.insert(id, exists ? int(m_slots.size()) : noSlot);
            if (exists)
                m_slots.emplace_back();
        }
        m_columnSlot.push_back(it.value());
    }
    return openCursors(false, false);
}

bool ArchiveReader::openCursors(bool keysOnly, bool afterCurrent)
{
    if (m_slots.empty())
        return true;
    QByteArray columns = keysOnly ? "dateTime" : m_validOnly ? "dateTime, value"
                                                             : "dateTime, value, flag";
    QByteArray conditions;
    if (m_validOnly)
        conditions += " AND flag = 0";
    QByteArray lower;
    QByteArray upper;
    conditions += bounds(afterCurrent, &lower, &upper);

    const auto bindBounds = [&](sqlite3_stmt* stmt, int index) {
        return (lower.isNull() || bind(stmt, index++, lower)) &&
               (upper.isEmpty() || bind(stmt, index, upper));
    };

    if (m_indexed) {
        // Each parameter's rows in time order straight from the index, merged in advance().
        const QByteArray sql = "SELECT " + columns +
                               " FROM ArchiveData WHERE idParameter = ?" + conditions +
                               " ORDER BY dateTime";
        for (auto it = m_slotOfId.cbegin(); it != m_slotOfId.cend(); ++it) {
            if (it.value() == noSlot)
                continue;
            sqlite3_stmt* stmt = nullptr;
            if (!prepare(sql, &stmt))
                return false;
            sqlite3_bind_int64(stmt, 1, it.key());
            if (!bindBounds(stmt, 2) || !addCursor(stmt, it.value()))
                return false;
        }
        return true;
    }

    QByteArray placeholders;
    for (size_t i = 0; i < m_slots.size(); ++i)
        placeholders += i ? ",?" : "?";
    m_idColumn = int(columns.count(',')) + 1;
    const QByteArray sql = "SELECT " + columns +
                           ", idParameter FROM ArchiveData WHERE idParameter IN (" +
                           placeholders + ")" + conditions + " ORDER BY dateTime";
    sqlite3_stmt* stmt = nullptr;
    if (!prepare(sql, &stmt))
        return false;
    int index = 1;
    for (auto it = m_slotOfId.cbegin(); it != m_slotOfId.cend(); ++it) {
        if (it.value() != noSlot)
            sqlite3_bind_int64(stmt, index++, it.key());
    }
    return bindBounds(stmt, index) && addCursor(stmt, noSlot);
}

bool ArchiveReader::addCursor(sqlite3_stmt* stmt, int slot)
{
    Cursor cursor{stmt, slot, nullptr, 0};
    const bool hasRow = step(cursor);
    if (!m_error.isEmpty()) {
        sqlite3_finalize(stmt);
        return false;
    }
    if (hasRow)
        m_cursors.push_back(cursor);
    else
        sqlite3_finalize(stmt);
    return true;
}

bool ArchiveReader::step(Cursor& cursor)
{
    const int rc = sqlite3_step(cursor.stmt);
    if (rc == SQLITE_ROW) {
        cursor.key = reinterpret_cast<const char*>(sqlite3_column_text(cursor.stmt, 0));
        cursor.keyLength = sqlite3_column_bytes(cursor.stmt, 0);
        return true;
    }
    if (rc != SQLITE_DONE)
        fail();
    return false;
}

void ArchiveReader::accumulate(const Cursor& cursor)
{
    sqlite3_stmt* stmt = cursor.stmt;
    int s = cursor.slot;
    if (s == noSlot)
        s = m_slotOfId.value(sqlite3_column_int64(stmt, m_idColumn), noSlot);
    if (s == noSlot)
        return;
    Slot& slot = m_slots[size_t(s)];
    if (!slot.touched) {
        slot.touched = true;
        m_touched.push_back(s);
    }
    // SUM and MIN skip NULLs: a NULL value leaves the value alone, likewise a NULL flag. One
    // column call each: the value calls on its result cost less than column calls.
    sqlite3_value* value = sqlite3_column_value(stmt, 1);
    if (sqlite3_value_type(value) != SQLITE_NULL) {
        const double v = sqlite3_value_double(value);
        if (!slot.hasValue) {
            slot.sum = slot.min = v;
            slot.hasValue = true;
        } else {
            slot.sum += v;
            slot.min = std::min(slot.min, v);
        }
    }
    if (m_validOnly) {
        slot.hasFlag = true; // 0, by the statement
    } else {
        sqlite3_value* flag = sqlite3_column_value(stmt, 2);
        if (sqlite3_value_type(flag) != SQLITE_NULL) {
            slot.flagSum += sqlite3_value_int64(flag);
            slot.hasFlag = true;
        }
    }
}

bool ArchiveReader::advance(bool accumulateRows)
{
    for (int s : m_touched)
        m_slots[size_t(s)] = Slot();
    m_touched.clear();
    if (m_cursors.empty())
        return false;
    m_started = true;

    // Rows of one time stamp usually come from every cursor at once: a scan for the smallest
    // key costs less here than a heap.
    const Cursor* first = &m_cursors.front();
    for (const Cursor& c : m_cursors) {
        if (compareKeys(c.key, c.keyLength, first->key, first->keyLength) < 0)
            first = &c;
    }
    m_dateTimeNull = !first->key;
    m_dateTime.resize(first->keyLength); // keeps its buffer from row to row
    if (first->keyLength > 0)
        std::memcpy(m_dateTime.data(), first->key, size_t(first->keyLength));
    const char* key = m_dateTimeNull ? nullptr : m_dateTime.constData();

    for (size_t i = 0; i < m_cursors.size();) {
        Cursor& c = m_cursors[i];
        bool hasRow = true;
        while (compareKeys(c.key, c.keyLength, key, m_dateTime.size()) == 0) {
            if (accumulateRows)
                accumulate(c);
            hasRow = step(c);
            if (!m_error.isEmpty())
                return false; // the failure closed the cursors
            if (!hasRow)
                break;
        }
        if (hasRow) {
            ++i;
        } else {
            sqlite3_finalize(c.stmt);
            c = m_cursors.back();
            m_cursors.pop_back();
        }
    }
    return true;
}

bool ArchiveReader::next()
{
    return advance(true);
}

bool ArchiveReader::countRest(qint64* rows, qint64* breaks)
{
    *rows = 0;
    *breaks = 0;
    if (!m_indexed) {
        // Sorted by one statement: going on costs less than sorting the rest again.
        while (next()) {
            ++*rows;
            if (isSessionBreak())
                ++*breaks;
        }
        return m_error.isEmpty();
    }
    // Past the current time stamp, or from the start when none was read yet.
    const bool afterCurrent = m_started;
    closeCursors();
    if (!openCursors(true, afterCurrent) || !countBreaks(afterCurrent, breaks))
        return false;
    while (advance(false))
        ++*rows;
    return m_error.isEmpty();
}

QByteArray ArchiveReader::bounds(bool afterCurrent, QByteArray* lower, QByteArray* upper) const
{
    QByteArray conditions;
    if (afterCurrent && m_dateTimeNull) {
        conditions += " AND dateTime IS NOT NULL";
    } else if (afterCurrent) {
        conditions += " AND dateTime > ?";
        *lower = m_dateTime;
    } else if (!m_filter.from.isEmpty()) {
        conditions += " AND dateTime >= ?";
        *lower = m_filter.from.toUtf8();
    }
    if (!m_filter.to.isEmpty()) {
        conditions += " AND dateTime <= ?";
        *upper = m_filter.to.toUtf8();
    }
    return conditions;
}

bool ArchiveReader::countBreaks(bool afterCurrent, qint64* breaks)
{
    if (m_columnSlot.empty() || m_columnSlot.front() == noSlot)
        return true; // an unknown first parameter has no flags
    QByteArray lower;
    QByteArray upper;
    const QByteArray sql =
        "SELECT COUNT(*) FROM (SELECT 1 FROM ArchiveData WHERE idParameter = ?" +
        bounds(afterCurrent, &lower, &upper) + " GROUP BY dateTime HAVING SUM(flag) = " +
        QByteArray::number(SessionBreakFlag) + ")";

    sqlite3_stmt* stmt = nullptr;
    if (!prepare(sql, &stmt))
        return false;
    sqlite3_bind_int64(stmt, 1, m_slotOfId.key(m_columnSlot.front()));
    int index = 2;
    bool ok = (lower.isNull() || bind(stmt, index++, lower)) &&
              (upper.isEmpty() || bind(stmt, index, upper));
    if (ok) {
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            *breaks = sqlite3_column_int64(stmt, 0);
        } else {
            fail();
            ok = false;
        }
    }
    sqlite3_finalize(stmt);
    return ok;
}

void ArchiveReader::appendCell(QByteArray& out, int column, bool decimalComma) const
{
    switch (flag(column)) {
    case 0:
        if (hasValue(column)) {
            const int start = out.size();
            appendNumber(out, valueSum(column));
            if (decimalComma) {
                const int point = out.indexOf('.', start);
                if (point >= 0)
                    out[point] = ',';
            }
        }
        break;
    case 2:
        out += "---";
        break;
    default:
        out += "???";
        break;
    }
}

void ArchiveReader::appendNumber(QByteArray& out, double value)
{
    // QVariant::toString's text without its allocations: the CSV file writes millions.
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (value == 0) {
        out += '0';
        return;
    }
    const bool negative = value < 0;
    char digits[24];
    int count = 0;
    int decimalPoint = 0;
    if (!shortDecimal(std::fabs(value), digits, &count, &decimalPoint)) {
        // Shortest digits in the form [-]d[.ddd]e(+|-)x.
        char sci[40];
        const std::to_chars_result r =
            std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
        const char* p = sci + (negative ? 1 : 0);
        for (; *p != 'e'; ++p) {
            if (*p != '.')
                digits[count++] = *p;
        }
        int exponent = 0;
        std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, exponent);
        decimalPoint = exponent + 1;
    }
    appendShortest(out, negative, digits, count, decimalPoint);
}
