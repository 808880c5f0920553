#include "connections/ModbusLine.h"

#include <QtTest>

#include <cmath>
#include <limits>

namespace {

QVector<quint16> wordsOf(const QString& hex)
{
    QVector<quint16> words;
    const QStringList parts = hex.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& part : parts)
        words.append(quint16(part.toUInt(nullptr, 16)));
    return words;
}

t_iterationConfig plan(int regType, int regSize, int valSize, int decimal)
{
    t_iterationConfig it;
    it.regType = regType;
    it.regSize = regSize;
    it.valSize = valSize;
    it.decimal = decimal;
    return it;
}

// Decoded values are compared bit for bit: single precision widened differs from the double
// nearest the same decimal, and that difference is what several rows are about.
bool sameValue(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

} // namespace

class tst_ModbusDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void archiveValue_data();
    void archiveValue();
    void wordsOutsideBuffer_data();
    void wordsOutsideBuffer();
    void valueStep_data();
    void valueStep();
    void requestParts_data();
    void requestParts();
};

void tst_ModbusDecoder::decode_data()
{
    QTest::addColumn<int>("regType");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("decimal");
    QTest::addColumn<QString>("words");
    QTest::addColumn<int>("k");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("flag");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double marker = double(1e20f);

    // Unsigned, the 32-bit item first word high and taken at words 2k, 2k+1.
    QTest::newRow("0 W") << 0 << 16 << 16 << 0 << "FFFF" << 0 << 65535.0 << 0;
    QTest::newRow("0 W of value k") << 0 << 16 << 16 << 0 << "0001 0002 0003" << 2 << 3.0 << 0;
    QTest::newRow("1 U32") << 1 << 16 << 32 << 0 << "FFFF FFFE" << 0 << 4294967294.0 << 0;
    QTest::newRow("0 U32 of value 1")
        << 0 << 16 << 32 << 0 << "0000 0001 1234 5678" << 1 << double(0x12345678) << 0;

    // Singles in both word orders, picked by the register width.
    QTest::newRow("2 FX on 16-bit") << 2 << 16 << 32 << 0 << "4366 8000" << 0 << 230.5 << 0;
    QTest::newRow("2 FY on 32-bit") << 2 << 32 << 32 << 0 << "8000 4366" << 0 << 230.5 << 0;
    QTest::newRow("2 W on other width")
        << 2 << 8 << 32 << 0 << "4366 8000" << 0 << double(0x4366) << 0;
    QTest::newRow("3 FX on 32-bit") << 3 << 32 << 32 << 0 << "4366 8000" << 0 << 230.5 << 0;
    QTest::newRow("3 FY on 16-bit") << 3 << 16 << 32 << 0 << "8000 4366" << 0 << 230.5 << 0;
    QTest::newRow("3 W on other width") << 3 << 0 << 32 << 0 << "8000 4366" << 0 << 32768.0 << 0;
    QTest::newRow("3 FY of value 1")
        << 3 << 16 << 32 << 0 << "0000 0000 0000 3F80" << 1 << 1.0 << 0;
    QTest::newRow("2 NaN is a value") << 2 << 16 << 32 << 0 << "7FC0 0000" << 0 << nan << 0;

    // The not-available markers, flagged but stored.
    QTest::newRow("3 FX +1e20") << 3 << 32 << 32 << 0 << "60AD 78EC" << 0 << marker << 2;
    QTest::newRow("2 FX +1e20") << 2 << 16 << 32 << 0 << "60AD 78EC" << 0 << marker << 2;
    QTest::newRow("2 FY +1e20") << 2 << 32 << 32 << 0 << "78EC 60AD" << 0 << marker << 2;
    QTest::newRow("3 FY +1e20") << 3 << 16 << 32 << 0 << "78EC 60AD" << 0 << marker << 2;
    QTest::newRow("2 FX -1e20") << 2 << 16 << 32 << 0 << "E0AD 78EC" << 0 << -marker << 2;
    QTest::newRow("2 FX -2e20") << 2 << 16 << 32 << 0 << "E12D 78EC" << 0 << double(-2e20f) << 2;
    QTest::newRow("2 FX +2e20 is valid")
        << 2 << 16 << 32 << 0 << "612D 78EC" << 0 << double(2e20f) << 0;
    QTest::newRow("2 FX next to 1e20 is valid")
        << 2 << 16 << 32 << 0 << "60AD 78ED" << 0 << double(std::nextafter(1e20f, 2e20f)) << 0;

    QTest::newRow("4 W") << 4 << 16 << 32 << 3 << "8000" << 0 << 32768.0 << 0;

    // Divisions in double precision.
    QTest::newRow("5 W on 16-bit values") << 5 << 16 << 16 << 0 << "8000" << 0 << 32768.0 << 0;
    QTest::newRow("5 S32 / 10 of 3") << 5 << 16 << 32 << 0 << "0000 0003" << 0 << 0.3 << 0;
    QTest::newRow("5 S32 / 10 of -10") << 5 << 16 << 32 << 0 << "FFFF FFF6" << 0 << -1.0 << 0;
    QTest::newRow("6 S32 / 100") << 6 << 16 << 32 << 0 << "FFFF CFC7" << 0 << -123.45 << 0;
    QTest::newRow("7 W / 100") << 7 << 16 << 16 << 0 << "3039" << 0 << 123.45 << 0;

    QTest::newRow("8 S32") << 8 << 16 << 32 << 0 << "FFFF FFFE" << 0 << -2.0 << 0;
    QTest::newRow("8 S32 largest") << 8 << 32 << 32 << 0 << "7FFF FFFF" << 0 << 2147483647.0 << 0;
    QTest::newRow("9 LO") << 9 << 16 << 16 << 0 << "12AB" << 0 << 171.0 << 0;
    QTest::newRow("10 HI") << 10 << 16 << 16 << 0 << "12AB" << 0 << 18.0 << 0;
    QTest::newRow("11 S16") << 11 << 16 << 16 << 0 << "FFFF" << 0 << -1.0 << 0;
    QTest::newRow("12 zero") << 12 << 16 << 32 << 2 << "60AD 78EC" << 0 << 0.0 << 0;

    // Scaled by the device's decimals, rounded to single precision.
    QTest::newRow("13 sc(W) 12345 d1") << 13 << 16 << 16 << 1 << "3039" << 0 << 1234.5 << 0;
    QTest::newRow("13 sc(S32) d2")
        << 13 << 16 << 32 << 2 << "FFFF FF85" << 0 << double(-1.23f) << 0;
    QTest::newRow("13 W on other width") << 13 << 16 << 8 << 2 << "3039" << 0 << 12345.0 << 0;
    QTest::newRow("14 sc(S32) d3")
        << 14 << 16 << 32 << 3 << "FFFF FFFB" << 0 << double(-0.005f) << 0;
    QTest::newRow("14 W on 16-bit values") << 14 << 16 << 16 << 3 << "FFFB" << 0 << 65531.0 << 0;
    QTest::newRow("15 sc(3) d1 is the single nearest 0.3")
        << 15 << 16 << 32 << 1 << "0000 0003" << 0 << double(0.3f) << 0;
    QTest::newRow("15 d0 exact") << 15 << 16 << 32 << 0 << "FFFF FFF9" << 0 << -7.0 << 0;
    QTest::newRow("15 d0 keeps all 32 bits")
        << 15 << 16 << 32 << 0 << "0100 0001" << 0 << 16777217.0 << 0;
    QTest::newRow("15 d4") << 15 << 16 << 32 << 4 << "0001 E240" << 0 << double(12.3456f) << 0;
    QTest::newRow("15 decimal 7 gives 0") << 15 << 16 << 32 << 7 << "0000 0003" << 0 << 0.0 << 0;
    QTest::newRow("15 decimal -1 gives 0") << 15 << 16 << 32 << -1 << "0000 0003" << 0 << 0.0 << 0;
    QTest::newRow("16 sc(LO) d2") << 16 << 16 << 16 << 2 << "01FF" << 0 << double(2.55f) << 0;
    QTest::newRow("17 sc(HI) d1") << 17 << 16 << 16 << 1 << "7B00" << 0 << double(12.3f) << 0;
    QTest::newRow("18 sc(S16) d1") << 18 << 16 << 16 << 1 << "FF85" << 0 << double(-12.3f) << 0;

    QTest::newRow("19 W") << 19 << 16 << 32 << 0 << "FFFE" << 0 << 65534.0 << 0;
    QTest::newRow("-1 W") << -1 << 16 << 16 << 0 << "0007" << 0 << 7.0 << 0;
}

