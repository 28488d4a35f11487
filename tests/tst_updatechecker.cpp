#include "fakeupdateserver.h"
#include "updatechecker.h"

#include <QElapsedTimer>
#include <QtTest>

class tst_UpdateChecker : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();

    void versionsReply_data();
    void versionsReply();
    void newsReply_data();
    void newsReply();
    void sendsBothRequests();
    void silentSecondReplyKeepsEntries();
    void serverNeverAnswers();
};

void tst_UpdateChecker::cleanup()
{
    UpdateChecker::clearServerOverride();
}

void tst_UpdateChecker::versionsReply_data()
{
    // Labels that must be null strings are given as QString().
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("versions");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("two entries with labels") << QByteArray("12#1.2,13#1.3-beta")
        << QStringList{"12", "13"} << QStringList{"1.2", "1.3-beta"};
    QTest::newRow("number alone") << QByteArray("100") << QStringList{"100"} << QStringList{QString()};
    QTest::newRow("leading comma") << QByteArray(",200")
        << QStringList{"", "200"} << QStringList{QString(), QString()};
    QTest::newRow("only the first # separates") << QByteArray("7#a#b") << QStringList{"7"} << QStringList{"a#b"};
    QTest::newRow("empty label is not null") << QByteArray("12#") << QStringList{"12"} << QStringList{""};
    QTest::newRow("blanks are kept") << QByteArray(" 12 # x ,13")
        << QStringList{" 12 ", "13"} << QStringList{" x ", QString()};
    QTest::newRow("trailing comma keeps an empty entry") << QByteArray("1,2,")
        << QStringList{"1", "2", ""} << QStringList{QString(), QString(), QString()};
    QTest::newRow("zero byte ends the text") << QByteArray("12#a\0,13#b", 10)
        << QStringList{"12"} << QStringList{"a"};
    QTest::newRow("bytes read as Latin-1") << QByteArray("5#caf\xe9") << QStringList{"5"}
        << QStringList{QString::fromLatin1("caf\xe9")};
    QTest::newRow("empty datagram") << QByteArray("") << QStringList{""} << QStringList{QString()};

    // Entry 1 fills bytes 0..508, "," is byte 509, "6" byte 510; byte 511 on is lost.
    QByteArray oversized = "5#" + QByteArray(507, 'x') + ",6#lost";
    oversized += QByteArray(600 - oversized.size(), 'y');
    QTest::newRow("600 bytes cut to 511") << oversized
        << QStringList{"5", "6"} << QStringList{QString(507, 'x'), QString()};
}

void tst_UpdateChecker::versionsReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, versions);
    QFETCH(QStringList, labels);

    FakeUpdateServer server;
    QVERIFY(server.isListening());
    server.setVersionsReply(reply);
    server.setNewsReply("news");

    UpdateChecker checker("127.0.0.1", server.port());
    QVERIFY(checker.checkUpdate());

    QCOMPARE(checker.m_channelVersions.size(), versions.size());
    for (int i = 0; i < versions.size(); ++i) {
        const QPair<QString, QString> entry = checker.m_channelVersions.at(i);
        QCOMPARE(entry.first, versions.at(i));
        QCOMPARE(entry.second, labels.at(i));
        QCOMPARE(entry.second.isNull(), labels.at(i).isNull());
    }
    // Entry k belongs to channel k; a missing entry gives two null strings.
    for (int channel = Stable; channel <= Alpha; ++channel) {
        const QPair<QString, QString> pair = checker.getClientVersionByChannel(UpdateChannel(channel));
        if (channel < versions.size()) {
            QCOMPARE(pair.first, versions.at(channel));
            QCOMPARE(pair.second.isNull(), labels.at(channel).isNull());
        } else {
            QVERIFY(pair.first.isNull());
            QVERIFY(pair.second.isNull());
        }
    }
    // The wire and the plain buffer give the same result.
    QCOMPARE(UpdateChecker::parseVersionReply(reply), checker.m_channelVersions);
}

void tst_UpdateChecker::newsReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("news");

    QTest::newRow("rich text") << QByteArray("<b>New</b> season, see <a href=\"http://x.invalid/\">here</a>")
                               << "<b>New</b> season, see <a href=\"http://x.invalid/\">here</a>";
    QTest::newRow("zero byte ends the text") << QByteArray("abc\0def", 7) << "abc";
    QTest::newRow("5000 bytes cut to 4095") << QByteArray(5000, 'n') << QString(4095, 'n');
    QTest::newRow("empty") << QByteArray("") << "";
}

void tst_UpdateChecker::newsReply()
{
    QFETCH(QByteArray, reply);

    FakeUpdateServer server;
    QVERIFY(server.isListening());
    server.setVersionsReply("1");
    server.setNewsReply(reply);

    UpdateChecker checker("127.0.0.1", server.port());
    QVERIFY(checker.checkUpdate());
    QTEST(checker.m_newsText, "news");
}

void tst_UpdateChecker::sendsBothRequests()
{
    FakeUpdateServer server;
    QVERIFY(server.isListening());
    server.setVersionsReply("1");
    server.setNewsReply("n");

    // The default-constructed checker follows the test's redirection.
    UpdateChecker::setServerOverride("127.0.0.1", server.port());
    UpdateChecker checker;
    QVERIFY(checker.checkUpdate());
    QCOMPARE(server.requests(), (QList<QByteArray>{QByteArray("3\0", 2), QByteArray("*\0", 2)}));
}

void tst_UpdateChecker::silentSecondReplyKeepsEntries()
{
    FakeUpdateServer server;
    QVERIFY(server.isListening());
    server.setVersionsReply("12#1.2,13#1.3-beta");
    server.setNewsReply("news");
    server.setAnswerLimit(1);

    UpdateChecker checker("127.0.0.1", server.port());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!checker.readFromServer());
    const qint64 waited = timer.elapsed();
    QVERIFY2(waited >= 4800 && waited < 7000, qPrintable(QString::number(waited)));
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(checker.m_channelVersions.size(), 2);
    QCOMPARE(checker.getClientVersionByChannel(Beta), qMakePair(QString("13"), QString("1.3-beta")));
    QVERIFY(checker.m_newsText.isEmpty());

    // A retry appends again instead of clearing: channel k still finds entry k.
    server.setAnswerLimit(-1);
    QVERIFY(checker.readFromServer());
    QCOMPARE(checker.m_channelVersions.size(), 4);
    QCOMPARE(checker.getClientVersionByChannel(Stable), qMakePair(QString("12"), QString("1.2")));
    QCOMPARE(checker.getClientVersionByChannel(Alpha), qMakePair(QString("12"), QString("1.2")));
    QCOMPARE(checker.m_newsText, QString("news"));
}

void tst_UpdateChecker::serverNeverAnswers()
{
    FakeUpdateServer server;
    QVERIFY(server.isListening());
    server.setAnswerLimit(0);

    UpdateChecker checker("127.0.0.1", server.port());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!checker.checkUpdate());
    const qint64 waited = timer.elapsed();
    QVERIFY2(waited >= 4800 && waited < 7000, qPrintable(QString::number(waited)));
    QCOMPARE(server.requestCount(), 1);
    QVERIFY(checker.m_channelVersions.isEmpty());
}

QTEST_MAIN(tst_UpdateChecker)
#include "tst_updatechecker.moc"
