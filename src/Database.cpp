#include "Database.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMutex>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QThreadStorage>
#include <QUrl>
#include <QVariant>
#include <QtDebug>

#include <atomic>
#include <sqlite3.h>

// The backup below talks to libsqlite3 directly. Qt's SQLite driver on Debian links the same
// shared libsqlite3, so both share one copy of SQLite and its file locks.

namespace {

QMutex s_pathMutex;
QString s_path;
std::atomic<int> s_generation{0};
std::atomic<quint64> s_connectionSerial{0};

// A long read keeps every page written meanwhile in the WAL, which grows while it lasts; SQLite
// cuts it back to this size when it next starts the log over, once no reader needs it.
QString walSizeLimit()
{
    return QStringLiteral("PRAGMA journal_size_limit = %1;").arg(Database::WalSizeLimitBytes);
}

void configure(QSqlDatabase& db)
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
    q.exec(QStringLiteral("PRAGMA journal_mode = WAL;"));
    // WAL with NORMAL stays consistent after a crash; it may lose the last commits on power loss.
    q.exec(QStringLiteral("PRAGMA synchronous = NORMAL;"));
    q.exec(walSizeLimit());
}

struct ThreadConnection
{
    QString name;
    int generation = -1;

    ~ThreadConnection() { close(); }

    void close()
    {
        if (name.isEmpty())
            return;
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        name.clear();
    }
};

QThreadStorage<ThreadConnection*> s_threadConnection;

bool isBusy(int rc)
{
    rc &= 0xff;
    return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

QString sqliteError(sqlite3* db, const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromUtf8(sqlite3_errmsg(db)));
}