void tst_ModbusDecoder::decode()
{
    QFETCH(int, regType);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(int, decimal);
    QFETCH(QString, words);
    QFETCH(int, k);
    QFETCH(double, value);
    QFETCH(int, flag);

    const t_iterationConfig it = plan(regType, regSize, valSize, decimal);
    const BufferInterface::ReadValue v = ModbusLine::decodeValue(&it, wordsOf(words), k);
    QVERIFY2(sameValue(v.val, value),
             qPrintable(QString::number(v.val, 'g', 17) + QLatin1String(" != ") +
                        QString::number(value, 'g', 17)));
    QCOMPARE(v.flag, flag);
    QCOMPARE(v.time, qint64(0));
}

// The archive keeps a single as the shortest decimal that reads back as it, which is what the
// device meant; integers and values divided in double precision stay as they are.
void tst_ModbusDecoder::archiveValue_data()
{
    QTest::addColumn<int>("regType");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("decimal");
    QTest::addColumn<QString>("words");
    QTest::addColumn<double>("archived");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("2 FX 49.95") << 2 << 16 << 0 << "4247 CCCD" << 49.95;
    QTest::newRow("3 FY 49.95") << 3 << 16 << 0 << "CCCD 4247" << 49.95;
    QTest::newRow("3 FX 32-bit register -49.95") << 3 << 32 << 0 << "C247 CCCD" << -49.95;
    QTest::newRow("2 FX 0.1") << 2 << 16 << 0 << "3DCC CCCD" << 0.1;
    QTest::newRow("2 FX 1e-7") << 2 << 16 << 0 << "33D6 BF95" << 1e-7;
    QTest::newRow("2 FX 230.5 exact") << 2 << 16 << 0 << "4366 8000" << 230.5;
    QTest::newRow("2 FX 2^24") << 2 << 16 << 0 << "4B80 0000" << 16777216.0;
    QTest::newRow("2 FX largest single") << 2 << 16 << 0 << "7F7F FFFF" << 3.4028235e38;
    QTest::newRow("2 FX smallest subnormal") << 2 << 16 << 0 << "0000 0001" << 1e-45;
    QTest::newRow("2 FX marker 1e20") << 2 << 16 << 0 << "60AD 78EC" << 1e20;
    QTest::newRow("2 FX infinity") << 2 << 16 << 0 << "7F80 0000" << inf;
    QTest::newRow("2 FX NaN") << 2 << 16 << 0 << "7FC0 0000"
                              << std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("15 sc(4995) d2") << 15 << 16 << 2 << "0000 1383" << 49.95;
    QTest::newRow("15 sc(3) d1") << 15 << 16 << 1 << "0000 0003" << 0.3;
    QTest::newRow("15 d0 keeps all 32 bits") << 15 << 16 << 0 << "075B CD15" << 123456789.0;
    QTest::newRow("1 U32 2^30, a single too, exact") << 1 << 16 << 0 << "4000 0000" << 1073741824.0;
    QTest::newRow("1 U32 largest") << 1 << 16 << 0 << "FFFF FFFF" << 4294967295.0;
    QTest::newRow("6 S32 / 100 in double") << 6 << 16 << 0 << "0000 1383" << 49.95;
    QTest::newRow("5 S32 / 10 in double") << 5 << 16 << 0 << "0000 0003" << 0.3;
}

