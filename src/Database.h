#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

class QSqlQuery;
struct sqlite3;

// The database file and the connections to it.
//
// Qt lets a connection be used only by the thread that opened it, so every thread runs its
// statements on a connection of its own to the one file: opened on first use, closed when the
// thread ends. Each connection enforces foreign keys, waits when another writer holds the file
// (busy time-out) and uses WAL, so that long reads never block the archive writes.
//
// Only SQLite opens the file, its -wal and its -shm while the program runs: POSIX locks belong
// to the process, and closing any other descriptor of the file drops all of SQLite's locks on
// it; another process (a sqlite3 shell, a backup script) would then take itself for the last
// user and delete the WAL that the program goes on writing.
class Database
{
public:
    // Busy time-out of every connection: a writer waits this long for another one to finish.
    static constexpr int BusyTimeoutMs = 10000;
    // What the WAL keeps of its size once it starts over: about twice its usual size, so that a
    // WAL grown by a long read (or a whole new file) gives the disk back.
    static constexpr int WalSizeLimitBytes = 8 << 20;

    // Sets the database file; connections opened on another file are reopened on next use.
    static void setPath(const QString& path);
    static QString path();

    // This thread's connection, opened on first use. It is not open when the file cannot be
    // opened; statements on it then fail with the driver's error.
    static QSqlDatabase connection();

    // Prepares sql on the query's connection, binds values to its ? placeholders in order and
    // runs it; false with the query's lastError() set when any step fails.
    static bool exec(QSqlQuery& query, const QString& sql, const QVariantList& values = {});

    // SQLite's own handle of a connection, for reads that step through millions of rows, where
    // QSqlQuery's per-row conversions would cost more than the reading; null when not open.
    // It belongs to the connection's thread like the connection itself.
    static sqlite3* handle(const QSqlDatabase& db);

    // Closes this thread's connection now instead of at thread end.
    static void closeThreadConnection();

    // Opens a connection of its own name on some other file (scratch and uploaded databases),
    // with the same busy time-out; SQLite creates a missing file unless mustExist. The caller
    // removes it with QSqlDatabase::removeDatabase.
    static QSqlDatabase openOther(const QString& connectionName, const QString& filePath,
                                  bool mustExist = false);

    // Replaces the whole content of the database file by that of sourcePath in one write
    // transaction (SQLite's online backup), so that every statement of every other connection
    // runs either on the old content or on the new one, and no journal of the old content can
    // be applied to the new. The connections of other threads stay valid. A database file
    // that holds no database is emptied by SQLite first; the file itself is never removed.
    static bool replaceContent(const QString& sourcePath, QString* error);

    // Writes a consistent copy of the database (one read transaction) to targetPath, which must
    // not exist or be empty. Fails when no file is at path() any more.
    static bool snapshot(const QString& targetPath, QString* error);
};
