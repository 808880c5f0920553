#pragma once

#include <QSqlDatabase>
#include <QString>

// A write transaction on one connection, rolled back unless committed. It starts with
// BEGIN IMMEDIATE, so that it waits for other writers at its start instead of failing midway
// when another connection wrote in between.
class SqlTransaction
{
public:
    explicit SqlTransaction(QSqlDatabase db);
    ~SqlTransaction();

    SqlTransaction(const SqlTransaction&) = delete;
    SqlTransaction& operator=(const SqlTransaction&) = delete;

    bool isActive() const { return m_active; }
    bool commit();
    void rollback();
    QString errorText() const { return m_error; }

private:
    QSqlDatabase m_db;
    bool m_active = false;
    QString m_error;
};
