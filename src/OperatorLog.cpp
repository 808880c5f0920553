#include "OperatorLog.h"

#include "Logs.h"
#include "ShownText.h"
#include "connections/ModbusLine.h"

#include <QtDebug>

namespace {

// Every line holds text of config.ini or the web API (names, values, the entries a check
// names): cleaned as a whole, so that nothing of it reaches the terminal or the event log raw.
constexpr int maxLine = 1000;
// No single name fills the line.
constexpr int maxName = 200;

QString printable(const QString& text)
{
    return ShownText::of(text, maxName);
}

} // namespace

void OperatorLog::info(const QString& text)
{
    print(Logs::Info, text);
}

void OperatorLog::warn(const QString& text)
{
    print(Logs::Warn, text);
    store(Logs::Warn, text);
}

void OperatorLog::print(int type, const QString& text)
{
    const QString line = ShownText::of(text, maxLine);
    switch (type) {
    case Logs::Error:
        qCritical("%s", qUtf8Printable(line));
        break;
    case Logs::Warn:
        qWarning("%s", qUtf8Printable(line));
        break;
    default:
        qInfo("%s", qUtf8Printable(line));
        break;
    }
}

bool OperatorLog::store(int type, const QString& text)
{
    // The reason it was not stored is the database's, and the text is on standard error.
    return Logs::storeLog(type, ShownText::of(text, maxLine));
}

QString OperatorLog::configUnreadable(const QString& path)
{
    return QStringLiteral("config.ini: %1 cannot be read as an INI file; the defaults are used.")
        .arg(path);
}

QString OperatorLog::configValueRefused(const QString& group, const QString& key,
                                        const QString& value, const QString& problem,
                                        const QString& consequence)
{
    return QStringLiteral("config.ini, group [%1], key %2: the value \"%3\" %4; %5.")
        .arg(printable(group), printable(key), printable(value), problem, consequence);
}

QString OperatorLog::configUnknownGroup(const QString& group, const QString& suggestion)
{
    QString text =
        QStringLiteral("config.ini: the group [%1] is not one the program reads; its keys have "
                       "no effect")
            .arg(printable(group));
    if (!suggestion.isEmpty())
        text += QStringLiteral(" (did you mean [%1]?)").arg(suggestion);
    return text + QLatin1Char('.');
}

QString OperatorLog::configUnknownKey(const QString& group, const QString& key,
                                      const QString& suggestion)
{
    QString text = QStringLiteral("config.ini, group [%1]: the key %2 is not one the program "
                                  "reads; it has no effect")
                       .arg(printable(group), printable(key));
    if (!suggestion.isEmpty())
        text += QStringLiteral(" (did you mean %1?)").arg(suggestion);
    return text + QLatin1Char('.');
}

QString OperatorLog::configKeyOutsideGroups(const QString& key)
{
    return QStringLiteral("config.ini: the key %1 stands outside any group; it has no effect.")
        .arg(printable(key));
}

QString OperatorLog::emptyPassword(const QString& user, int privilege)
{
    const QString rights = privilege == 255 ? QStringLiteral("with full rights")
                           : privilege == 1 ? QStringLiteral("with read-only rights")
                                            : QStringLiteral("with privilege %1").arg(privilege);
    return QStringLiteral("Logins are on, and the user \"%1\" has an empty password: anyone who "
                          "reaches the program can log in as \"%1\" %2. Give the user a "
                          "password, or remove it.")
        .arg(printable(user), rights);
}

QString OperatorLog::moreEmptyPasswords(int count)
{
    return QStringLiteral("Logins are on, and %1 more users have an empty password.").arg(count);
}

namespace {

QString failureReason(int result, int timeoutMs)
{
    switch (result) {
    case ModbusLine::SerialNotOpen:
        return QStringLiteral("port not opened (the serial port is missing, in use or not "
                              "permitted)");
    case ModbusLine::TcpNotConnected:
        return QStringLiteral("not connected (the connection is refused, or the address cannot "
                              "be reached)");
    case ModbusLine::Timeout:
        return QStringLiteral("time-out (no answer within %1 ms)").arg(timeoutMs);
    case ModbusLine::WrongAnswer:
        return QStringLiteral("read error (the answer does not fit the request)");
    case ModbusLine::TooManyValues:
        return QStringLiteral("read error (the read plan asks for fewer than 1 or more than %1 "
                              "values)")
            .arg(ModbusLine::MaxValues);
    default:
        return QStringLiteral("read error (an error answer, a damaged answer or a broken "
                              "connection)");
    }
}

QString deviceText(const QString& device, int unit, const QString& channel)
{
    return QStringLiteral("Device \"%1\" (unit %2) on %3")
        .arg(printable(device), QString::number(unit), printable(channel));
}

QString channelsText(int channels)
{
    return channels == 1 ? QStringLiteral("1 channel") : QStringLiteral("%1 channels").arg(channels);
}

} // namespace

QString OperatorLog::deviceNotAnswering(const QString& device, int unit, const QString& channel,
                                        int result, int timeoutMs)
{
    return deviceText(device, unit, channel) + QStringLiteral(" is not answering: ") +
           failureReason(result, timeoutMs) + QLatin1Char('.');
}

QString OperatorLog::deviceAnswersAgain(const QString& device, int unit, const QString& channel)
{
    return deviceText(device, unit, channel) + QStringLiteral(" answers again.");
}

QString OperatorLog::pollingStarted(int channels, int pollIntervalMs)
{
    return QStringLiteral("Polling started: %1, poll interval %2 ms.")
        .arg(channelsText(channels))
        .arg(pollIntervalMs);
}

QString OperatorLog::pollingStopped(int channels)
{
    return QStringLiteral("Polling stopped: %1.").arg(channelsText(channels));
}
