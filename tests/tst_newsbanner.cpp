#include "newsbanner.h"
#include "urlopenrecorder.h"

#include <QElapsedTimer>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QTimerEvent>
#include <QtTest>

namespace {

const QString Link = QStringLiteral("http://127.0.0.1/link");
const QString CommentUrl = QStringLiteral("http://127.0.0.1/comment");

// One step of the scroll timer, delivered as the timer itself would deliver it.
void tick(NewsBanner &banner)
{
    QTimerEvent event(banner.scrollTimerId());
    QCoreApplication::sendEvent(&banner, &event);
}

// Runs paintEvent once, as a repaint would.
QImage paint(NewsBanner &banner)
{
    return banner.grab().toImage();
}

void press(QWidget &widget, const QPoint &pos, Qt::MouseButton button = Qt::LeftButton)
{
    QMouseEvent event(QEvent::MouseButtonPress, QPointF(pos), QPointF(widget.mapToGlobal(pos)),
                      button, button, Qt::NoModifier);
    event.ignore();
    QCoreApplication::sendEvent(&widget, &event);
    QVERIFY(event.isAccepted());
}

bool isBlank(const QImage &image)
{
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != first)
                return false;
    return true;
}

} // namespace

class tst_NewsBanner : public QObject
{
    Q_OBJECT
private slots:
    void constructedIdle()
    {
        NewsBanner banner;
        QCOMPARE(banner.objectName(), QStringLiteral("NewsBanner"));
        QCOMPARE(banner.minimumHeight(), 16);
        QCOMPARE(banner.maximumHeight(), 16);
        QCOMPARE(banner.scrollTimerId(), 0);
        QVERIFY(banner.linkUrl().isNull());
    }

    void linkComment_data()
    {
        QTest::addColumn<QString>("news");
        QTest::addColumn<QString>("linkUrl");

        QTest::newRow("URL comment") << "<!--URL=" + CommentUrl + "-->Word" << CommentUrl;
        QTest::newRow("everything after the first = kept")
            << QStringLiteral("<!--URL=http://127.0.0.1/?a=b&c=d-->x")
            << QStringLiteral("http://127.0.0.1/?a=b&c=d");
        QTest::newRow("comment after the text") << "News <!--URL=" + CommentUrl + "-->" << CommentUrl;
        QTest::newRow("lower-case url") << "<!--url=" + CommentUrl + "-->Word" << QString();
        QTest::newRow("no =") << QStringLiteral("<!--URL-->Word") << QString();
        QTest::newRow("blank before URL") << "<!-- URL=" + CommentUrl + "-->Word" << QString();
        QTest::newRow("empty comment") << QStringLiteral("<!---->Word") << QString();
        QTest::newRow("no comment") << QStringLiteral("Word") << QString();
        QTest::newRow("unclosed comment") << "<!--URL=" + CommentUrl << QString();
    }

    void linkComment()
    {
        QFETCH(QString, news);
        QFETCH(QString, linkUrl);
        NewsBanner banner;
        banner.setNews(news);
        QCOMPARE(banner.linkUrl(), linkUrl);
    }

    // A new text without a comment drops the address of the previous one.
    void newTextReplacesLink()
    {
        NewsBanner banner;
        banner.setNews("<!--URL=" + CommentUrl + "-->Word");
        banner.setNews(QStringLiteral("Plain"));
        QVERIFY(banner.linkUrl().isEmpty());
    }

    void commentIsNotShown()
    {
        NewsBanner withComment;
        NewsBanner without;
        withComment.setNews("<!--URL=" + CommentUrl + "-->Word");
        without.setNews(QStringLiteral("Word"));
        QCOMPARE(withComment.textWidth(), without.textWidth());
        QVERIFY(withComment.textWidth() > 0);
    }

    void clicks_data()
    {
        QTest::addColumn<QString>("news");
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("opened");

        const QString linked = "<a href=\"" + Link + "\">LINKLINK</a> plain words here";
        const QString comment = "<!--URL=" + CommentUrl + "-->";
        QTest::newRow("comment, click on the word")
            << comment + "Word" << "text end" << int(Qt::LeftButton) << CommentUrl;
        QTest::newRow("comment, click beside the text")
            << comment + "Word" << "beside" << int(Qt::LeftButton) << CommentUrl;
        QTest::newRow("comment, right button")
            << comment + "Word" << "beside" << int(Qt::RightButton) << CommentUrl;
        QTest::newRow("link beats comment") << comment + linked << "text start" << int(Qt::LeftButton) << Link;
        QTest::newRow("comment outside the link") << comment + linked << "text end" << int(Qt::LeftButton)
                                                  << CommentUrl;
        QTest::newRow("link without comment") << linked << "text start" << int(Qt::MiddleButton) << Link;
        QTest::newRow("plain text of linked news") << linked << "text end" << int(Qt::LeftButton) << QString();
        QTest::newRow("lower-case comment") << "<!--url=" + CommentUrl + "-->Word" << "beside"
                                            << int(Qt::LeftButton) << QString();
        QTest::newRow("comment without =") << QStringLiteral("<!--URL-->Word") << "beside"
                                           << int(Qt::LeftButton) << QString();
    }

