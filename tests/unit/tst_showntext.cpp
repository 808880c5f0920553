// Text from outside as the program's lines show it: what is left out, and where it is cut.
#include "ShownText.h"

#include <QtTest>

class TestShownText : public QObject
{
    Q_OBJECT
private slots:
    void shown_data();
    void shown();
};

void TestShownText::shown_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("maxLength");
    QTest::addColumn<QString>("shown");

    QTest::newRow("plain") << "meter 1" << 10 << "meter 1";
    QTest::newRow("control characters") << "a\x1b[31mb\r\nc\td" << 20 << "a[31mbcd";
    QTest::newRow("format and line separators")
        << QString::fromUtf8("evil\u202e<b>\u2028x\u200b") << 20 << "evil<b>x";
    QTest::newRow("private use and unassigned")
        << QString::fromUtf8("a\ue000b") + QChar(0x0378) << 20 << "ab";
    QTest::newRow("beyond the first plane, whole")
        << QString::fromUtf8("m\U0001F600") << 2 << QString::fromUtf8("m\U0001F600");
    QTest::newRow("a half of a pair: the replacement character")
        << QString("a") + QChar(0xd800) + "b" << 20 << QString("a") + QChar(0xfffd) + "b";
    QTest::newRow("cut") << "abcdef" << 3 << "abc...";
    QTest::newRow("exactly the length") << "abc" << 3 << "abc";
    QTest::newRow("left-out characters do not count") << "a\x01" "b\x01" "c" << 3 << "abc";
    QTest::newRow("nothing shown after the cut") << "abc\x01\x7f" << 3 << "abc";
}

void TestShownText::shown()
{
    QFETCH(QString, text);
    QFETCH(int, maxLength);
    QFETCH(QString, shown);
    QCOMPARE(ShownText::of(text, maxLength), shown);
}

QTEST_GUILESS_MAIN(TestShownText)
#include "tst_showntext.moc"
