#pragma once

#include <QString>

// The lines the program writes for the person who runs it, on standard error, and for warnings
// and errors also in the event log: what went wrong in config.ini, an open login, devices that
// stop answering, the polling run. Their wording lives here, in one place.
class OperatorLog
{
public:
    // Standard error only.
    static void info(const QString& text);
    // Standard error and the event log; a line the event log does not take was printed all
    // the same and is not told a second time.
    static void warn(const QString& text);
    // The two halves (types of Logs), for lines told before the database is open.
    static void print(int type, const QString& text);
    static bool store(int type, const QString& text);

    // config.ini
    static QString configUnreadable(const QString& path);
    static QString configValueRefused(const QString& group, const QString& key,
                                      const QString& value, const QString& problem,
                                      const QString& consequence);
    static QString configUnknownGroup(const QString& group, const QString& suggestion);
    static QString configUnknownKey(const QString& group, const QString& key,
                                    const QString& suggestion);
    static QString configKeyOutsideGroups(const QString& key);

    // Logins on while a user who may log in has the empty password.
    static QString emptyPassword(const QString& user, int privilege);
    static QString moreEmptyPasswords(int count);

    // A device of a channel (its name, Modbus unit id, the serial port or address:port).
    static QString deviceNotAnswering(const QString& device, int unit, const QString& channel,
                                      int result, int timeoutMs);
    static QString deviceAnswersAgain(const QString& device, int unit, const QString& channel);

    static QString pollingStarted(int channels, int pollIntervalMs);
    static QString pollingStopped(int channels);
};