void tst_ModbusDecoder::archiveValue()
{
    QFETCH(int, regType);
    QFETCH(int, regSize);
    QFETCH(int, decimal);
    QFETCH(QString, words);
    QFETCH(double, archived);

    const t_iterationConfig it = plan(regType, regSize, 32, decimal);
    const double v = ModbusLine::decodeValue(&it, wordsOf(words), 0).archiveValue();
    QVERIFY2(sameValue(v, archived), qPrintable(QString::number(v, 'g', 17) + QLatin1String(" != ") +
                                                QString::number(archived, 'g', 17)));
}

// A plan whose sizes disagree asks for words the request never delivered: such a value is
// a read error, and the decoder must not look past the buffer (ASan builds check that).
void tst_ModbusDecoder::wordsOutsideBuffer_data()
{
    QTest::addColumn<int>("regType");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("k");
    QTest::addColumn<int>("flag");

    QTest::newRow("S32 on 16-bit values, last whole item") << 8 << 16 << 4 << 1 << 0;
    QTest::newRow("S32 on 16-bit values, half an item") << 8 << 16 << 3 << 1 << 4;
    QTest::newRow("S32 on 16-bit values, no item") << 8 << 16 << 3 << 2 << 4;
    QTest::newRow("float on 16-bit values") << 2 << 16 << 1 << 0 << 4;
    QTest::newRow("W, last word") << 4 << 16 << 3 << 2 << 0;
    QTest::newRow("W past the end") << 4 << 16 << 3 << 3 << 4;
    QTest::newRow("W of negative index") << 4 << 16 << 3 << -1 << 4;
    QTest::newRow("S32 of negative index") << 15 << 32 << 4 << -1 << 4;
    QTest::newRow("empty buffer") << 11 << 16 << 0 << 0 << 4;
    QTest::newRow("zero type needs no word") << 12 << 16 << 0 << 0 << 0;
}

