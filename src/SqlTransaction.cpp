#include "SqlTransaction.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtDebug>

SqlTransaction::SqlTransaction(QSqlDatabase db) : m_db(db)
{
    QSqlQuery q(m_db);
    m_active = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
    if (!m_active) {
        m_error = q.lastError().text();
        qDebug() << "BEGIN failed:" << m_error;
    }
}

SqlTransaction::~SqlTransaction()
{
    rollback();
}

bool SqlTransaction::commit()
{
    if (!m_active)
        return false;
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("COMMIT"))) {
        m_error = q.lastError().text();
        qDebug() << "COMMIT failed:" << m_error;
        rollback();
        return false;
    }
    m_active = false;
    return true;
}

void SqlTransaction::rollback()
{
    if (!m_active)
        return;
    QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
    m_active = false;
}
