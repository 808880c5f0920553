// Where a downloaded file of the updater lands, from its address, and how the downloaded tree
// is put over the web root.
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
    void leftoversOfAKilledInstall_data();
    void leftoversOfAKilledInstall();
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

void TestUpdates::leftoversOfAKilledInstall_data()
{
    QTest::addColumn<Tree>("root");
    QTest::addColumn<Tree>("expected"); // after an install of a new index.html, directories too

    QTest::newRow("staged files removed")
        << Tree{{"root/home.html", "old home"}, {"root/.home.html.korvalen-new", "half"},
                {"root/js/.app.js.korvalen-new2", "ha"}}
        << Tree{{"index.html", "new"}, {"root/", ""}, {"root/home.html", "old home"},
                {"root/js/", ""}};
    QTest::newRow("kept file put back where its name is empty")
        << Tree{{"root/.home.html.korvalen-old", "old home"}, {".x.korvalen-old3", "x"}}
        << Tree{{"index.html", "new"}, {"root/", ""}, {"root/home.html", "old home"}, {"x", "x"}};
    QTest::newRow("kept file removed where its name is taken")
        << Tree{{"root/home.html", "new home"}, {"root/.home.html.korvalen-old", "old home"},
                {"root/.home.html.korvalen-old1", "older"}}
        << Tree{{"index.html", "new"}, {"root/", ""}, {"root/home.html", "new home"}};
    const Tree alike{{".korvalen-new", "a"}, {"x.korvalen-new", "b"}, {".x.korvalen-newer", "c"},
                     {".x.korvalen-old-1", "d"}, {".htaccess", "e"}};
    Tree alikeAfter = alike;
    alikeAfter.insert("index.html", "new");
    QTest::newRow("names that only look alike kept") << alike << alikeAfter;
}

void TestUpdates::leftoversOfAKilledInstall()
{
    QFETCH(Tree, root);
    QFETCH(Tree, expected);

    QTemporaryDir top;
    QVERIFY(top.isValid());
    const QString webRoot = top.filePath(QStringLiteral("www"));
    const QString area = top.filePath(QStringLiteral("tmp"));
    build(webRoot, root);
    build(area, Tree{{"index.html", "new"}});

    QVERIFY(UpdateInstaller(area, webRoot).install());
    QCOMPARE(snapshot(webRoot), expected);
}

QTEST_MAIN(TestUpdates)
#include "tst_updates.moc"
