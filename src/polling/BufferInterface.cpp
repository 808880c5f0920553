#include "BufferInterface.h"

#include <charconv>
#include <cmath>
#include <system_error>

BufferInterface::BufferInterface(QObject* parent) : QObject(parent) {}

void BufferInterface::updateValue(int idDevice, int regAddr, BufferInterface::ReadValue value)
{
    Q_UNUSED(idDevice);
    Q_UNUSED(regAddr);
    Q_UNUSED(value);
}

double BufferInterface::ReadValue::archiveValue() const
{
    const float f = float(val);
    if (precision != Precision::Single || !std::isfinite(val) || double(f) != val)
        return val;
    // Both conversions are exact and know no locale; the shortest text of a single always reads
    // back as it, which the last test makes sure of all the same.
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, f);
    double shortest = 0.0;
    if (written.ec != std::errc() ||
        std::from_chars(text, written.ptr, shortest).ec != std::errc() || float(shortest) != f)
        return val;
    return shortest;
}
