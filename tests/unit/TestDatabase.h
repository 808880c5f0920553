#pragma once

#include "ConfigManager.h"
#include "Database.h"
#include "RequestParams.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <QtTest>

#include <memory>

// A fresh database with its default rows in a directory of its own.
class TestDatabase
{
public:
    TestDatabase()
    {
        QVERIFY2(dir.isValid(), "no temporary directory");
        manager = std::make_unique<ConfigManager>(dir.path(), nullptr);
        const QByteArray reply = manager->clearDatabase_j();
        QVERIFY2(reply == "{\"success\":true}", reply.constData());
    }

    // Runs a statement and returns the first column of every row as text.
    static QStringList column(const QString& sql)
    {
        QSqlQuery q(Database::connection());
        if (!q.exec(sql))
            qWarning() << sql << q.lastError().text();
        QStringList out;
        while (q.next())
            out << q.value(0).toString();
        return out;
    }

    static QString value(const QString& sql)
    {
        const QStringList values = column(sql);
        return values.isEmpty() ? QString() : values.first();
    }

    static bool exec(const QString& sql)
    {
        QSqlQuery q(Database::connection());
        const bool ok = q.exec(sql);
        if (!ok)
            qDebug() << sql << q.lastError().text();
        return ok;
    }

    // Request parameters from a table row.
    // Device 1 with parameters 1 to count, each at its own register, archived every minute.
    static bool addDeviceWithParameters(int count)
    {
        if (!exec(QStringLiteral("INSERT INTO Devices (idDevices, name) VALUES (1, 'm')")))
            return false;
        for (int p = 1; p <= count; ++p) {
            if (!exec(QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, idDevice, "
                                     "regAddr, archInterval) VALUES (%1, 1, %1, 60)")
                          .arg(p)))
                return false;
        }
        return true;
    }

    static t_GetArray params(const QVariantMap& values)
    {
        t_GetArray get;
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            get.insert(it.key().toUtf8(), it.value().toString().toUtf8());
        return get;
    }

    QTemporaryDir dir;
    std::unique_ptr<ConfigManager> manager;
};
