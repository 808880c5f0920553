#include "ReadBuffer.h"

#include "ArchiveBuffer.h"
#include "JsonText.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

// Plans often read more registers than parameters are configured: every such sample would
// write a line here, so the lines are off unless QT_LOGGING_RULES asks for them.
Q_DECLARE_LOGGING_CATEGORY(lcCycle)

namespace {

// The longest text number() writes: a double's 309 integer digits, sign, point and 6 decimals.
constexpr int MaxNumberLength = 320;

char* append(char* p, const char* text, size_t n)
{
    std::memcpy(p, text, n);
    return p + n;
}

template<size_t N>
char* append(char* p, const char (&text)[N])
{
    return append(p, text, N - 1);
}

char* append(char* p, const QByteArray& text)
{
    return append(p, text.constData(), size_t(text.size()));
}

template<typename Int>
char* integer(char* p, Int v)
{
    return std::to_chars(p, p + 24, v).ptr;
}

// The value with 6 decimals as QString::number(v, 'f', 6) writes it (the exact value, rounded
// half away from zero), and null for NaN and infinity, which JSON lacks.
char* number(char* p, double v)
{
    if (!std::isfinite(v))
        return append(p, "null");
    if (v == 0)
        v = 0; // no sign for -0

    // Below 1e15 the integer part and the fraction split exactly, and millionths of the
    // fraction come out within 1e-9 of the exact product: only a product that close to half a
    // millionth needs the exact road below.
    const double a = std::fabs(v);
    if (a < 1e15) {
        const double whole = std::floor(a);
        const double millionths = (a - whole) * 1e6;
        const double below = std::floor(millionths);
        const double rest = millionths - below;
        if (std::fabs(rest - 0.5) > 1e-6) {
            quint64 integral = quint64(whole);
            quint64 decimals = quint64(below) + (rest > 0.5 ? 1 : 0);
            if (decimals == 1000000) {
                ++integral;
                decimals = 0;
            }
            if (v < 0)
                *p++ = '-';
            p = integer(p, integral);
            *p++ = '.';
            for (int i = 5; i >= 0; --i) {
                p[i] = char('0' + decimals % 10);
                decimals /= 10;
            }
            return p + 6;
        }
    }
    // An exact tie at the seventh decimal needs v * 128 to be whole; Qt rounds such ties away
    // from zero where to_chars rounds them to even, so they take Qt's own road.
    const double scaled = v * 128.0;
    if (std::fabs(v) < 4.5e15 && scaled == std::trunc(scaled)) {
        __int128 tenMillionths = __int128(qint64(scaled)) * 78125;
        if (tenMillionths < 0)
            tenMillionths = -tenMillionths;
        if (tenMillionths % 10 == 5)
            return append(p, QString::number(v, 'f', 6).toLatin1());
    }
    return std::to_chars(p, p + MaxNumberLength, v, std::chars_format::fixed, 6).ptr;
}

// unitPrefix as Latin-1.
const char* prefixOf(float factor)
{
    const double f = factor;
    if (f >= 0.9 && f <= 1.1)
        return "";
    if (f >= 0.0009 && f <= 0.0011)
        return "k";
    if (f >= 0.0000001 && f <= 0.0000011)
        return "M";
    if (f >= 999 && f <= 1000.1)
        return "m";
    if (f >= 999999 && f <= 1000000.1)
        return "&#181";
    return "";
}

} // namespace

ReadBuffer::ReadBuffer(QSqlQuery paramsQuery, QObject* parent) : BufferInterface(parent)
{
    const QStringList scalableUnits{QStringLiteral("V"), QStringLiteral("A"),
                                    QStringLiteral("W"), QStringLiteral("VA"),
                                    QStringLiteral("VAR")};
    if (paramsQuery.first()) {
        do {
            const int id = paramsQuery.value(0).toInt();
            const quint64 address = key(paramsQuery.value(1).toInt(), paramsQuery.value(2).toInt());
            int slot = m_slotOfId.value(id, -1);
            if (slot < 0) {
                slot = int(m_parameters.size());
                const QString unit = paramsQuery.value(4).toString();
                m_parameters.push_back(Parameter{
                    id, "\"" + QByteArray::number(id) + "\": {\"time\":",
                    JsonText::escape(unit).toLatin1(), scalableUnits.contains(unit)});
                m_values.emplace_back();
                m_slotOfId.insert(id, slot);
            }
            m_slotOfAddress.insert(address, slot);
        } while (paramsQuery.next());
    }
    m_pArchiveBuffer = new ArchiveBuffer(paramsQuery, this);
}

ReadBuffer::~ReadBuffer() = default;

int ReadBuffer::slotOf(int idDevice, int regAddr, const char* caller) const
{
    const auto it = m_slotOfAddress.constFind(key(idDevice, regAddr));
    if (it == m_slotOfAddress.constEnd()) {
        qCDebug(lcCycle,
                "**************\nDidn't find idParameters in %s function !!!\n*******************",
                caller);
        return -1;
    }
    return it.value();
}

