// Per-thread connections to the database file, and its whole-file replacement and snapshot
// while other threads use it; the names of the copies and scratch files left behind.
#include "LeftoverFiles.h"
#include "TestDatabase.h"

#include <QTemporaryFile>

#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <sys/stat.h>
#include <vector>

namespace {

struct Insert
{
    int writer;
    int seq;
    bool ok;
    bool committedBeforeSwapStarted;
    bool startedAfterSwapDone;
};

QString makeSource(const QString& path, int markers)
{
    {
        QSqlDatabase src = Database::openOther("source", path);
        QSqlQuery q(src);
        q.exec("CREATE TABLE W (writer INTEGER, seq INTEGER)");
        for (int i = 0; i < markers; ++i)
            q.exec(QStringLiteral("INSERT INTO W VALUES (-1, %1)").arg(i));
        src.close();
    }
    QSqlDatabase::removeDatabase("source");
    return path;
}

ino_t inode(const QString& path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class TestDatabaseConnections : public QObject
{
    Q_OBJECT
private slots:
    void init() { db = std::make_unique<TestDatabase>(); }
    void cleanup() { db.reset(); }

    void threadsHaveConnectionsOfTheirOwn();
    void replacementWhileThreadsWriteAndRead();
    void replacementWhileAnotherThreadHoldsAReadTransaction();
    void snapshotWhileWriting();
    void snapshotOfAFileNoLongerInPlace();
    void replacementOfAFileThatHoldsNoDatabase_data();
    void replacementOfAFileThatHoldsNoDatabase();
    void leftoverNames_data();
    void leftoverNames();
    void temporaryFilesAreNamedFromTheirTemplate();

private:
    std::unique_ptr<TestDatabase> db;
};

void TestDatabaseConnections::threadsHaveConnectionsOfTheirOwn()
{
    const QString mainName = Database::connection().connectionName();
    QString otherName;
    bool otherSawUncommitted = true;
    QVERIFY(TestDatabase::exec("CREATE TABLE T (v)"));
    QVERIFY(TestDatabase::exec("BEGIN IMMEDIATE"));
    QVERIFY(TestDatabase::exec("INSERT INTO T VALUES (1)"));

    QThread* thread = QThread::create([&] {
        otherName = Database::connection().connectionName();
        otherSawUncommitted = TestDatabase::value("SELECT COUNT(*) FROM T") != "0";
    });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;
    QVERIFY(TestDatabase::exec("COMMIT"));

    QVERIFY(!otherName.isEmpty());
    QVERIFY(otherName != mainName);
    QVERIFY2(!otherSawUncommitted, "a transaction leaked to another thread's connection");
    // The thread's connection went with the thread.
    QVERIFY(!QSqlDatabase::connectionNames().contains(otherName));
    QVERIFY(QSqlDatabase::connectionNames().contains(mainName));
}

void TestDatabaseConnections::replacementWhileThreadsWriteAndRead()
{
    QVERIFY(TestDatabase::exec("CREATE TABLE W (writer INTEGER, seq INTEGER)"));
    const QString source = makeSource(db->dir.filePath("source.sqlite"), 25);

    constexpr int writers = 4;
    constexpr int readers = 2;
    std::atomic<bool> stop{false};
    std::atomic<bool> swapStarted{false};
    std::atomic<bool> swapDone{false};
    std::atomic<int> committed[writers] = {};
    std::atomic<int> committedAfterSwap[writers] = {};
    std::atomic<int> readerFailures{0};
    std::vector<Insert> log[writers];
    QList<QThread*> threads;

    for (int w = 0; w < writers; ++w) {
        threads << QThread::create([&, w] {
            for (int seq = 0; !stop; ++seq) {
                const bool afterDone = swapDone;
                QSqlQuery q(Database::connection());
                const bool ok =
                    q.exec(QStringLiteral("INSERT INTO W VALUES (%1, %2)").arg(w).arg(seq));
                log[w].push_back({w, seq, ok, !swapStarted, afterDone});
                if (ok) {
                    ++committed[w];
                    if (afterDone)
                        ++committedAfterSwap[w];
                }
            }
        });
    }
    for (int r = 0; r < readers; ++r) {
        threads << QThread::create([&] {
            while (!stop) {
                QSqlQuery q(Database::connection());
                if (!q.exec("SELECT COUNT(*), MAX(seq) FROM W") || !q.next())
                    ++readerFailures;
            }
        });
    }
    for (QThread* t : threads)
        t->start();

    auto allAtLeast = [&](std::atomic<int>* counters, int n) {
        for (int w = 0; w < writers; ++w)
            if (counters[w] < n)
                return false;
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allAtLeast(committed, 30), 30000);
    swapStarted = true;
    QString error;
    const bool replaced = Database::replaceContent(source, &error);
    swapDone = true;
    QTRY_VERIFY_WITH_TIMEOUT(allAtLeast(committedAfterSwap, 30), 30000);
    stop = true;
    for (QThread* t : threads) {
        QVERIFY(t->wait(30000));
        delete t;
    }

    QVERIFY2(replaced, qPrintable(error));
    QCOMPARE(readerFailures.load(), 0);
    QCOMPARE(TestDatabase::value("PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(TestDatabase::value("PRAGMA journal_mode"), QString("wal"));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM W WHERE writer = -1"), QString("25"));
    // The old content is gone with the old tables.
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM sqlite_master WHERE name = 'Devices'"),
             QString("0"));

    QSet<QPair<int, int>> stored;
    QSqlQuery q(Database::connection());
    QVERIFY(q.exec("SELECT writer, seq FROM W WHERE writer >= 0"));
    while (q.next())
        stored.insert({q.value(0).toInt(), q.value(1).toInt()});
    QSet<QPair<int, int>> inserted;
    for (int w = 0; w < writers; ++w) {
        for (const Insert& i : log[w]) {
            QVERIFY2(i.ok, "a statement failed while the file was replaced");
            inserted.insert({i.writer, i.seq});
            if (i.startedAfterSwapDone)
                QVERIFY2(stored.contains({i.writer, i.seq}),
                         "a row committed after the replacement is missing");
            if (i.committedBeforeSwapStarted)
                QVERIFY2(!stored.contains({i.writer, i.seq}), "a row of the old content survived");
        }
    }
    QVERIFY2(inserted.contains(stored), "a row appeared that no writer committed");

    QSqlDatabase check = Database::openOther("check", source);
    QCOMPARE(QSqlQuery("PRAGMA integrity_check", check).next(), true);
    check.close();
    check = QSqlDatabase();
    QSqlDatabase::removeDatabase("check");
}

void TestDatabaseConnections::replacementWhileAnotherThreadHoldsAReadTransaction()
{
    QVERIFY(TestDatabase::exec("CREATE TABLE W (writer INTEGER, seq INTEGER)"));
    QVERIFY(TestDatabase::exec("INSERT INTO W VALUES (0, 0)"));
    const QString source = makeSource(db->dir.filePath("source.sqlite"), 3);

    QSemaphore reading;
    QSemaphore replaced;
    QString inside;
    QString insideAgain;
    QString afterwards;
    QThread* reader = QThread::create([&] {
        QSqlDatabase c = Database::connection();
        QSqlQuery q(c);
        q.exec("BEGIN");
        inside = TestDatabase::value("SELECT COUNT(*) FROM W");
        reading.release();
        replaced.acquire();
        insideAgain = TestDatabase::value("SELECT COUNT(*) FROM W");
        q.exec("COMMIT");
        afterwards = TestDatabase::value("SELECT COUNT(*) FROM W");
    });
    reader->start();
    QVERIFY(reading.tryAcquire(1, 10000));
    QString error;
    QVERIFY2(Database::replaceContent(source, &error), qPrintable(error));
    replaced.release();
    QVERIFY(reader->wait(10000));
    delete reader;

    QCOMPARE(inside, QString("1"));
    QCOMPARE(insideAgain, QString("1")); // a read transaction keeps its snapshot
    QCOMPARE(afterwards, QString("3"));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM W"), QString("3"));
}

void TestDatabaseConnections::snapshotWhileWriting()
{
    QVERIFY(TestDatabase::exec("CREATE TABLE P (a, b)"));
    std::atomic<bool> stop{false};
    std::atomic<int> pairs{0};
    QThread* writer = QThread::create([&] {
        while (!stop) {
            // Rows go in pairs: a consistent copy never holds half a pair.
            QSqlQuery q(Database::connection());
            q.exec("BEGIN IMMEDIATE");
            q.exec("INSERT INTO P VALUES (1, randomblob(2000))");
            q.exec("INSERT INTO P VALUES (2, randomblob(2000))");
            if (q.exec("COMMIT"))
                ++pairs;
        }
    });
    writer->start();
    QTRY_VERIFY_WITH_TIMEOUT(pairs > 200, 30000);
    const QString copy = db->dir.filePath("copy.sqlite");
    QString error;
    const bool ok = Database::snapshot(copy, &error);
    stop = true;
    QVERIFY(writer->wait(10000));
    delete writer;
    QVERIFY2(ok, qPrintable(error));

    {
        QSqlDatabase c = Database::openOther("copy", copy);
        QSqlQuery q(c);
        QVERIFY(q.exec("PRAGMA integrity_check") && q.next());
        QCOMPARE(q.value(0).toString(), QString("ok"));
        QVERIFY(q.exec("SELECT SUM(a = 1), SUM(a = 2) FROM P") && q.next());
        QVERIFY(q.value(0).toInt() > 0);
        QCOMPARE(q.value(0).toInt(), q.value(1).toInt());
        q = QSqlQuery();
        c.close();
    }
    QSqlDatabase::removeDatabase("copy");
}

// The connection stays on the file it opened; the copy must be of the file at the path.
void TestDatabaseConnections::snapshotOfAFileNoLongerInPlace()
{
    QVERIFY(TestDatabase::exec("CREATE TABLE T (v)"));
    const QString path = Database::path();
    const QString away = path + ".away";
    QVERIFY(QFile::rename(path, away));
    QString error;
    const bool copied = Database::snapshot(db->dir.filePath("copy1.sqlite"), &error);
    const bool created = QFile::exists(path);
    QVERIFY(QFile::rename(away, path));
    QVERIFY(!copied);
    QVERIFY(!created);
    QVERIFY2(Database::snapshot(db->dir.filePath("copy2.sqlite"), &error), qPrintable(error));
    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM T"), QString("0"));
}

void TestDatabaseConnections::replacementOfAFileThatHoldsNoDatabase_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("text") << QByteArray("this is no database\n").repeated(1000);
    QTest::newRow("header, then garbage") << QByteArray("SQLite format 3\0", 16) +
                                                 QByteArray("\x10\x00\x02\x02", 4) +
                                                 QByteArray(20000, '\xa5');
}