void tst_ModbusDecoder::wordsOutsideBuffer()
{
    QFETCH(int, regType);
    QFETCH(int, valSize);
    QFETCH(int, size);
    QFETCH(int, k);
    QFETCH(int, flag);

    const t_iterationConfig it = plan(regType, 16, valSize, 0);
    // Exactly size words on the heap, so that a read past them is caught.
    const QVector<quint16> words(size, 0x0001);
    const BufferInterface::ReadValue v = ModbusLine::decodeValue(&it, words, k);
    QCOMPARE(v.flag, flag);
    if (flag == 4)
        QCOMPARE(v.val, 0.0);
}

void tst_ModbusDecoder::valueStep_data()
{
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("step");

    QTest::newRow("32-bit values on 16-bit registers") << 16 << 32 << 2;
    QTest::newRow("16-bit values") << 16 << 16 << 1;
    QTest::newRow("32-bit registers") << 32 << 32 << 1;
    QTest::newRow("16-bit values on 32-bit registers") << 32 << 16 << 1;
}

void tst_ModbusDecoder::valueStep()
{
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(int, step);
    QCOMPARE(ModbusLine::valueStep(plan(0, regSize, valSize, 0)), step);
}

void tst_ModbusDecoder::requestParts_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("values");
    QTest::addColumn<QString>("parts"); // first register/registers of each request

    // No request begins or ends inside a value of two registers.
    QTest::newRow("200 singles") << 3 << 16 << 32 << 200 << "2000/124 2124/124 2248/124 2372/28";
    QTest::newRow("200 32-bit input values") << 4 << 16 << 32 << 200
                                             << "2000/124 2124/124 2248/124 2372/28";
    QTest::newRow("62 singles in one request") << 3 << 16 << 32 << 62 << "2000/124";
    QTest::newRow("63 singles") << 3 << 16 << 32 << 63 << "2000/124 2124/2";
    QTest::newRow("one single") << 3 << 16 << 32 << 1 << "2000/2";
    QTest::newRow("200 16-bit values") << 3 << 16 << 16 << 200 << "2000/125 2125/75";
    QTest::newRow("125 16-bit values") << 4 << 16 << 16 << 125 << "2000/125";
    QTest::newRow("126 16-bit values") << 4 << 16 << 16 << 126 << "2000/125 2125/1";
    QTest::newRow("200 32-bit registers") << 3 << 32 << 32 << 200 << "2000/62 2062/62 2124/62 2186/14";
    QTest::newRow("16-bit values on 32-bit registers") << 3 << 32 << 16 << 63 << "2000/62 2062/1";
    // Function 4 reads 32-bit registers as 16-bit ones, one value each.
    QTest::newRow("32-bit registers with function 4") << 4 << 32 << 32 << 200 << "2000/125 2125/75";
    QTest::newRow("201 values") << 3 << 16 << 32 << 201 << "";
    QTest::newRow("no values") << 3 << 16 << 16 << 0 << "";
}

void tst_ModbusDecoder::requestParts()
{
    QFETCH(int, function);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(int, values);
    QFETCH(QString, parts);

    t_iterationConfig it = plan(2, regSize, valSize, 0);
    it.ModbusReadFunction = qint16(function);
    it.regAddr = 2000;
    it.valuesCnt = values;
    QStringList got;
    for (const modbuslib::RequestPart& part : ModbusLine::requestParts(it))
        got.append(QStringLiteral("%1/%2").arg(part.first).arg(part.second));
    QCOMPARE(got.join(QLatin1Char(' ')), parts);
}

QTEST_GUILESS_MAIN(tst_ModbusDecoder)
#include "tst_modbusdecoder.moc"
