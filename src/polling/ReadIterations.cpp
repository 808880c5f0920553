#include "ReadIterations.h"

#include <QSqlQuery>
#include <QVariant>

ReadIterations::ReadIterations(QObject* parent) : QObject(parent) {}

void ReadIterations::addIteration(const QSqlQuery& query)
{
    if (!query.isValid())
        return;
    t_iterationConfig it;
    it.ModbusId = query.value(0).toInt();
    it.regAddr = query.value(1).toInt();
    it.valuesCnt = query.value(2).toInt();
    it.regType = query.value(3).toInt();
    it.regSize = query.value(4).toInt();
    it.valSize = query.value(5).toInt();
    it.idDevice = query.value(6).toInt();
    it.ModbusReadFunction = static_cast<qint16>(query.value(7).toInt());
    it.decimal = query.value(8).toInt();
    addIteration(it);
}

void ReadIterations::addIteration(const t_iterationConfig& iteration)
{
    m_iterations.push_back(std::make_unique<t_iterationConfig>(iteration));
}
