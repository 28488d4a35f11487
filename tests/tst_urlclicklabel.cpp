#include "urlclicklabel.h"
#include "urlopenrecorder.h"

#include <QMouseEvent>
#include <QtTest>

class tst_UrlClickLabel : public QObject
{
    Q_OBJECT
private slots:
    void click_data()
    {
        QTest::addColumn<bool>("setUrl");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("button");

        QTest::newRow("address, left button") << true << "https://127.0.0.1/home" << int(Qt::LeftButton);
        QTest::newRow("address, right button") << true << "http://127.0.0.1/x?a=b" << int(Qt::RightButton);
        QTest::newRow("never set") << false << QString() << int(Qt::LeftButton);
        QTest::newRow("set empty") << true << QString() << int(Qt::LeftButton);
    }

    void click()
    {
        QFETCH(bool, setUrl);
        QFETCH(QString, url);
        QFETCH(int, button);

        UrlOpenRecorder recorder;
        UrlClickLabel label;
        label.resize(48, 48);
        if (setUrl)
            label.setUrl(url);

        const QPoint pos(10, 10);
        QMouseEvent event(QEvent::MouseButtonPress, QPointF(pos), QPointF(label.mapToGlobal(pos)),
                          Qt::MouseButton(button), Qt::MouseButton(button), Qt::NoModifier);
        QCoreApplication::sendEvent(&label, &event);

        if (url.isEmpty()) {
            QVERIFY(recorder.opened.isEmpty());
        } else {
            QCOMPARE(recorder.opened.size(), 1);
            QCOMPARE(recorder.opened.first(), QUrl(url));
        }
    }
};

QTEST_MAIN(tst_UrlClickLabel)
#include "tst_urlclicklabel.moc"
