// Where a downloaded file of the updater lands, from its address, how the downloaded tree is
// put over the web root, and how the next start settles an install that a crash interrupted.
#include "UpdateInstaller.h"
#include "updates.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

namespace {

// A tree as paths below its top: a path ending in "/" is a directory, any other a file with its
// content.
using Tree = QMap<QString, QByteArray>;

void build(const QString& top, const Tree& tree)
{
    QVERIFY(QDir().mkpath(top));
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = top + QLatin1Char('/') + it.key();
        if (it.key().endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
            continue;
        }
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(it.value()), it.value().size());
    }
}

// Everything below the top, hidden entries included.
Tree snapshot(const QString& top)
{
    Tree tree;
    QDirIterator it(top, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(top).relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        } else {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            tree.insert(relative, file.readAll());
        }
    }
    return tree;
}

} // namespace

class TestUpdates : public QObject
{
    Q_OBJECT
private slots:
    void localPath_data();
    void localPath();
    void install_data();
    void install();
    void foreignFilesThatLookAlikeKept();
    void recovery_data();
    void recovery();
    void hostileJournal_data();
    void hostileJournal();
};

void TestUpdates::localPath_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("path"); // empty: refused

    QTest::newRow("root") << "http://h:8080/dist/root/js/app.js" << "/root/js/app.js";
    QTest::newRow("modules, https") << "https://h/x/modules/charts/c.js" << "/modules/charts/c.js";
    QTest::newRow("first of the two") << "http://h/modules/a/root/b" << "/modules/a/root/b";
    QTest::newRow("empty segments kept") << "http://h/root//x.js" << "/root//x.js";
    QTest::newRow("encoded blank") << "http://h/root/a%20b.js" << "/root/a b.js";
    QTest::newRow("query kept") << "http://h/root/x.js?v=2" << "/root/x.js?v=2";

    QTest::newRow("other case") << "http://h/Root/x.js" << "";
    QTest::newRow("neither part") << "http://h/dist/js/x.js" << "";
    QTest::newRow("dot dot") << "http://h/root/../../x.js" << "";
    QTest::newRow("dot dot below") << "http://h/root/a/../x.js" << "";
    QTest::newRow("encoded dot dot") << "http://h/root/%2e%2E/x.js" << "";
    QTest::newRow("dot") << "http://h/root/./x.js" << "";
    QTest::newRow("encoded dot") << "http://h/root/%2E/x.js" << "";
    QTest::newRow("backslash") << "http://h/root/a\\..\\x.js" << "";
    QTest::newRow("encoded backslash") << "http://h/root/a%5Cx.js" << "";
    QTest::newRow("encoded slash") << "http://h/root/..%2F..%2Fx.js" << "";
    QTest::newRow("NUL") << "http://h/root/x%00.js" << "";
    QTest::newRow("file scheme") << "file:///root/x.js" << "";
    QTest::newRow("ftp scheme") << "ftp://h/root/x.js" << "";
}

void TestUpdates::localPath()
{
    QFETCH(QString, address);
    QFETCH(QString, path);
    QCOMPARE(Updates::localPath(QUrl(address, QUrl::TolerantMode)), path);
}

void TestUpdates::install_data()
{
    QTest::addColumn<Tree>("root");
    QTest::addColumn<Tree>("update");
    QTest::addColumn<bool>("installed");

    const Tree root{{"index.html", "old index"}, {"root/home.html", "old home"},
                    {"root/js/lib.js", "old lib"}};
    QTest::newRow("new and replaced files")
        << root
        << Tree{{"root/home.html", "new home"}, {"root/js/app.js", "app"},
                {"modules/charts/c.js", "chart"}, {"root/empty.txt", ""}}
        << true;
    QTest::newRow("hidden files of the update passed over")
        << root << Tree{{".hidden", "h"}, {"root/.marker", "m"}, {"root/a.js", "a"}} << true;
    // The files before the obstacle are staged, a directory before it is made: both must go.
    QTest::newRow("a directory where a file goes")
        << Tree{{"root/home.html", "old home"}, {"root/js/app.js/inside.txt", "in"}}
        << Tree{{"modules/new/x.js", "x"}, {"root/home.html", "new home"},
                {"root/js/a.js", "a"}, {"root/js/app.js", "app"}}
        << false;
    QTest::newRow("an empty directory where a file goes")
        << Tree{{"root/home.html", "old home"}, {"root/z/", ""}}
        << Tree{{"root/home.html", "new home"}, {"root/z", "z"}} << false;
    QTest::newRow("a file where a directory goes")
        << Tree{{"root/home.html", "old home"}, {"root/js", "a file"}}
        << Tree{{"root/home.html", "new home"}, {"root/js/app.js", "app"}} << false;
}

