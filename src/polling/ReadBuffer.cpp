#include "ReadBuffer.h"

#include "ArchiveBuffer.h"
#include "JsonText.h"

#include <QLoggingCategory>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

// Plans often read more registers than parameters are configured: every such sample would
// write a line here, so the lines are off unless QT_LOGGING_RULES asks for them.
Q_DECLARE_LOGGING_CATEGORY(lcCycle)

#include <cmath>

ReadBuffer::ReadBuffer(QSqlQuery paramsQuery, QObject* parent)
    : BufferInterface(parent), m_scalableUnits{QStringLiteral("V"), QStringLiteral("A"),
                                               QStringLiteral("W"), QStringLiteral("VA"),
                                               QStringLiteral("VAR")}
{
    if (paramsQuery.first()) {
        do {
            const int id = paramsQuery.value(0).toInt();
            m_values.insert(id, ReadValue());
            m_units.insert(id, paramsQuery.value(4).toString());
            m_paramIds.insert(key(paramsQuery.value(1).toInt(), paramsQuery.value(2).toInt()), id);
        } while (paramsQuery.next());
    }
    m_pArchiveBuffer = new ArchiveBuffer(paramsQuery, this);
}

int ReadBuffer::parameterOf(int idDevice, int regAddr, const char* caller) const
{
    const auto it = m_paramIds.constFind(key(idDevice, regAddr));
    if (it == m_paramIds.constEnd()) {
        qCDebug(lcCycle,
                "**************\nDidn't find idParameters in %s function !!!\n*******************",
                caller);
        return -1;
    }
    return it.value();
}

void ReadBuffer::updateValue(int idDevice, int regAddr, BufferInterface::ReadValue value)
{
    const int id = parameterOf(idDevice, regAddr, "updateValue");
    if (id < 0)
        return;
    m_values[id] = value;
    m_pArchiveBuffer->addValue(id, value);
}

void ReadBuffer::insertSessionBreakValue(int idDevice, int regAddr,
                                         BufferInterface::ReadValue value)
{
    const int id = parameterOf(idDevice, regAddr, "insertSessionBreakValue");
    if (id >= 0)
        m_pArchiveBuffer->addSessionBreakValue(id, value);
}

BufferInterface::ReadValue ReadBuffer::value(int idParameters) const
{
    return m_values.value(idParameters);
}

bool ReadBuffer::snapshot(QHash<int, BufferInterface::ReadValue>& out)
{
    if (!tryLock())
        return false;
    out = m_values;
    unlock();
    return true;
}

void ReadBuffer::flushArchive()
{
    m_pArchiveBuffer->flushBuffer();
}

qint64 ReadBuffer::archivedCount() const
{
    return m_pArchiveBuffer->archivedCount();
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
    const double f = factor;
    if (f >= 0.9 && f <= 1.1)
        return QString();
    if (f >= 0.0009 && f <= 0.0011)
        return QStringLiteral("k");
    if (f >= 0.0000001 && f <= 0.0000011)
        return QStringLiteral("M");
    if (f >= 999 && f <= 1000.1)
        return QStringLiteral("m");
    if (f >= 999999 && f <= 1000000.1)
        return QStringLiteral("&#181");
    return QString();
}

namespace {
// JSON has no NaN or infinity: such a value is written as null.
QString number(double v)
{
    return std::isfinite(v) ? QString::number(v, 'f', 6) : QStringLiteral("null");
}
} // namespace

QByteArray ReadBuffer::valuesJson() const
{
    if (m_values.isEmpty())
        return QByteArrayLiteral("{}");
    QString out;
    out.reserve(m_values.size() * 96);
    out += QLatin1Char('{');
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        const ReadValue& v = it.value();
        const QString unit = m_units.value(it.key());
        float factor = 1.0f;
        QString prefix;
        if (m_scalableUnits.contains(unit)) {
            factor = computeScaleFactor(v);
            prefix = unitPrefix(factor);
        }
        out += QLatin1Char('"') + QString::number(it.key()) + QLatin1String("\": {\"time\":") +
               QString::number(v.time) + QLatin1String(",\"val\":") +
               number(double(factor) * v.val) + QLatin1String(",\"valBase\":") + number(v.val) +
               QLatin1String(",\"u\":\"") + JsonText::escape(prefix + unit) +
               QLatin1String("\",\"flag\":") + QString::number(v.flag) + QLatin1String("},");
    }
    out.chop(1);
    out += QLatin1Char('}');
    return out.toLatin1();
}
