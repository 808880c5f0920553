#pragma once

#include <QList>
#include <QObject>

#include <memory>
#include <vector>

class QSqlQuery;

// One Modbus request of a read plan.
struct t_iterationConfig
{
    int ModbusId = 0;  // slave address
    int regAddr = 0;   // first register
    int valuesCnt = 0; // number of values, at most 200
    int regType = 0;   // decoder type 0 to 18
    int regSize = 16;  // register width in bits, 16 or 32
    int valSize = 16;  // value width in bits, 16 or 32
    int idDevice = 0;
    qint16 ModbusReadFunction = 3; // 3 holding registers, anything else input registers
    int decimal = 0;               // decimal places of the device, 0 to 4
};

// The read plan of one channel: its requests in load order.
class ReadIterations : public QObject
{
    Q_OBJECT
public:
    explicit ReadIterations(QObject* parent = nullptr);

    // Appends the request of the query's current row (columns in the field order of
    // t_iterationConfig); does nothing when the query stands on no row.
    void addIteration(const QSqlQuery& query);
    void addIteration(const t_iterationConfig& iteration);

    int count() const { return int(m_iterations.size()); }
    const t_iterationConfig* at(int i) const { return m_iterations.at(size_t(i)).get(); }

private:
    std::vector<std::unique_ptr<t_iterationConfig>> m_iterations;
};
