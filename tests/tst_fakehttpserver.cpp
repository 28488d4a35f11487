#include "fakehttpserver.h"
#include "testdirs.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QtTest>

using Behaviour = FakeHttpServer::Behaviour;
Q_DECLARE_METATYPE(FakeHttpServer::Behaviour)

// The misbehaving mirror must do exactly what a row asks, or the network tests built on it prove nothing.
class tst_FakeHttpServer : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dirs.reset(new TestDirs);
        QVERIFY(m_dirs->isValid());
        m_file = QByteArray(10000, '\0');
        for (int i = 0; i < m_file.size(); ++i)
            m_file[i] = char('a' + i % 26);
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("www/12/file.bin"), m_file));
        m_server.reset(new FakeHttpServer(m_dirs->appFile("www")));
        QVERIFY(m_server->listen());
        m_manager.reset(new QNetworkAccessManager);
        m_manager->setProxy(QNetworkProxy::NoProxy);
    }
    void cleanup()
    {
        m_manager.reset();
        m_server.reset();
        m_dirs.reset();
    }

    void responses_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("headerValue");
        QTest::addColumn<qint64>("bodyBytes");

        const QString file = "/12/file.bin";
        QTest::newRow("faithful") << Behaviour() << file << 200 << QNetworkReply::NoError
                                  << QByteArray("Content-Length") << QByteArray("10000") << qint64(10000);
        QTest::newRow("missing file is 404") << Behaviour() << "/12/none" << 404
                                             << QNetworkReply::ContentNotFoundError << QByteArray() << QByteArray()
                                             << qint64(-1);
        QTest::newRow("status 503") << Behaviour::status(503) << file << 503
                                    << QNetworkReply::ServiceUnavailableError << QByteArray() << QByteArray() << qint64(-1);
        QTest::newRow("301 to another path") << Behaviour::redirect(301, "/12/other.bin") << file << 301
                                             << QNetworkReply::NoError << QByteArray("Location")
                                             << QByteArray("/12/other.bin") << qint64(-1);
        QTest::newRow("authentication demand") << Behaviour::authenticationDemand() << file << 401
                                               << QNetworkReply::AuthenticationRequiredError << QByteArray()
                                               << QByteArray() << qint64(-1);
        QTest::newRow("no Content-Length") << Behaviour::noContentLength() << file << 200 << QNetworkReply::NoError
                                           << QByteArray("Content-Length") << QByteArray() << qint64(10000);
        QTest::newRow("trickle 700 bytes every 2 ms") << Behaviour::trickle(700, 2) << file << 200
                                                      << QNetworkReply::NoError << QByteArray() << QByteArray()
                                                      << qint64(10000);
        QTest::newRow("truncated after 3000 bytes") << Behaviour::truncateAfter(3000) << file << 200
                                                    << QNetworkReply::RemoteHostClosedError
                                                    << QByteArray("Content-Length") << QByteArray("10000")
                                                    << qint64(3000);
        QTest::newRow("memory content") << Behaviour::content("hello") << "/12/anything" << 200
                                        << QNetworkReply::NoError << QByteArray("Content-Length") << QByteArray("5")
                                        << qint64(5);
    }

    void responses()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, headerValue);
        QFETCH(qint64, bodyBytes);

        m_server->setBehaviour(path, behaviour);
        QNetworkReply *reply = get(path);
        QVERIFY(reply->isFinished());
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        QCOMPARE(reply->error(), error);
        if (!header.isEmpty())
            QCOMPARE(reply->rawHeader(header), headerValue);
        if (bodyBytes >= 0) {
            const QByteArray body = reply->readAll();
            QCOMPARE(body.size(), bodyBytes);
            if (path == "/12/file.bin")
                QCOMPARE(body, m_file.left(int(bodyBytes)));
        }
        QVERIFY(m_server->requestCount(path) >= 1); // exact counts: countsRequestsPerPath...
    }

    void corruptedBytesDifferOnlyWhereAsked()
    {
        m_server->setBehaviour("/12/file.bin", Behaviour::corrupt(5000, 3));
        QNetworkReply *reply = get("/12/file.bin");
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        const QByteArray body = reply->readAll();
        QCOMPARE(body.size(), m_file.size());
        QCOMPARE(body.left(5000), m_file.left(5000));
        QCOMPARE(body.mid(5003), m_file.mid(5003));
        for (int i = 5000; i < 5003; ++i)
            QCOMPARE(body.at(i), char(~m_file.at(i)));
    }

    void resetCutsTheBody()
    {
        m_server->setDefaultBehaviour(Behaviour::resetAfter(1000));
        QNetworkReply *reply = get("/12/file.bin");
        QVERIFY(reply->error() != QNetworkReply::NoError);
        QVERIFY(reply->readAll().size() <= 1000);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 5000);
    }

    // A stalled response keeps its connection open and sends nothing more until the mirror drops it.
    void stallHoldsTheConnection()
    {
        m_server->setDefaultBehaviour(Behaviour::stallAfter(1000));
        QNetworkReply *reply = m_manager->get(request("/12/file.bin"));
        QTRY_VERIFY_WITH_TIMEOUT(reply->bytesAvailable() == 1000, 5000);
        QVERIFY(!reply->isFinished());
        QCOMPARE(m_server->openConnections(), 1);
        QCOMPARE(m_server->bodyBytesSent(), qint64(1000));

        m_server->closeAllConnections();
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 5000);
        QVERIFY(reply->error() != QNetworkReply::NoError);
        reply->deleteLater();
    }

    void silenceSendsNoHeaders()
    {
        m_server->setDefaultBehaviour(Behaviour::silence());
        QNetworkReply *reply = m_manager->get(request("/12/file.bin"));
        QSignalSpy received(m_server.get(), &FakeHttpServer::requestReceived);
        QVERIFY(received.wait(5000));
        QCOMPARE(received.at(0).at(0).toString(), QString("/12/file.bin"));
        QVERIFY(!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
        reply->abort();
        reply->deleteLater();
    }

    void endlessDataNeverEnds()
    {
        m_server->setBehaviour("/12/file.bin", Behaviour::endlessData());
        QNetworkReply *reply = m_manager->get(request("/12/file.bin"));
        qint64 received = 0;
        connect(reply, &QNetworkReply::readyRead, this, [&] { received += reply->readAll().size(); });
        QTRY_VERIFY_WITH_TIMEOUT(received > 4 * 1024 * 1024, 10000);
        QVERIFY(!reply->isFinished());
        QVERIFY(!reply->hasRawHeader("Content-Length"));
        reply->abort();
        reply->deleteLater();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 5000);
    }

    // Raw requests: the network library may repeat a request on its own, which would blur the counts.
    void countsRequestsPerPathAndServesPercentEncodedNames()
    {
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("www/12/a b.txt"), "space"));
        QVERIFY(rawGet("/12/a%20b.txt").endsWith("\r\n\r\nspace"));
        QVERIFY(rawGet("/12/file.bin?x=1").startsWith("HTTP/1.1 200"));
        QVERIFY(rawGet("/12/file.bin").startsWith("HTTP/1.1 200"));
        QCOMPARE(m_server->requestCount("/12/a b.txt"), 1);
        QCOMPARE(m_server->requestCount("/12/file.bin"), 2);
        QCOMPARE(m_server->requestedPaths(), QStringList({ "/12/a b.txt", "/12/file.bin", "/12/file.bin" }));
        m_server->resetCounts();
        QCOMPARE(m_server->totalRequests(), 0);
    }

    void refusesPathsOutsideTheRoot()
    {
        QVERIFY(TestDirs::writeFile(m_dirs->appFile("secret.txt"), "secret"));
        // Raw, because a URL would lose the dot segments before they reach the server.
        const QByteArray answer = rawGet("/../secret.txt");
        QVERIFY2(answer.startsWith("HTTP/1.1 404"), answer.constData());
        QVERIFY(!answer.contains("secret"));
    }

private:
    QNetworkRequest request(const QString &path) const
    {
        QNetworkRequest request(QUrl(m_server->baseUrl() + path));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        return request;
    }

    // One request on its own connection; the whole answer up to the server's close.
    QByteArray rawGet(const QByteArray &target)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_server->port());
        if (!socket.waitForConnected(5000))
            return QByteArray();
        socket.write("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        QByteArray answer;
        (void)QTest::qWaitFor([&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        }, 5000);
        return answer + socket.readAll();
    }

    // Fetches a path and waits (at most 10 s) for the end; the reply belongs to the manager.
    QNetworkReply *get(const QString &path)
    {
        QNetworkReply *reply = m_manager->get(request(path));
        (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
        return reply;
    }

    std::unique_ptr<TestDirs> m_dirs;
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    QByteArray m_file;
};

QTEST_GUILESS_MAIN(tst_FakeHttpServer)
#include "tst_fakehttpserver.moc"