int pageSize(sqlite3* db)
{
    sqlite3_stmt* st = nullptr;
    int size = 0;
    if (sqlite3_prepare_v2(db, "PRAGMA page_size;", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        size = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return size;
}

int readSchema(sqlite3* db)
{
    return sqlite3_exec(db, "SELECT COUNT(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
}

bool isUnreadable(int rc)
{
    rc &= 0xff;
    return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

// Copies every page of src into dst in one write transaction of dst; SQLITE_DONE on success.
int copyPages(sqlite3* src, sqlite3* dst)
{
    sqlite3_exec(dst, "PRAGMA journal_mode = WAL;", nullptr, nullptr, nullptr);
    sqlite3_exec(dst, walSizeLimit().toUtf8().constData(), nullptr, nullptr, nullptr);
    // A WAL database cannot take pages of another size: rebuild the source to match first.
    const int dstPage = pageSize(dst);
    if (dstPage > 0 && pageSize(src) != dstPage) {
        const QByteArray sql =
            "PRAGMA journal_mode = DELETE; PRAGMA page_size = " + QByteArray::number(dstPage) +
            "; VACUUM;";
        sqlite3_exec(src, sql.constData(), nullptr, nullptr, nullptr);
    }
    sqlite3_backup* backup = sqlite3_backup_init(dst, "main", src, "main");
    if (!backup)
        return sqlite3_errcode(dst);
    QDeadlineTimer deadline(Database::BusyTimeoutMs);
    int rc;
    // Busy handlers already wait; this loop covers locks held by this process's other
    // connections, which SQLite reports without waiting.
    while (isBusy(rc = sqlite3_backup_step(backup, -1)) && !deadline.hasExpired())
        QThread::msleep(20);
    sqlite3_backup_finish(backup);
    return rc;
}

bool hasMoved(sqlite3* db)
{
    int moved = 0;
    return db && sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
           moved;
}

// Empties a database whatever its content, through SQLite; SQLITE_OK on success.
int resetDatabase(sqlite3* db)
{
    int previous = 0;
    sqlite3_db_config(db, SQLITE_DBCONFIG_RESET_DATABASE, 1, &previous);
    const int rc = sqlite3_exec(db, "VACUUM;", nullptr, nullptr, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_RESET_DATABASE, 0, &previous);
    return rc;
}

} // namespace

void Database::setPath(const QString& path)
{
    QMutexLocker locker(&s_pathMutex);
    s_path = path;
    ++s_generation;
}

QString Database::path()
{
    QMutexLocker locker(&s_pathMutex);
    return s_path;
}

QSqlDatabase Database::connection()
{
    ThreadConnection* tc = s_threadConnection.localData();
    if (!tc) {
        tc = new ThreadConnection;
        s_threadConnection.setLocalData(tc);
    }
    const int generation = s_generation.load();
    if (!tc->name.isEmpty() && tc->generation == generation) {
        QSqlDatabase db = QSqlDatabase::database(tc->name, false);
        if (db.isOpen())
            return db;
        tc->close();
    } else {
        tc->close();
    }

    tc->name = QStringLiteral("korvalen-%1").arg(++s_connectionSerial);
    tc->generation = generation;
    // A file that vanished while the program runs is not silently replaced by an empty one;
    // only building a fresh database creates the file.
    QSqlDatabase db = openOther(tc->name, path(), true);
    if (db.isOpen())
        configure(db);
    return db;
}

bool Database::exec(QSqlQuery& query, const QString& sql, const QVariantList& values)
{
    if (!query.prepare(sql))
        return false;
    for (const QVariant& v : values)
        query.addBindValue(v);
    return query.exec();
}

sqlite3* Database::handle(const QSqlDatabase& db)
{
    const QVariant v = db.isOpen() && db.driver() ? db.driver()->handle() : QVariant();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(v.constData());
}

void Database::closeThreadConnection()
{
    if (ThreadConnection* tc = s_threadConnection.localData())
        tc->close();
}

QSqlDatabase Database::openOther(const QString& connectionName, const QString& filePath,
                                 bool mustExist)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs);
    if (mustExist) {
        db.setDatabaseName(QUrl::fromLocalFile(filePath).toString(QUrl::FullyEncoded) +
                           QStringLiteral("?mode=rw"));
        options += QStringLiteral(";QSQLITE_OPEN_URI");
    } else {
        db.setDatabaseName(filePath);
    }
    db.setConnectOptions(options);
    if (!db.open())
        qWarning() << "Cannot open database" << filePath << db.lastError().text();
    return db;
}

bool Database::replaceContent(const QString& sourcePath, QString* error)
{
    QString err;
    sqlite3* src = nullptr;
    sqlite3* dst = nullptr;
    bool ok = false;

    const QByteArray srcName = QFile::encodeName(sourcePath);
    const QByteArray dstName = QFile::encodeName(path());
    if (sqlite3_open_v2(srcName.constData(), &src, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        err = sqliteError(src, "open source");
    } else if (readSchema(src) != SQLITE_OK) {
        err = sqliteError(src, "read source");
    } else if (sqlite3_open_v2(dstName.constData(), &dst,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        err = sqliteError(dst, "open database");
    } else {
        sqlite3_busy_timeout(src, BusyTimeoutMs);
        sqlite3_busy_timeout(dst, BusyTimeoutMs);
        int rc = copyPages(src, dst);
        if (isUnreadable(rc) && isUnreadable(readSchema(dst))) {
            // The old content is no database at all. SQLite empties the file in place: removing
            // or rewriting it from outside would drop the locks that this process's connections
            // hold on it, its journal and its WAL.
            rc = resetDatabase(dst);
            if (rc == SQLITE_OK)
                rc = copyPages(src, dst);
        }
        ok = rc == SQLITE_DONE;
        if (!ok)
            err = QStringLiteral("backup: %1").arg(QString::fromUtf8(sqlite3_errstr(rc)));
    }
    sqlite3_close(src);
    sqlite3_close(dst);

    if (!ok)
        qWarning() << "Database replacement failed:" << err;
    if (error)
        *error = err;
    return ok;
}

bool Database::snapshot(const QString& targetPath, QString* error)
{
    QSqlDatabase db = connection();
    // A connection whose file was renamed or removed would copy what is no longer the
    // database; SQLite tells, without a descriptor of ours on the file.
    if (hasMoved(handle(db))) {
        closeThreadConnection();
        db = connection();
    }
    QSqlQuery q(db);
    q.prepare(QStringLiteral("VACUUM INTO ?"));
    q.addBindValue(targetPath);
    if (q.exec())
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}
