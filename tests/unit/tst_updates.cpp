// Where a downloaded file of the updater lands, from its address.
#include "updates.h"

#include <QUrl>
#include <QtTest>

class TestUpdates : public QObject
{
    Q_OBJECT
private slots:
    void localPath_data();
    void localPath();
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

QTEST_MAIN(TestUpdates)
#include "tst_updates.moc"