    void clicks()
    {
        QFETCH(QString, news);
        QFETCH(QString, where);
        QFETCH(int, button);
        QFETCH(QString, opened);

        UrlOpenRecorder recorder;
        NewsBanner banner;
        // A widget 10 pixels wide starts the text at its left edge, so widget and
        // text positions agree once the widget is widened again.
        banner.resize(10, 16);
        banner.setNews(news);
        QCOMPARE(banner.offset(), 0.0f);
        banner.resize(banner.textWidth() + 100, banner.textHeight());

        const int y = banner.textHeight() / 2;
        QPoint pos;
        if (where == QLatin1String("text start"))
            pos = QPoint(2, y);
        else if (where == QLatin1String("text end"))
            pos = QPoint(banner.textWidth() - 2, y);
        else
            pos = QPoint(banner.textWidth() + 50, y);

        press(banner, pos, Qt::MouseButton(button));
        if (opened.isEmpty()) {
            QVERIFY(recorder.opened.isEmpty());
        } else {
            QCOMPARE(recorder.opened.size(), 1);
            QCOMPARE(recorder.opened.first(), QUrl(opened));
        }
    }

    // The link under the pointer moves with the text.
    void anchorFollowsOffset()
    {
        NewsBanner banner;
        banner.resize(10, 16);
        banner.setNews("plain words <a href=\"" + Link + "\">LINKLINK</a> more words");
        const int y = banner.textHeight() / 2;
        const int w = banner.textWidth();
        QStringList before;
        for (int x = 0; x < w; ++x)
            before.append(banner.anchorAt(QPoint(x, y)));
        QVERIFY(before.contains(Link));
        QVERIFY(before.contains(QString()));

        const int shift = 25;
        for (int i = 0; i < 2 * shift; ++i)
            tick(banner);
        QCOMPARE(banner.offset(), float(-shift));
        for (int x = shift; x < w; ++x)
            QCOMPARE(banner.anchorAt(QPoint(x - shift, y)), before.at(x));
    }

    void setNewsStartsPass()
    {
        NewsBanner banner;
        banner.resize(300, 16);
        banner.setNews(QStringLiteral("<b>Big</b> news<br>on two lines"));
        QCOMPARE(banner.offset(), 290.0f);
        QVERIFY(!banner.isPaused());
        QVERIFY(banner.scrollTimerId() != 0);
        QVERIFY(banner.textHeight() > 16);
        QCOMPARE(banner.minimumHeight(), banner.textHeight());
        QCOMPARE(banner.maximumHeight(), banner.textHeight());

        tick(banner);
        tick(banner);
        QCOMPARE(banner.offset(), 289.0f);

        // A later text starts over at once.
        banner.setNews(QStringLiteral("Other"));
        QCOMPARE(banner.offset(), 290.0f);
    }

    // The pass ends when the text's left edge, truncated toward zero, lies more
    // than 10 pixels beyond the left edge plus the text's width.
    void passEndsAndPauses()
    {
        NewsBanner banner;
        banner.resize(300, 16);
        banner.setNews(QStringLiteral("Corvane news of the day"));
        const int w = banner.textWidth();
        QVERIFY(w > 0);

        const float last = float(-10 - w) - 0.5f; // truncates to -10 - w: still visible
        while (banner.offset() > last) {
            tick(banner);
            if (banner.offset() > 290.0f - 40.0f || banner.offset() < 20.0f)
                paint(banner);
            QVERIFY2(!banner.isPaused(), qPrintable(QString::number(banner.offset())));
        }
        QCOMPARE(banner.offset(), last);
        paint(banner);
        QVERIFY(!banner.isPaused());

        tick(banner);
        paint(banner);
        QVERIFY(banner.isPaused());
        QCOMPARE(banner.offset(), 290.0f);
        QVERIFY(banner.scrollTimerId() != 0);

        // While paused only the background shows, wherever the text would be.
        QVERIFY(isBlank(paint(banner)));

        // The end of the pause starts the next pass half a pixel in.
        tick(banner);
        QVERIFY(!banner.isPaused());
        QCOMPARE(banner.offset(), 289.5f);
    }

    void textIsDrawnWhileScrolling()
    {
        NewsBanner banner;
        banner.resize(10, 16);
        banner.setNews(QStringLiteral("Corvane"));
        banner.resize(200, banner.textHeight());
        QVERIFY(!isBlank(paint(banner)));
    }

    void narrowingMovesTextInside()
    {
        NewsBanner banner;
        banner.resize(300, 16);
        banner.setNews(QStringLiteral("Word"));
        banner.resize(100, banner.textHeight());
        QCOMPARE(banner.offset(), 290.0f);
        paint(banner);
        QCOMPARE(banner.offset(), 90.0f);

        // A widget exactly as wide as the text's position keeps it.
        banner.resize(90, banner.textHeight());
        paint(banner);
        QCOMPARE(banner.offset(), 90.0f);
    }

    // The only real-time check of the ticker: the pause between passes lasts 3 s.
    void pauseLastsThreeSeconds()
    {
        NewsBanner banner;
        banner.resize(10, 16);
        banner.setNews(QStringLiteral("x"));
        // Force the end of the pass at the next repaint.
        while (int(banner.offset()) + banner.textWidth() >= -10)
            tick(banner);
        paint(banner);
        QVERIFY(banner.isPaused());

        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(!banner.isPaused(), 8000);
        // A coarse timer may fire up to 5 % early.
        QVERIFY2(clock.elapsed() >= 2850, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_MAIN(tst_NewsBanner)
#include "tst_newsbanner.moc"