void TestUpdates::install()
{
    QFETCH(Tree, root);
    QFETCH(Tree, update);
    QFETCH(bool, installed);

    QTemporaryDir top;
    QVERIFY(top.isValid());
    const QString webRoot = top.filePath(QStringLiteral("www"));
    const QString area = top.filePath(QStringLiteral("tmp"));
    build(webRoot, root);
    build(area, update);
    const Tree before = snapshot(webRoot);

    QCOMPARE(UpdateInstaller(area, webRoot).install(), installed);

    Tree expected = before;
    if (installed) {
        for (auto it = update.cbegin(); it != update.cend(); ++it) {
            if (it.key().startsWith(QLatin1Char('.')) || it.key().contains(QLatin1String("/.")))
                continue;
            const QStringList parts = it.key().split(QLatin1Char('/'));
            for (int i = 1; i < parts.size(); ++i)
                expected.insert(QStringList(parts.mid(0, i)).join(QLatin1Char('/')) +
                                    QLatin1Char('/'),
                                QByteArray());
            expected.insert(it.key(), it.value());
        }
    }
    // Byte for byte, and nothing staged or kept aside left over.
    QCOMPARE(snapshot(webRoot), expected);
}

void TestUpdates::foreignFilesThatLookAlikeKept()
{
    // Without a journal nothing tells them from a user's files: no install touches them.
    const Tree alike{{".korvalen-new", "a"}, {"x.korvalen-new", "b"}, {".x.korvalen-newer", "c"},
                     {".x.korvalen-old-1", "d"}, {".htaccess", "e"},
                     {"root/.home.html.korvalen-new", "f"}, {".index.html.korvalen-old", "g"}};
    QTemporaryDir top;
    QVERIFY(top.isValid());
    const QString webRoot = top.filePath(QStringLiteral("www"));
    const QString area = top.filePath(QStringLiteral("tmp"));
    build(webRoot, alike);
    build(area, Tree{{"index.html", "new"}});

    QVERIFY(UpdateInstaller(area, webRoot).install());
    Tree expected = alike;
    expected.insert("index.html", "new");
    expected.insert("root/", QByteArray());
    QCOMPARE(snapshot(webRoot), expected);
}

void TestUpdates::recovery_data()
{
    QTest::addColumn<int>("step");  // UpdateInstaller::Step before which the install is killed
    QTest::addColumn<int>("index"); // of the file
    QTest::addColumn<QStringList>("removed"); // then removed by someone else
    QTest::addColumn<int>("recovery");        // UpdateInstaller::Recovery at the next start
    QTest::addColumn<bool>("isNew");          // the web root then: the new tree, else the old

    using S = UpdateInstaller::Step;
    using R = UpdateInstaller::Recovery;
    // The files in the order of the install: index.html (replaced), modules/charts/c.js (new,
    // in new directories), root/home.html (replaced), root/js/app.js (new).
    const auto row = [](const char* name, S step, int index, R recovery, bool isNew,
                        const QStringList& removed = {}) {
        QTest::newRow(name) << int(step) << index << removed << int(recovery) << isNew;
    };
    row("before the first file is staged", S::Stage, 0, R::RolledBack, false);
    row("staging half-way", S::Stage, 2, R::RolledBack, false);
    row("all staged, none renamed", S::Place, 0, R::Completed, true);
    row("one renamed", S::Place, 1, R::Completed, true);
    row("some renamed", S::Place, 2, R::Completed, true);
    row("all but the last renamed", S::Place, 3, R::Completed, true);
    row("releasing the kept files", S::Release, 1, R::Completed, true);
    row("before the journal goes", S::Finish, 0, R::Completed, true);
    row("a staged file missing, none renamed", S::Place, 0, R::RolledBack, false,
        {"root/.home.html.korvalen-new"});
    row("a staged file missing, some renamed", S::Place, 2, R::RolledBack, false,
        {"root/js/.app.js.korvalen-new"});
}

