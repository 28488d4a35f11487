#include "mirrors.h"
#include "testdirs.h"

#include <QCoreApplication>
#include <QSet>
#include <QSignalSpy>
#include <QTranslator>
#include <QtTest>

namespace {

// Records every lookup and answers with a marked text, so a test sees which texts
// were translated and in which context.
class RecordingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        lookups.append(QString::fromLatin1(context) + QLatin1Char('|') + QString::fromLatin1(sourceText));
        return QStringLiteral("[T]") + QString::fromLatin1(sourceText);
    }
    bool isEmpty() const override { return false; }
    mutable QStringList lookups;
};

QStringList names(const Mirrors &pool)
{
    QStringList result;
    for (const FTPSiteAccessData &record : pool.mirrors())
        result << record.name;
    return result;
}

// A pool of the given names, each with 2 retries.
QByteArray mirrorList(const QStringList &mirrorNames)
{
    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(mirrorNames.size()) + "\n";
    for (int i = 0; i < mirrorNames.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=" + mirrorNames.at(i).toUtf8() + "\n";
    for (const QString &name : mirrorNames)
        ini += "[" + name.toUtf8() + "]\nurl=http://" + name.toLower().toUtf8() + ".example/files\n";
    return ini;
}

} // namespace

class tst_Mirrors : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dirs.reset(new TestDirs);
        QVERIFY(m_dirs->isValid());
        Mirrors::seedRandom(7);
    }
    void cleanup() { m_dirs.reset(); }

    void loading_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("urls");
        QTest::addColumn<QList<quint32>>("retries");

        QTest::newRow("blank second entry skipped")
            << QByteArray("[mirrors]\nsize=3\n1\\mirror=One\n2\\mirror=\"   \"\n3\\mirror=Three\n"
                          "[One]\nurl=http://one.example/files\n[Three]\nurl=http://three.example/files\n")
            << QStringList({ "One", "Three" })
            << QStringList({ "http://one.example/files/12", "http://three.example/files/12" })
            << QList<quint32>({ 2, 2 });
        QTest::newRow("final slash or not gives the same url")
            << QByteArray("[mirrors]\nsize=2\n1\\mirror=A\n2\\mirror=B\n"
                          "[A]\nurl=http://a.example/x\n[B]\nurl=http://a.example/x/\n")
            << QStringList({ "A", "B" })
            << QStringList({ "http://a.example/x/12", "http://a.example/x/12" })
            << QList<quint32>({ 2, 2 });
        QTest::newRow("retries 0, -5, a word, missing, 7, 4294967295")
            << QByteArray("[mirrors]\nsize=6\n1\\mirror=A\n2\\mirror=B\n3\\mirror=C\n4\\mirror=D\n5\\mirror=E\n"
                          "6\\mirror=F\n[A]\nretries=0\n[B]\nretries=-5\n[C]\nretries=many\n[E]\nretries=7\n"
                          "[F]\nretries=4294967295\n")
            << QStringList({ "A", "B", "C", "D", "E", "F" })
            << QStringList({ "/12", "/12", "/12", "/12", "/12", "/12" })
            << QList<quint32>({ 2, 2, 2, 2, 7, 2 });
        QTest::newRow("names trimmed, sections found by the trimmed name")
            << QByteArray("[mirrors]\nsize=1\n1\\mirror=\"  Far Away  \"\n"
                          "[Far Away]\nurl=http://far.example\nretries=3\n")
            << QStringList({ "Far Away" }) << QStringList({ "http://far.example/12" }) << QList<quint32>({ 3 });
        QTest::newRow("size smaller than the entries")
            << QByteArray("[mirrors]\nsize=1\n1\\mirror=A\n2\\mirror=B\n[A]\nurl=http://a\n")
            << QStringList({ "A" }) << QStringList({ "http://a/12" }) << QList<quint32>({ 2 });
        QTest::newRow("duplicates are both loaded")
            << QByteArray("[mirrors]\nsize=2\n1\\mirror=A\n2\\mirror=A\n[A]\nurl=http://a\n")
            << QStringList({ "A", "A" }) << QStringList({ "http://a/12", "http://a/12" })
            << QList<quint32>({ 2, 2 });
        QTest::newRow("huge size: the entries present, in entry order")
            << QByteArray("[mirrors]\nsize=2147483647\n10\\mirror=Ten\n2\\mirror=Two\n"
                          "02\\mirror=NotAnEntry\n[Two]\nurl=http://two\n[Ten]\nurl=http://ten\n")
            << QStringList({ "Two", "Ten" }) << QStringList({ "http://two/12", "http://ten/12" })
            << QList<quint32>({ 2, 2 });
        QTest::newRow("negative size") << QByteArray("[mirrors]\nsize=-1\n1\\mirror=A\n")
                                       << QStringList() << QStringList() << QList<quint32>();
        QTest::newRow("no array") << QByteArray("[other]\nkey=1\n") << QStringList() << QStringList()
                                  << QList<quint32>();
        QTest::newRow("no file") << QByteArray() << QStringList() << QStringList() << QList<quint32>();
    }

    void loading()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, names);
        QFETCH(QStringList, urls);
        QFETCH(QList<quint32>, retries);

        const QString file = m_dirs->appFile("mirrors.ini");
        if (!ini.isNull())
            QVERIFY(TestDirs::writeFile(file, ini));
        Mirrors pool;
        QSignalSpy fatal(&pool, &Mirrors::fatalError);
        QSignalSpy messages(&pool, &Mirrors::message);
        QVERIFY(pool.initDefault(file, 12));

        QCOMPARE(::names(pool), names);
        for (int i = 0; i < pool.mirrors().size(); ++i) {
            const FTPSiteAccessData &record = pool.mirrors().at(i);
            QCOMPARE(record.url, urls.at(i));
            QCOMPARE(record.retries, retries.at(i));
            QCOMPARE(record.timeout, 15);
            QCOMPARE(record.maxUseCount, 1);
            QCOMPARE(record.useCount, 0);
            QCOMPARE(record.errorCount, 0u);
        }
        QCOMPARE(fatal.count(), 0);
        QCOMPARE(messages.count(), 0);
    }

    void alphaChannel_data()
    {
        QTest::addColumn<QByteArray>("updateIni");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<QString>("url");

        QTest::newRow("address") << QByteArray("[Channel]\nalpha=http://alpha.example/rel\n") << true
                                 << "http://alpha.example/rel/5";
        QTest::newRow("address with final slash") << QByteArray("[Channel]\nalpha=http://alpha.example/rel/\n")
                                                  << true << "http://alpha.example/rel/5";
        QTest::newRow("empty value") << QByteArray("[Channel]\nalpha=\n") << false << QString();
        QTest::newRow("key missing") << QByteArray("[Channel]\nchannel=2\n") << false << QString();
    }

    // The mirror list is not consulted in the alpha channel, even when it exists.
    void alphaChannel()
    {
        QFETCH(QByteArray, updateIni);
        QFETCH(bool, loaded);
        QFETCH(QString, url);

        QVERIFY(TestDirs::writeFile(m_dirs->appFile("update.ini"), updateIni));
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("mirrors.ini"), mirrorList({ "One", "Two" })));
        Mirrors pool;
        QSignalSpy fatal(&pool, &Mirrors::fatalError);
        QCOMPARE(pool.initAlpha(m_dirs->appFile("update.ini"), 5), loaded);
        if (loaded) {
            QCOMPARE(pool.mirrors().size(), 1);
            QCOMPARE(pool.mirrors().at(0).name, QString("Alpha Channel"));
            QCOMPARE(pool.mirrors().at(0).url, url);
            QCOMPARE(pool.mirrors().at(0).retries, 4u);
            QCOMPARE(fatal.count(), 0);
        } else {
            QVERIFY(pool.mirrors().isEmpty());
            QCOMPARE(fatal.count(), 1);
            QCOMPARE(fatal.at(0).at(0).toString(),
                     QString("Alpha parameter in channel section in update ini file not found"));
        }
    }

    void takeAndRelease()
    {
        Mirrors pool;
        load(pool, { "One", "Two" });

        FTPSiteAccessData first;
        FTPSiteAccessData second;
        FTPSiteAccessData third;
        QCOMPARE(pool.getRandomMirror(first), 0);
        QCOMPARE(pool.getRandomMirror(second), 0);
        QVERIFY(first.name != second.name);
        QCOMPARE(first.useCount, 1); // the copy carries the increased count
        QCOMPARE(pool.getRandomMirror(third), 2);
        QVERIFY(third.name.isNull());

        int maxUse = -1;
        int inUse = -1;
        pool.calcUseStats(maxUse, inUse);
        QCOMPARE(maxUse, 2);
        QCOMPARE(inUse, 2);

        pool.releaseMirror(second.name);
        QCOMPARE(pool.getRandomMirror(third), 0);
        QCOMPARE(third.name, second.name);
        QCOMPARE(third.url, second.url);
    }

    // The choice is uniform over idle mirrors and repeats under the same seed.
    void randomChoiceIsSeededAndCoversEveryIdleMirror()
    {
        Mirrors pool;
        load(pool, { "One", "Two", "Three" });
        FTPSiteAccessData busy;
        QCOMPARE(pool.getRandomMirror(busy), 0);

        auto draw = [&pool](quint32 seed) {
            Mirrors::seedRandom(seed);
            QStringList picks;
            for (int i = 0; i < 300; ++i) {
                FTPSiteAccessData record;
                if (pool.getRandomMirror(record) != 0)
                    return QStringList();
                picks << record.name;
                pool.releaseMirror(record.name);
            }
            return picks;
        };
        const QStringList picks = draw(42);
        QCOMPARE(picks.size(), 300);
        QCOMPARE(draw(42), picks);
        QVERIFY(!picks.contains(busy.name));
        for (const QString &name : QStringList({ "One", "Two", "Three" })) {
            if (name != busy.name)
                QVERIFY2(picks.count(name) > 100, qPrintable(name)); // about 150 each
        }
    }

    void errorsRemoveAMirror_data()
    {
        QTest::addColumn<bool>("alpha");
        QTest::addColumn<int>("fatalErrorNumber");

        QTest::newRow("default 2 retries: the third error") << false << 3;
        QTest::newRow("alpha mirror 4 retries: the fifth error") << true << 5;
    }

    void errorsRemoveAMirror()
    {
        QFETCH(bool, alpha);
        QFETCH(int, fatalErrorNumber);

        Mirrors pool;
        QString name = "One";
        if (alpha) {
            QVERIFY(TestDirs::writeFile(m_dirs->appFile("update.ini"), "[Channel]\nalpha=http://a\n"));
            QVERIFY(pool.initAlpha(m_dirs->appFile("update.ini"), 3));
            name = "Alpha Channel";
        } else {
            load(pool, { "One", "Two" });
        }
        QSignalSpy messages(&pool, &Mirrors::message);
        for (int i = 1; i < fatalErrorNumber; ++i)
            pool.addMirrorError(name);
        QCOMPARE(pool.getMirrorIndex(name), 0);
        QCOMPARE(pool.mirrors().at(0).errorCount, quint32(fatalErrorNumber - 1));
        QCOMPARE(messages.count(), 0);

        pool.addMirrorError(name);
        QCOMPARE(pool.getMirrorIndex(name), -1);
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QString("Mirror %1 failed too many times, removing").arg(name));
    }

    void noMirrorsIsReportedOncePerPool()
    {
        Mirrors pool;
        load(pool, { "One" });
        QSignalSpy messages(&pool, &Mirrors::message);
        pool.removeMirror("One");
        QCOMPARE(messages.count(), 0); // removal is silent

        FTPSiteAccessData record;
        QCOMPARE(pool.getRandomMirror(record), 1);
        QCOMPARE(pool.getRandomMirror(record), 1);
        QCOMPARE(pool.getRandomMirror(record), 1);
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QString("There are no (more) known working mirrors available"));

        Mirrors other; // a new pool reports again
        QSignalSpy otherMessages(&other, &Mirrors::message);
        QCOMPARE(other.getRandomMirror(record), 1);
        QCOMPARE(otherMessages.count(), 1);
    }

    void unknownNamesChangeNothing()
    {
        Mirrors pool;
        load(pool, { "One", "Two" });
        FTPSiteAccessData taken;
        QCOMPARE(pool.getRandomMirror(taken), 0);
        QSignalSpy messages(&pool, &Mirrors::message);

        for (const QString &name : { QString("one"), QString("Three"), QString(), QString(" One") }) {
            for (int i = 0; i < 5; ++i)
                pool.addMirrorError(name);
            pool.releaseMirror(name);
            pool.removeMirror(name);
            QCOMPARE(pool.getMirrorIndex(name), -1);
        }
        QCOMPARE(::names(pool), QStringList({ "One", "Two" }));
        for (const FTPSiteAccessData &record : pool.mirrors()) {
            QCOMPARE(record.errorCount, 0u);
            QCOMPARE(record.useCount, record.name == taken.name ? 1 : 0);
        }
        QCOMPARE(messages.count(), 0);
    }

    void duplicatesActOnTheFirst()
    {
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("mirrors.ini"),
                                    "[mirrors]\nsize=3\n1\\mirror=A\n2\\mirror=B\n3\\mirror=A\n"
                                    "[A]\nurl=http://a\nretries=1\n[B]\nurl=http://b\n"));
        Mirrors pool;
        QVERIFY(pool.initDefault(m_dirs->appFile("mirrors.ini"), 1));
        QCOMPARE(pool.getMirrorIndex("A"), 0);

        pool.addMirrorError("A");
        pool.releaseMirror("A");
        QCOMPARE(pool.mirrors().at(0).errorCount, 1u);
        QCOMPARE(pool.mirrors().at(0).useCount, -1); // releases have no lower bound
        QCOMPARE(pool.mirrors().at(2).errorCount, 0u);
        QCOMPARE(pool.mirrors().at(2).useCount, 0);

        pool.addMirrorError("A"); // the first A exceeds its one retry
        QCOMPARE(::names(pool), QStringList({ "B", "A" }));
        QCOMPARE(pool.getMirrorIndex("A"), 1);
        QCOMPARE(pool.mirrors().at(1).errorCount, 0u);

        pool.removeMirror("A");
        QCOMPARE(::names(pool), QStringList({ "B" }));
    }

    void poolMessagesAreTranslatedInTheirContext()
    {
        RecordingTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        Mirrors pool;
        load(pool, { "One" });
        QSignalSpy messages(&pool, &Mirrors::message);
        for (int i = 0; i < 3; ++i)
            pool.addMirrorError("One");
        FTPSiteAccessData record;
        pool.getRandomMirror(record);
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("update.ini"), "[Channel]\n"));
        Mirrors alpha;
        QSignalSpy alphaFatal(&alpha, &Mirrors::fatalError);
        alpha.initAlpha(m_dirs->appFile("update.ini"), 1);
        QCoreApplication::removeTranslator(&translator);

        QCOMPARE(messages.count(), 2);
        QCOMPARE(messages.at(0).at(0).toString(), QString("[T]Mirror One failed too many times, removing"));
        QCOMPARE(messages.at(1).at(0).toString(), QString("[T]There are no (more) known working mirrors available"));
        QVERIFY(translator.lookups.contains("Mirrors|Mirror %1 failed too many times, removing"));
        QVERIFY(translator.lookups.contains("Mirrors|There are no (more) known working mirrors available"));
        // The alpha message stays as it is.
        QCOMPARE(alphaFatal.count(), 1);
        QCOMPARE(alphaFatal.at(0).at(0).toString(),
                 QString("Alpha parameter in channel section in update ini file not found"));
    }

private:
    void load(Mirrors &pool, const QStringList &mirrorNames)
    {
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("mirrors.ini"), mirrorList(mirrorNames)));
        QVERIFY(pool.initDefault(m_dirs->appFile("mirrors.ini"), 12));
        QCOMPARE(::names(pool), mirrorNames);
    }

    std::unique_ptr<TestDirs> m_dirs;
};

QTEST_GUILESS_MAIN(tst_Mirrors)
#include "tst_mirrors.moc"