void ReadBuffer::updateValue(int idDevice, int regAddr, BufferInterface::ReadValue value)
{
    if (m_closed)
        return;
    const int slot = slotOf(idDevice, regAddr, "updateValue");
    if (slot < 0)
        return;
    m_values[size_t(slot)] = value;
    m_version.fetch_add(1, std::memory_order_release);
    m_pArchiveBuffer->addValue(m_parameters[size_t(slot)].id, value);
}

void ReadBuffer::insertSessionBreakValue(int idDevice, int regAddr,
                                         BufferInterface::ReadValue value)
{
    if (m_closed)
        return;
    const int slot = slotOf(idDevice, regAddr, "insertSessionBreakValue");
    if (slot >= 0)
        m_pArchiveBuffer->addSessionBreakValue(m_parameters[size_t(slot)].id, value);
}

BufferInterface::ReadValue ReadBuffer::value(int idParameters) const
{
    const int slot = m_slotOfId.value(idParameters, -1);
    return slot < 0 ? ReadValue() : m_values[size_t(slot)];
}

int ReadBuffer::close(int timeoutMs)
{
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    bool storesEnded;
    {
        // The stores under way end first, so that their rows are in the last flush and no
        // store touches the archive once it places its held samples.
        const TryLocker guard = lock(qBound(0, timeoutMs, int(LockTimeoutMs)));
        m_closed = true;
        storesEnded = guard.isLocked();
    }
    return m_pArchiveBuffer->finish(int(deadline.remainingTime()), storesEnded);
}

qint64 ReadBuffer::archivedCount() const
{
    return m_pArchiveBuffer->archivedCount();
}

bool ReadBuffer::copyValues(std::vector<BufferInterface::ReadValue>& out, quint64* version,
                            int lockMs)
{
    // Allocated before the lock: under it only the copy (the set of parameters is fixed).
    out.resize(m_values.size());
    const TryLocker guard = lock(lockMs);
    if (!guard)
        return false;
    std::copy(m_values.cbegin(), m_values.cend(), out.begin());
    if (version)
        *version = m_version.load(std::memory_order_relaxed);
    return true;
}

bool ReadBuffer::snapshot(QHash<int, BufferInterface::ReadValue>& out)
{
    std::vector<ReadValue> values;
    if (!copyValues(values))
        return false;
    out.clear();
    out.reserve(int(values.size()));
    for (size_t i = 0; i < values.size(); ++i)
        out.insert(m_parameters[i].id, values[i]);
    return true;
}

bool ReadBuffer::valuesJson(QByteArray& out, int staleMs)
{
    const auto build = [this](int lockMs, QByteArray& reply, quint64& version) {
        std::vector<ReadValue> values;
        if (!copyValues(values, &version, lockMs))
            return false;
        reply = json(values);
        return true;
    };
    return m_reply.reply(m_version.load(std::memory_order_acquire), staleMs, build, out);
}

float ReadBuffer::computeScaleFactor(const BufferInterface::ReadValue& value)
{
    const double v = value.val;
    if (value.flag != 0 || std::isnan(v) || (v > -1000 && v < 1000))
        return 1.0f;
    if (v >= 1000000)
        return 0.000001f;
    if (v >= 1000)
        return 0.001f;
    if (v > -1000000)
        return 1000.0f;
    return 1000000.0f;
}

QString ReadBuffer::unitPrefix(float factor)
{
    return QString::fromLatin1(prefixOf(factor));
}

QByteArray ReadBuffer::json(const std::vector<BufferInterface::ReadValue>& values) const
{
    if (values.empty())
        return QByteArrayLiteral("{}");
    QByteArray out;
    out.resize(int(values.size()) * 120 + 2);
    char* p = out.data();
    *p++ = '{';
    for (size_t i = 0; i < values.size(); ++i) {
        const Parameter& param = m_parameters[i];
        const ReadValue& v = values[i];
        const int room = param.head.size() + param.unit.size() + 2 * MaxNumberLength + 80;
        if (out.size() - (p - out.constData()) < room) {
            const int used = int(p - out.constData());
            out.resize(qMax(out.size() * 2, used + room));
            p = out.data() + used;
        }
        float factor = 1.0f;
        const char* prefix = "";
        if (param.scalable) {
            factor = computeScaleFactor(v);
            prefix = prefixOf(factor);
        }
        p = append(p, param.head);
        p = integer(p, v.time);
        p = append(p, ",\"val\":");
        p = number(p, double(factor) * v.val);
        p = append(p, ",\"valBase\":");
        p = number(p, v.val);
        p = append(p, ",\"u\":\"");
        p = append(p, prefix, std::strlen(prefix));
        p = append(p, param.unit);
        p = append(p, "\",\"flag\":");
        p = integer(p, v.flag);
        p = append(p, "},");
    }
    p[-1] = '}';
    out.truncate(int(p - out.constData()));
    return out;
}
