#include "ModbusLine.h"

#include "LineCloseHold.h"
#include "ModbusLib.h"

#include <QVarLengthArray>
#include <QtDebug>

#include <cerrno>
#include <cstring>

namespace {

enum class Source
{
    Zero,
    Word,
    Signed16,
    Low,
    High,
    Unsigned32,
    Signed32,
    FloatX,
    FloatY
};
enum class Scale
{
    None,
    Tenth,
    Hundredth,
    Decimal
};

struct Rule
{
    Source source;
    Scale scale;
};

Rule ruleFor(const t_iterationConfig& it)
{
    const bool value32 = it.valSize == 32;
    switch (it.regType) {
    case 0:
    case 1:
        return {value32 ? Source::Unsigned32 : Source::Word, Scale::None};
    case 2:
        return {it.regSize == 16   ? Source::FloatX
                : it.regSize == 32 ? Source::FloatY
                                   : Source::Word,
                Scale::None};
    case 3:
        return {it.regSize == 32   ? Source::FloatX
                : it.regSize == 16 ? Source::FloatY
                                   : Source::Word,
                Scale::None};
    case 5:
        return value32 ? Rule{Source::Signed32, Scale::Tenth} : Rule{Source::Word, Scale::None};
    case 6:
        return {Source::Signed32, Scale::Hundredth};
    case 7:
        return {Source::Word, Scale::Hundredth};
    case 8:
        return {Source::Signed32, Scale::None};
    case 9:
        return {Source::Low, Scale::None};
    case 10:
        return {Source::High, Scale::None};
    case 11:
        return {Source::Signed16, Scale::None};
    case 12:
        return {Source::Zero, Scale::None};
    case 13:
        if (it.valSize == 16)
            return {Source::Word, Scale::Decimal};
        return value32 ? Rule{Source::Signed32, Scale::Decimal} : Rule{Source::Word, Scale::None};
    case 14:
        return value32 ? Rule{Source::Signed32, Scale::Decimal} : Rule{Source::Word, Scale::None};
    case 15:
        return {Source::Signed32, Scale::Decimal};
    case 16:
        return {Source::Low, Scale::Decimal};
    case 17:
        return {Source::High, Scale::Decimal};
    case 18:
        return {Source::Signed16, Scale::Decimal};
    default: // 4 and unknown types
        return {Source::Word, Scale::None};
    }
}

// Function 3 on a device whose registers are 32 bits wide: two words per register.
bool isRegisters32(const t_iterationConfig& it)
{
    return it.ModbusReadFunction == 3 && it.regSize != 16;
}

// The iteration's registers with its function, in the requests requestParts() gives: as the
// library's reads, the registers received or -1 with errno set.
int readIteration(modbus_t* ctx, const t_iterationConfig& it, int nb, quint16* dest)
{
    const int perValue = ModbusLine::valueStep(it);
    if (it.ModbusReadFunction != 3)
        return modbuslib::modbus_read_input_registers(ctx, it.regAddr, nb, dest, perValue);
    if (isRegisters32(it))
        return modbuslib::modbus_read_registers_32(ctx, it.regAddr, nb, dest, perValue);
    return modbuslib::modbus_read_registers(ctx, it.regAddr, nb, dest, perValue);
}

bool takesItem(Source s)
{
    return s == Source::Unsigned32 || s == Source::Signed32 || s == Source::FloatX ||
           s == Source::FloatY;
}

// The device's not-available markers: the single nearest ±1e20, and the one nearest -2e20.
bool isNotAvailable(quint32 pattern)
{
    return (pattern & 0x7FFFFFFFu) == 0x60AD78ECu || pattern == 0xE12D78ECu;
}

double floatOf(quint32 pattern)
{
    float f;
    std::memcpy(&f, &pattern, sizeof f);
    return double(f);
}

// Scaled by the device's decimal places, rounded to single precision as the devices show them.
double scaled(double v, int decimal)
{
    static const double divisors[] = {1.0, 10.0, 100.0, 1000.0, 10000.0};
    if (decimal == 0)
        return v;
    if (decimal < 1 || decimal > 4)
        return 0.0;
    return double(float(v / divisors[decimal]));
}

} // namespace

ModbusLine::ModbusLine(QObject* parent) : QObject(parent) {}

ModbusLine::~ModbusLine()
{
    closeContext();
}

int ModbusLine::valueStep(const t_iterationConfig& it)
{
    return it.regSize == 16 && it.valSize == 32 ? 2 : 1;
}

std::vector<modbuslib::RequestPart> ModbusLine::requestParts(const t_iterationConfig& it)
{
    if (it.valuesCnt < 1 || it.valuesCnt > MaxValues)
        return {};
    const int step = valueStep(it);
    return modbuslib::requestParts(it.regAddr, it.valuesCnt * step,
                                   isRegisters32(it) ? modbuslib::MaxRegisters32PerResponse
                                                     : modbuslib::MaxRegistersPerResponse,
                                   step);
}

