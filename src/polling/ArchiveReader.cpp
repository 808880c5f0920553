#include "ArchiveReader.h"

#include "Database.h"
#include "DatabaseSchema.h"
#include "polling/ArchiveFilter.h"

#include <QLocale>

#include <algorithm>
#include <cstring>
#include <sqlite3.h>

namespace {
constexpr int noSlot = -1;
} // namespace

ArchiveReader::ArchiveReader(const ArchiveFilter& filter, bool validOnly)
    : m_filter(filter), m_validOnly(validOnly)
{
}

ArchiveReader::~ArchiveReader()
{
    for (Cursor& c : m_cursors)
        sqlite3_finalize(c.stmt);
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
    m_heap.clear();
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

bool ArchiveReader::bindBounds(sqlite3_stmt* stmt, int first)
{
    for (const QString* bound : {&m_filter.from, &m_filter.to}) {
        if (bound->isEmpty())
            continue;
        const QByteArray text = bound->toUtf8();
        if (sqlite3_bind_text(stmt, first++, text.constData(), text.size(), SQLITE_TRANSIENT) !=
            SQLITE_OK) {
            fail();
            return false;
        }
    }
    return true;
}

bool ArchiveReader::hasArchiveIndex()
{
    sqlite3_stmt* stmt = nullptr;
    if (!prepare("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?", &stmt))
        return false;
    sqlite3_bind_text(stmt, 1, DatabaseSchema::archiveIndexName, -1, SQLITE_STATIC);
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found;
}

bool ArchiveReader::parameterExists(qint64 id, bool* exists)
{
    // The views join the archive to its parameter and device: rows of a parameter that is no
    // longer configured are not shown.
    sqlite3_stmt* stmt = nullptr;
    if (!prepare("SELECT 1 FROM ConfiguredParameters JOIN Devices "
                 "ON ConfiguredParameters.idDevice = Devices.idDevices WHERE idParameters = ?",
                 &stmt))
        return false;
    sqlite3_bind_int64(stmt, 1, id);
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        fail();
        return false;
    }
    *exists = rc == SQLITE_ROW;
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

    const bool indexed = hasArchiveIndex();
    if (!m_error.isEmpty())
        return false;

    for (qint64 id : m_filter.idValues) {
        auto it = m_slotOfId.constFind(id);
        if (it == m_slotOfId.constEnd()) {
            bool exists = false;
            if (!parameterExists(id, &exists))
                return false;
            it = m_slotOfId.insert(id, exists ? int(m_slots.size()) : noSlot);
            if (exists)
                m_slots.emplace_back();
        }
        m_columnSlot.push_back(it.value());
    }

    QByteArray conditions;
    if (m_validOnly)
        conditions += " AND flag = 0";
    if (!m_filter.from.isEmpty())
        conditions += " AND dateTime >= ?";
    if (!m_filter.to.isEmpty())
        conditions += " AND dateTime <= ?";

    if (indexed) {
        // Each parameter's rows in time order straight from the index, merged in next().
        const QByteArray sql = "SELECT dateTime, value, flag FROM ArchiveData WHERE idParameter = ?" +
                               conditions + " ORDER BY dateTime";
        for (auto it = m_slotOfId.cbegin(); it != m_slotOfId.cend(); ++it) {
            if (it.value() == noSlot)
                continue;
            sqlite3_stmt* stmt = nullptr;
            if (!prepare(sql, &stmt))
                return false;
            sqlite3_bind_int64(stmt, 1, it.key());
            if (!bindBounds(stmt, 2) || !openCursor(stmt, it.value()))
                return false;
        }
    } else if (!m_slots.empty()) {
        QByteArray placeholders;
        for (size_t i = 0; i < m_slots.size(); ++i)
            placeholders += i ? ",?" : "?";
        const QByteArray sql = "SELECT dateTime, value, flag, idParameter FROM ArchiveData "
                               "WHERE idParameter IN (" +
                               placeholders + ")" + conditions + " ORDER BY dateTime";
        sqlite3_stmt* stmt = nullptr;
        if (!prepare(sql, &stmt))
            return false;
        int index = 1;
        for (auto it = m_slotOfId.cbegin(); it != m_slotOfId.cend(); ++it) {
            if (it.value() != noSlot)
                sqlite3_bind_int64(stmt, index++, it.key());
        }
        if (!bindBounds(stmt, index) || !openCursor(stmt, noSlot))
            return false;
    }
    return true;
}

bool ArchiveReader::openCursor(sqlite3_stmt* stmt, int slot)
{
    m_cursors.push_back(Cursor{stmt, slot, nullptr, 0});
    Cursor& cursor = m_cursors.back();
    if (step(cursor)) {
        m_heap.push_back(int(m_cursors.size() - 1));
        std::push_heap(m_heap.begin(), m_heap.end(),
                       [this](int a, int b) { return keyLess(m_cursors[b], m_cursors[a]); });
    }
    return m_error.isEmpty();
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

bool ArchiveReader::keyLess(const Cursor& a, const Cursor& b) const
{
    // As ORDER BY sorts texts: NULL first, then bytewise.
    if (!a.key || !b.key)
        return !a.key && b.key;
    const int n = std::memcmp(a.key, b.key, size_t(std::min(a.keyLength, b.keyLength)));
    return n < 0 || (n == 0 && a.keyLength < b.keyLength);
}

void ArchiveReader::accumulate(Cursor& cursor)
{
    sqlite3_stmt* stmt = cursor.stmt;
    int s = cursor.slot;
    if (s == noSlot)
        s = m_slotOfId.value(sqlite3_column_int64(stmt, 3), noSlot);
    if (s == noSlot)
        return;
    Slot& slot = m_slots[size_t(s)];
    if (!slot.touched) {
        slot = Slot();
        slot.touched = true;
        m_touched.push_back(s);
    }
    // SUM and MIN skip NULLs: a NULL value leaves the value alone, likewise a NULL flag.
    if (sqlite3_column_type(stmt, 1) != SQLITE_NULL) {
        const double v = sqlite3_column_double(stmt, 1);
        if (!slot.hasValue) {
            slot.sum = slot.min = v;
            slot.hasValue = true;
        } else {
            slot.sum += v;
            slot.min = std::min(slot.min, v);
        }
    }
    if (sqlite3_column_type(stmt, 2) != SQLITE_NULL) {
        slot.flagSum += sqlite3_column_int64(stmt, 2);
        slot.hasFlag = true;
    }
}

bool ArchiveReader::next()
{
    for (int s : m_touched)
        m_slots[size_t(s)] = Slot();
    m_touched.clear();
    if (m_heap.empty())
        return false;

    const auto greater = [this](int a, int b) { return keyLess(m_cursors[b], m_cursors[a]); };
    const Cursor& first = m_cursors[m_heap.front()];
    const bool isNull = !first.key;
    m_dateTime = isNull ? QByteArray() : QByteArray(first.key, first.keyLength);

    while (!m_heap.empty()) {
        Cursor& top = m_cursors[m_heap.front()];
        const bool same = isNull ? !top.key
                                 : top.key && top.keyLength == m_dateTime.size() &&
                                       std::memcmp(top.key, m_dateTime.constData(),
                                                   size_t(top.keyLength)) == 0;
        if (!same)
            break;
        accumulate(top);
        std::pop_heap(m_heap.begin(), m_heap.end(), greater);
        const bool more = step(top);
        if (!m_error.isEmpty())
            return false; // the failure emptied the heap
        if (more)
            std::push_heap(m_heap.begin(), m_heap.end(), greater);
        else
            m_heap.pop_back();
    }
    return true;
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
    out += QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}