// The file is emptied and filled in place: the connections of every thread, and their locks on
// the file, stay on it.
void TestDatabaseConnections::replacementOfAFileThatHoldsNoDatabase()
{
    QFETCH(QByteArray, content);
    const QString path = Database::path();
    Database::closeThreadConnection();
    {
        QFile damaged(path);
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write(content);
    }
    for (const char* suffix : {"-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
    QVERIFY(Database::connection().isOpen());
    QVERIFY(!TestDatabase::exec("SELECT COUNT(*) FROM Users"));
    const ino_t before = inode(path);
    QVERIFY(before != 0);

    const QString source = makeSource(db->dir.filePath("source.sqlite"), 4);
    QString error;
    QVERIFY2(Database::replaceContent(source, &error), qPrintable(error));

    QCOMPARE(TestDatabase::value("SELECT COUNT(*) FROM W"), QString("4"));
    QCOMPARE(TestDatabase::value("PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(TestDatabase::value("PRAGMA journal_mode"), QString("wal"));
    QCOMPARE(inode(path), before);
}

void TestDatabaseConnections::leftoverNames_data()
{
    QTest::addColumn<QString>("templateName");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("fromTemplate");

    const QString copy = "db_backup_XXXXXX.sqlite";
    QTest::newRow("a copy") << copy << "db_backup_AbCdEf.sqlite" << true;
    QTest::newRow("a user's dated copy") << copy << "db_backup_2026-12-01.sqlite" << false;
    QTest::newRow("a user's named copy") << copy << "db_backup_before-upgrade.sqlite" << false;
    QTest::newRow("six characters, a digit among them") << copy << "db_backup_a1B2c3.sqlite" << false;
    QTest::newRow("one letter more") << copy << "db_backup_AbCdEfG.sqlite" << false;
    QTest::newRow("one letter less") << copy << "db_backup_AbCdE.sqlite" << false;
    QTest::newRow("the download's name") << copy << "db_backup.sqlite" << false;
    QTest::newRow("another extension") << copy << "db_backup_AbCdEf.sqlitf" << false;
    const QString csv = "Brimat Capture_csv.XXXXXX";
    QTest::newRow("a CSV file") << csv << "Brimat Capture_csv.qWeRty" << true;
    QTest::newRow("a user's CSV file") << csv << "Brimat Capture_csv.txt" << false;
    QTest::newRow("a CSV file kept") << csv << "Brimat Capture_csv.qWeRty.bak" << false;
    QTest::newRow("not a letter") << csv << "Brimat Capture_csv.qWeRt\u00e9" << false;
    QTest::newRow("no template") << "db_temp.sqlite" << "db_temp.sqlite" << false;
}

// Only a name that the program could have given is ever taken for a leftover.
void TestDatabaseConnections::leftoverNames()
{
    QFETCH(QString, templateName);
    QFETCH(QString, name);
    QFETCH(bool, fromTemplate);
    QCOMPARE(LeftoverFiles::isFromTemplate(templateName, name), fromTemplate);
}

// The names that Qt gives are those that the removal at start-up recognises.
void TestDatabaseConnections::temporaryFilesAreNamedFromTheirTemplate()
{
    const QString templatePath = db->dir.filePath("db_backup_XXXXXX.sqlite");
    for (int i = 0; i < 200; ++i) {
        QTemporaryFile file(templatePath);
        QVERIFY(file.open());
        const QString name = QFileInfo(file.fileName()).fileName();
        QVERIFY2(LeftoverFiles::isFromTemplate("db_backup_XXXXXX.sqlite", name), qPrintable(name));
    }
}

QTEST_GUILESS_MAIN(TestDatabaseConnections)
#include "tst_database.moc"
