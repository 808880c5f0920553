#include "Logs.h"
#include "TestDatabase.h"
#include "TryLocker.h"
#include "polling/ArchiveManager.h"

#include <QDateTime>
#include <QFile>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <sys/file.h>

// The CSV file's life: its generation, its wait for the download, its replacement and release.
class TestArchiveCsv : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { db.reset(); }

    void csvFileWaitsForItsDownload();
    void leftoverCsvFilesGoAtStart();
    void downloadOutlivesReleaseAndNewerFileStays();
    void concurrentGenerationsMakeOneFile();
    void generationWithoutTheLockEnds();

private:
    std::unique_ptr<TestDatabase> db;
};

// Rows of four parameters, one a minute, enough for a file that is read in several parts.
void TestArchiveCsv::initTestCase()
{
    db = std::make_unique<TestDatabase>();
    QVERIFY(TestDatabase::addDeviceWithParameters(4));
    QSqlQuery q(Database::connection());
    q.exec("BEGIN");
    q.prepare("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (?, ?, 0, ?)");
    const QDateTime first(QDate(2024, 3, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < 8000; ++i) {
        q.addBindValue(i % 4 + 1);
        q.addBindValue(i / 7.0);
        q.addBindValue(first.addSecs(60 * qint64(i / 4)).toString("yyyy-MM-dd hh:mm:ss"));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    q.exec("COMMIT");
}

void TestArchiveCsv::csvFileWaitsForItsDownload()
{
    t_GetArray get = TestDatabase::params({{"paramListStr", "[1,2]"}, {"colNamesStr", "t;a;b"}});
    {
        // Kept far longer than a busy machine takes between two calls.
        ArchiveManager archive(60000, nullptr);
        QCOMPARE(archive.generateCSVFile_j(get), QByteArray("{\"success\":true}"));
        QCOMPARE(archive.generateCSVFile_j(get),
                 QByteArray(R"({"error":true,"message":"Generating in progress"})"));
    }
    constexpr int replaceMs = 100;
    ArchiveManager archive(replaceMs, nullptr);
    QCOMPARE(archive.generateCSVFile_j(get), QByteArray("{\"success\":true}"));
    // Nothing to wait for but time: the file is still there long after it could be replaced,
    // also with the events of this thread processed.
    QTest::qWait(5 * replaceMs);
    ArchiveManager::CsvDownload late = archive.openCsvFile();
    QVERIFY(late.file);
    // A generation that late replaces it; a download already begun reads the old one.
    get["colNamesStr"] = "new";
    QCOMPARE(archive.generateCSVFile_j(get), QByteArray("{\"success\":true}"));
    QVERIFY(late.file->readAll().startsWith("t;a;b\r\n"));
    ArchiveManager::CsvDownload next = archive.openCsvFile();
    QVERIFY(next.file && next.generation != late.generation);
    QVERIFY(next.file->readAll().startsWith("new\r\n"));
}

void TestArchiveCsv::leftoverCsvFilesGoAtStart()
{
    QTemporaryDir scratch;
    const QByteArray tmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(scratch.path()));
    const QString prefix = scratch.path() + QLatin1Char('/') + QCoreApplication::applicationName();
    const auto make = [](const QString& name) {
        QFile f(name);
        return f.open(QIODevice::WriteOnly) && f.write("x") == 1;
    };
    QVERIFY(make(prefix + "_csv.leftov"));
    QVERIFY(make(prefix + "_csv.inuse1"));
    QVERIFY(make(prefix + ".other1"));   // not a CSV file of this program
    QFile inUse(prefix + "_csv.inuse1"); // what another running instance holds
    QVERIFY(inUse.open(QIODevice::ReadOnly));
    QCOMPARE(::flock(inUse.handle(), LOCK_EX | LOCK_NB), 0);
    {
        ArchiveManager archive(nullptr);
        QVERIFY(!QFile::exists(prefix + "_csv.leftov"));
        QVERIFY(QFile::exists(prefix + "_csv.inuse1"));
        QVERIFY(QFile::exists(prefix + ".other1"));
    }
    if (tmpdir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", tmpdir);
}

void TestArchiveCsv::downloadOutlivesReleaseAndNewerFileStays()
{
    ArchiveManager archive(nullptr);
    t_GetArray get = TestDatabase::params({{"paramListStr", "[1]"}, {"colNamesStr", "first"}});
    QCOMPARE(archive.generateCSVFile_j(get), QByteArray("{\"success\":true}"));
    ArchiveManager::CsvDownload a = archive.openCsvFile();
    ArchiveManager::CsvDownload b = archive.openCsvFile();
    QVERIFY(a.file && b.file);
    const QByteArray whole = a.file->readAll();
    QVERIFY(whole.count("\r\n") > 100);
    archive.releaseCsvFile(a.generation);
    QVERIFY(!archive.openCsvFile().file);
    // The other download goes on reading its own handle to the end.
    QCOMPARE(b.file->readAll(), whole);

    get["colNamesStr"] = "second";
    QCOMPARE(archive.generateCSVFile_j(get), QByteArray("{\"success\":true}"));
    archive.releaseCsvFile(b.generation); // the first file's late release
    ArchiveManager::CsvDownload c = archive.openCsvFile();
    QVERIFY(c.file);
    QVERIFY(c.file->readAll().startsWith("second\r\n"));
}

void TestArchiveCsv::concurrentGenerationsMakeOneFile()
{
    ArchiveManager archive(nullptr);
    constexpr int callers = 8;
    QSemaphore ready;
    QSemaphore go;
    QVector<QByteArray> replies(callers);
    QList<QThread*> threads;
    for (int i = 0; i < callers; ++i) {
        threads << QThread::create([&, i] {
            t_GetArray get = TestDatabase::params({{"paramListStr", "[1,2,3,4]"}});
            ready.release();
            go.acquire();
            replies[i] = archive.generateCSVFile_j(get);
            Database::closeThreadConnection();
        });
        threads.last()->start();
    }
    ready.acquire(callers);
    go.release(callers);
    for (QThread* t : threads) {
        QVERIFY(t->wait(30000));
        delete t;
    }
    QCOMPARE(replies.count("{\"success\":true}"), 1);
    QCOMPARE(replies.count(R"({"error":true,"message":"Generating in progress"})"), callers - 1);
    QVERIFY(archive.openCsvFile().file);
}

// A generation that finds the CSV lock held at its end gives up, and no later one is refused
// for it.
void TestArchiveCsv::generationWithoutTheLockEnds()
{
    t_GetArray get = TestDatabase::params({{"paramListStr", "[1,2,3,4]"}});
    const QByteArray refused = Logs::errorJson(QStringLiteral("Unable to create file"), QString());
    bool caught = false;
    // The other thread has to take the lock while the file is written: tried until it does.
    for (int attempt = 0; attempt < 50 && !caught; ++attempt) {
        ArchiveManager archive(nullptr);
        QAtomicInt returned = 0;
        QThread* holder = QThread::create([&] {
            for (;;) {
                TryLocker lock(&archive.csvMutex, 1000);
                if (lock && archive.csvFile)
                    return; // too late: the file is there
                if (lock && archive.csvGeneration == 1) {
                    while (!returned.loadAcquire())
                        QThread::msleep(5);
                    return;
                }
                lock.unlock();
                QThread::yieldCurrentThread();
            }
        });
        holder->start();
        const QByteArray reply = archive.generateCSVFile_j(get);
        returned.storeRelease(1);
        QVERIFY(holder->wait(30000));
        delete holder;
        if (reply != refused) {
            QCOMPARE(reply, QByteArray("{\"success\":true}"));
            continue;
        }
        caught = true;
        QVERIFY(!archive.openCsvFile().file);
        QCOMPARE(archive.generateCSVFile_j(get), QByteArray("{\"success\":true}"));
    }
    QVERIFY2(caught, "the lock was never taken while a file was written");
}

QTEST_GUILESS_MAIN(TestArchiveCsv)
#include "tst_archivecsv.moc"
