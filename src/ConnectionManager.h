#pragma once

#include "RequestParams.h"

#include <QObject>
#include <QVariantList>

#include <limits>

// The serial and TCP connections (tables SerialConnections and TCPConnections).
class ConnectionManager : public QObject
{
    Q_OBJECT
public:
    explicit ConnectionManager(QObject* parent = nullptr);

    // Creates the two tables when the opened file lacks them.
    bool checkTables();

    // "cfg_getConfiguredConnection": {"serial":[{...}],"tcp":[{...}]}
    QByteArray getConfiguredConnection_j();
    // "cfg_addNewSerialConnection": name, serialPort, baudRate, parity, stopBits, timeout.
    QByteArray addNewSerialConnection_j(t_GetArray& GET);
    // "cfg_editSerialConnection": id and the keys of the add.
    QByteArray editSerialConnection_j(t_GetArray& GET);
    // "cfg_removeSerialConnection": id; refused while a device uses the connection.
    QByteArray removeSerialConnection_j(t_GetArray& GET);
    // "cfg_addNewTcpConnection": name, ip, portTCP, timeout.
    QByteArray addNewTcpConnection_j(t_GetArray& GET);
    // "cfg_editTcpConnection": id and the keys of the add.
    QByteArray editTcpConnection_j(t_GetArray& GET);
    // "cfg_removeTcpConnection": id; refused while a device uses the connection.
    QByteArray removeTcpConnection_j(t_GetArray& GET);

    // Whether a connection of the type ("serial" or "tcp") has the key; a failed statement
    // gives false with its error text in *error.
    static bool connectionExists(const QString& type, int id, QString* error);

private:
    static constexpr int NoKey = std::numeric_limits<int>::min(); // no 16-bit key has it
    // Refuses a duplicate (a row found other than ownKey) with its message, else stores.
    QByteArray storeUnique(const QString& duplicateSql, const QVariantList& duplicateValues,
                           int ownKey, const char* duplicateMessage, const QString& storeSql,
                           const QVariantList& storeValues);
    QByteArray removeConnection(t_GetArray& GET, const char* type, const QString& deleteSql);
};