// An install killed at a chosen step, then the next start: the web root holds the old tree or the
// new one, file for file, and nothing of the installer.
void TestUpdates::recovery()
{
    QFETCH(int, step);
    QFETCH(int, index);
    QFETCH(QStringList, removed);
    QFETCH(int, recovery);
    QFETCH(bool, isNew);

    QTemporaryDir top;
    QVERIFY(top.isValid());
    const QString webRoot = top.filePath(QStringLiteral("www"));
    const QString area = top.filePath(QStringLiteral("tmp"));
    const Tree oldTree{{"index.html", "old index"}, {"root/home.html", "old home"},
                       {"root/js/lib.js", "lib"}, {"db.sqlite", "not the installer's"}};
    build(webRoot, oldTree);
    build(area, Tree{{"index.html", "new index"}, {"root/home.html", "new home"},
                     {"root/js/app.js", "app"}, {"modules/charts/c.js", "chart"}});
    const Tree before = snapshot(webRoot);
    Tree after = before;
    for (const char* path : {"modules/", "modules/charts/", "root/js/"})
        after.insert(path, QByteArray());
    after.insert("index.html", "new index");
    after.insert("root/home.html", "new home");
    after.insert("root/js/app.js", "app");
    after.insert("modules/charts/c.js", "chart");

    UpdateInstaller::setStepHook([step, index](UpdateInstaller::Step at, int i) {
        return !(int(at) == step && i == index);
    });
    const bool installed = UpdateInstaller(area, webRoot).install();
    UpdateInstaller::setStepHook({});
    QVERIFY(!installed);
    QVERIFY(QFileInfo::exists(webRoot + QStringLiteral("/.korvalen-install")));
    for (const QString& path : removed)
        QVERIFY(QFile::remove(webRoot + QLatin1Char('/') + path));

    QCOMPARE(int(UpdateInstaller::recover(webRoot)), recovery);
    QCOMPARE(snapshot(webRoot), isNew ? after : before);
    QCOMPARE(int(UpdateInstaller::recover(webRoot)), int(UpdateInstaller::Recovery::NothingToDo));
}

void TestUpdates::hostileJournal_data()
{
    QTest::addColumn<QByteArray>("journal");

    const QByteArray file = R"({"path":"%1","staged":"%2","kept":"","new":"","old":""})";
    const auto staging = [&file](const char* path, const char* staged) {
        return R"({"phase":"staging","dirs":[],"files":[)" +
               QByteArray(file).replace("%1", path).replace("%2", staged) + "]}";
    };
    QTest::newRow("path outside the root") << staging("../victim.txt", ".victim.txt.korvalen-new");
    QTest::newRow("absolute path") << staging("/tmp/victim.txt", ".victim.txt.korvalen-new");
    QTest::newRow("staged name not the installer's") << staging("a.txt", "victim.txt");
    QTest::newRow("staged name of another file") << staging("a.txt", ".victim.txt.korvalen-new");
    QTest::newRow("directory outside the root")
        << QByteArray(R"({"phase":"staging","dirs":["../victim"],"files":[]})");
    QTest::newRow("unknown phase") << QByteArray(R"({"phase":"done","dirs":[],"files":[]})");
    QTest::newRow("cut short") << staging("a.txt", ".a.txt.korvalen-new").left(40);
}

// A journal that is not the installer's own moves and removes nothing, and stays.
void TestUpdates::hostileJournal()
{
    QFETCH(QByteArray, journal);

    QTemporaryDir top;
    QVERIFY(top.isValid());
    const QString webRoot = top.filePath(QStringLiteral("www"));
    build(top.path(), Tree{{"victim.txt", "v"}, {".victim.txt.korvalen-new", "v"}, {"victim/", ""},
                           {"www/victim.txt", "v"}, {"www/.victim.txt.korvalen-new", "v"},
                           {"www/.a.txt.korvalen-new", "a"}, {"www/victim/", ""}});
    QFile file(webRoot + QStringLiteral("/.korvalen-install"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(journal), journal.size());
    file.close();
    const Tree before = snapshot(top.path());

    QCOMPARE(int(UpdateInstaller::recover(webRoot)), int(UpdateInstaller::Recovery::Failed));
    QCOMPARE(snapshot(top.path()), before);
    // Nor does an install pile its files on top.
    build(top.filePath(QStringLiteral("area")), Tree{{"victim.txt", "new"}});
    const Tree withArea = snapshot(top.path());
    QVERIFY(!UpdateInstaller(top.filePath(QStringLiteral("area")), webRoot).install());
    QCOMPARE(snapshot(top.path()), withArea);
}

QTEST_MAIN(TestUpdates)
#include "tst_updates.moc"