BufferInterface::ReadValue ModbusLine::decodeValue(const t_iterationConfig* it,
                                                   const QVector<quint16>& words, int k)
{
    const Rule rule = ruleFor(*it);
    if (rule.source == Source::Zero)
        return {0.0, 0, 0};

    const bool item = takesItem(rule.source);
    const qint64 last = item ? 2 * qint64(k) + 1 : qint64(k);
    if (k < 0 || last >= words.size())
        return {0.0, 0, 4};

    const quint16 w = words[k];
    const quint32 x = item ? quint32(words[2 * k]) << 16 | words[2 * k + 1] : 0;
    const quint32 y = item ? quint32(words[2 * k + 1]) << 16 | words[2 * k] : 0;

    double v = 0.0;
    int flag = 0;
    switch (rule.source) {
    case Source::Word:
        v = w;
        break;
    case Source::Signed16:
        v = qint16(w);
        break;
    case Source::Low:
        v = w & 0xFF;
        break;
    case Source::High:
        v = w >> 8;
        break;
    case Source::Unsigned32:
        v = x;
        break;
    case Source::Signed32:
        v = qint32(x);
        break;
    case Source::FloatX:
    case Source::FloatY: {
        const quint32 pattern = rule.source == Source::FloatX ? x : y;
        v = floatOf(pattern);
        flag = isNotAvailable(pattern) ? 2 : 0;
        break;
    }
    case Source::Zero:
        break;
    }

    switch (rule.scale) {
    case Scale::None:
        break;
    case Scale::Tenth:
        v /= 10.0;
        break;
    case Scale::Hundredth:
        v /= 100.0;
        break;
    case Scale::Decimal:
        v = scaled(v, it->decimal);
        break;
    }
    const bool single = rule.source == Source::FloatX || rule.source == Source::FloatY ||
                        (rule.scale == Scale::Decimal && it->decimal >= 1 && it->decimal <= 4);
    using Precision = BufferInterface::ReadValue::Precision;
    return {v, 0, flag, single ? Precision::Single : Precision::Exact};
}

int ModbusLine::readValues(const t_iterationConfig* it, BufferInterface* buffer, qint64 timestamp,
                           int notOpenCode)
{
    if (!m_modbus && connect() != Success)
        return notOpenCode;
    if (it->valuesCnt < 1 || it->valuesCnt > MaxValues)
        return TooManyValues;

    const int step = valueStep(*it);
    const int count = it->valuesCnt * step;
    // Registers beyond 65535 exist on no device: refused before anything is sent, as a read
    // error of every value.
    if (it->regAddr < 0 || it->regAddr > 0x10000 - count) {
        storeFailure(it, buffer, timestamp, 4);
        return OtherFailure;
    }
    const int wordsPerRegister = isRegisters32(*it) ? 2 : 1;
    // Exactly the words the requests deliver; the decoder never reads past them.
    QVector<quint16> words(wordsPerRegister * count);

    int rc = -1;
    int err = 0;
    if (::modbus_set_slave(m_modbus, it->ModbusId) == -1) {
        // Sending with the previous slave address would ask the wrong device.
        err = errno;
    } else {
        beforeRequest();
        rc = readIteration(m_modbus, *it, count, words.data());
        err = rc < 0 ? errno : 0;
        afterRequest(it->ModbusReadFunction == 3 ? 3 : 4, rc, err);
    }

    if (rc == count) {
        // Decoded before the lock: under it only the stores.
        QVarLengthArray<BufferInterface::ReadValue, MaxValues> values(it->valuesCnt);
        for (int k = 0; k < it->valuesCnt; ++k) {
            values[k] = decodeValue(it, words, k);
            values[k].time = timestamp;
        }
        const TryLocker guard = buffer->lock();
        if (guard) {
            for (int k = 0; k < it->valuesCnt; ++k)
                buffer->updateValue(it->idDevice, it->regAddr + k * step, values[k]);
            return Success;
        }
    }

    int code = WrongAnswer;
    int flag = 4;
    if (rc < 0) {
        const bool timedOut = modbuslib::isTimeoutError(err);
        code = timedOut ? Timeout : OtherFailure;
        flag = timedOut ? 3 : 4;
    }
    storeFailure(it, buffer, timestamp, flag);
    return code;
}

void ModbusLine::storeFailure(const t_iterationConfig* it, BufferInterface* buffer,
                              qint64 timestamp, int flag)
{
    const TryLocker guard = buffer->lock();
    if (!guard)
        return;
    const int step = valueStep(*it);
    for (int k = 0, n = markedValues(*it); k < n; ++k)
        buffer->updateValue(it->idDevice, it->regAddr + k * step, {0.0, timestamp, flag});
}

int ModbusLine::requestSlaveId(int slave, int& slaveId)
{
    modbuslib::SlaveIdBuffer dest = {};
    int rc = -1;
    int err = 0;
    if (::modbus_set_slave(m_modbus, slave) == -1) {
        err = errno;
    } else {
        beforeRequest();
        rc = modbuslib::modbus_report_slave_id(m_modbus, dest);
        err = rc < 0 ? errno : 0;
        afterRequest(MODBUS_FC_REPORT_SLAVE_ID, rc, err);
    }
    if (rc >= 1 && rc <= 254) {
        slaveId = dest[0];
        return Success;
    }
    if (rc >= 0)
        return WrongAnswer;
    return modbuslib::isTimeoutError(err) ? Timeout : OtherFailure;
}

void ModbusLine::applyResponseTimeout(int timeoutMs)
{
    timeval tv = {};
    if (modbuslib::modbus_get_timeout_begin(m_modbus, &tv) == -1)
        return;
    tv.tv_usec = suseconds_t(qint64(timeoutMs) * 1000);
    if (modbuslib::modbus_set_timeout_begin(m_modbus, &tv) == -1)
        qDebug() << "Modbus response time-out refused:" << timeoutMs << "ms";
}

void ModbusLine::closeContext()
{
    if (!m_modbus)
        return;
    LineCloseHold::wait();
    ::modbus_close(m_modbus);
    ::modbus_free(m_modbus);
    m_modbus = nullptr;
}
