#include "BufferInterface.h"

BufferInterface::BufferInterface(QObject* parent) : QObject(parent) {}

void BufferInterface::updateValue(int idDevice, int regAddr, BufferInterface::ReadValue value)
{
    Q_UNUSED(idDevice);
    Q_UNUSED(regAddr);
    Q_UNUSED(value);
}
