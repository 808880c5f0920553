#pragma once

#include "BufferInterface.h"

#include <QHash>
#include <QStringList>

class ArchiveBuffer;
class QSqlQuery;

// The latest sample of every configured parameter of the active devices during a polling run,
// and the run's archive. The caller holds the lock (tryLock) around every call but the
// constructor.
class ReadBuffer : public BufferInterface
{
    Q_OBJECT
public:
    // Rows: 0 idParameters, 1 idDevice, 2 regAddr, 3 archInterval, 4 unit.
    ReadBuffer(QSqlQuery paramsQuery, QObject* parent);

    void updateValue(int idDevice, int regAddr, BufferInterface::ReadValue value) override;
    void insertSessionBreakValue(int idDevice, int regAddr, BufferInterface::ReadValue value);
    BufferInterface::ReadValue value(int idParameters) const;
    // A copy of every value, keyed by idParameters, taken under the lock; false when the lock
    // cannot be taken. The caller does not hold the lock.
    bool snapshot(QHash<int, BufferInterface::ReadValue>& out);
    void flushArchive();
    qint64 archivedCount() const;

    // {"12": {"time":..,"val":..,"valBase":..,"u":"..","flag":..},...} in Latin-1.
    QByteArray valuesJson() const;

    static float computeScaleFactor(const BufferInterface::ReadValue& value);
    static QString unitPrefix(float factor);

    ArchiveBuffer* archive() const { return m_pArchiveBuffer; }

private:
    static quint64 key(int idDevice, int regAddr)
    {
        return (quint64(quint32(idDevice)) << 32) | quint32(regAddr);
    }
    int parameterOf(int idDevice, int regAddr, const char* caller) const;

    QHash<int, BufferInterface::ReadValue> m_values;
    // idDevice and regAddr to idParameters; the later row wins for a shared address.
    QHash<quint64, int> m_paramIds;
    QHash<int, QString> m_units;
    ArchiveBuffer* m_pArchiveBuffer;
    const QStringList m_scalableUnits;
};
