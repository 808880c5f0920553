#pragma once

#include "ConfigManager.h"
#include "Database.h"

#include <QSqlQuery>
#include <QString>
#include <QVariant>

// A fresh database in `directory` holding device 1 with parameters 1..count at registers
// 1..count, each archived every archInterval seconds (0: not archived).
inline void benchDatabase(const QString& directory, int count, int archInterval)
{
    ConfigManager config(directory, nullptr);
    config.clearDatabase_j();
    QSqlQuery q(Database::connection());
    q.exec(QStringLiteral("BEGIN"));
    q.exec(QStringLiteral("INSERT INTO Devices (idDevices, name) VALUES (1, 'bench')"));
    q.prepare(QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, "
                             "archInterval, unit) VALUES (?, 1, ?, ?, 'V')"));
    for (int p = 1; p <= count; ++p) {
        q.addBindValue(p);
        q.addBindValue(p);
        q.addBindValue(archInterval);
        q.exec();
    }
    q.exec(QStringLiteral("COMMIT"));
}
