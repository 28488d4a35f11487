#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QtTest>

// The compiled-in pictures are available without any set-up call, as in the program.
class tst_Resources : public QObject
{
    Q_OBJECT
private slots:
    void logo()
    {
        QImage logo(QStringLiteral(":/images/corvane_logo.png"));
        QVERIFY(!logo.isNull());
        QCOMPARE(logo.size(), QSize(48, 48));
        QVERIFY(logo.hasAlphaChannel());
        // Transparent corners, opaque centre.
        QCOMPARE(qAlpha(logo.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(logo.pixel(24, 24)), 255);
    }

    void applicationIcon()
    {
        QFile file(QStringLiteral(":/images/application.ico"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        // ICO header: reserved 0, type 1, then the image count.
        QCOMPARE(data.left(4), QByteArray("\0\0\1\0", 4));
        const int count = uchar(data.at(4)) | (uchar(data.at(5)) << 8);
        QCOMPARE(count, 10);

        QSet<int> sizes;
        bool pngEntry = false;
        for (int i = 0; i < count; ++i) {
            const char *entry = data.constData() + 6 + 16 * i;
            const int size = uchar(entry[0]) == 0 ? 256 : uchar(entry[0]);
            sizes.insert(size);
            const quint32 offset = qFromLittleEndian<quint32>(entry + 12);
            QVERIFY(offset < quint32(data.size()));
            if (size == 256)
                pngEntry = data.mid(int(offset), 8) == QByteArray("\x89PNG\r\n\x1a\n");
        }
        QCOMPARE(sizes, (QSet<int>{16, 24, 32, 48, 256}));
        QVERIFY(pngEntry);

        // The toolkit can read the small entries.
        QImageReader reader(QStringLiteral(":/images/application.ico"));
        QVERIFY(reader.canRead());
        const QImage first = reader.read();
        QVERIFY(!first.isNull());
    }
};

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
