#ifndef FAKEHTTPSERVER_H
#define FAKEHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QIODevice;
class QTcpServer;
class FakeHttpConnection;

// An HTTP/1.1 mirror living inside the test process, on 127.0.0.1 with a port the
// system chooses. It answers GET requests with the files below a root directory (or
// with contents set in memory) and can misbehave per path, or for every path of the
// instance. One instance stands for one mirror: start several for several mirrors.
//
// Every response carries "Connection: close" and the connection ends after it, so
// each request is its own connection and a misbehaviour never leaks into the next.
// The server lives on the thread that created it and needs that thread's event loop.
//
//     FakeHttpServer mirror(dirs.appDir());
//     QVERIFY(mirror.listen());
//     mirror.setContent("/12/a.bin", data);
//     mirror.setBehaviour("/12/b.bin", FakeHttpServer::Behaviour::stallAfter(1000));
//     ... request mirror.baseUrl() + "/12/a.bin" ...
//     QCOMPARE(mirror.requestCount("/12/a.bin"), 1);
class FakeHttpServer : public QObject
{
    Q_OBJECT
public:
    // How one response is made. A default-constructed Behaviour serves the content
    // faithfully: 200, exact Content-Length, whole body, then close. Fields combine
    // (a 200 that trickles and stalls, a corrupted body without Content-Length, ...).
    struct Behaviour
    {
        int statusCode = 200;
        // Sent as the Location header when not empty (redirects).
        QByteArray location;
        // Sent as the WWW-Authenticate header when not empty.
        QByteArray authenticate;
        // Replaces the file's content when set (also makes a 200 without a file).
        bool hasBody = false;
        QByteArray body;
        // Body bytes sent before the misbehaviour starts; -1: never.
        qint64 stallAfterBytes = -1;    // then silence, the connection stays open
        qint64 resetAfterBytes = -1;    // then a TCP reset (RST)
        qint64 truncateAfterBytes = -1; // then an orderly close, short of the announced length
        // Inverts corruptLength bytes starting at body offset corruptOffset; -1: none.
        qint64 corruptOffset = -1;
        qint64 corruptLength = 1;
        // Sends trickleBytes at a time, one chunk every trickleIntervalMs; 0: full speed.
        int trickleBytes = 0;
        int trickleIntervalMs = 0;
        // The response has no Content-Length; the end of the body is the close.
        bool omitContentLength = false;
        // Announces this Content-Length instead of the true one; -1: the true one.
        qint64 announcedLength = -1;
        // After the content, keeps sending filler bytes until the client goes away.
        // Without announcedLength, no Content-Length is sent.
        bool endless = false;
        // Reads the request and never answers: no status line, no headers.
        bool neverAnswer = false;

        // Any status; the body is a short text unless one is given.
        static Behaviour status(int code, const QByteArray &body = QByteArray());
        // A redirect (301, 302, ...) pointing at location.
        static Behaviour redirect(int code, const QByteArray &location);
        // 401 with a Basic challenge.
        static Behaviour authenticationDemand();
        static Behaviour stallAfter(qint64 bytes);
        static Behaviour resetAfter(qint64 bytes);
        static Behaviour truncateAfter(qint64 bytes);
        static Behaviour corrupt(qint64 offset, qint64 length = 1);
        static Behaviour trickle(int bytes, int intervalMs);
        static Behaviour noContentLength();
        static Behaviour endlessData();
        static Behaviour silence();
        // Serves the given bytes in place of any file.
        static Behaviour content(const QByteArray &body);
    };

    // rootDir: the directory whose files are served; a request path "/a/b" maps to
    // rootDir + "/a/b". May be empty when every path is served from memory.
    explicit FakeHttpServer(const QString &rootDir = QString(), QObject *parent = nullptr);
    ~FakeHttpServer() override;

    // Listens on 127.0.0.1 at a port of the system's choice.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>", without a final "/".
    QString baseUrl() const;

    void setRootDir(const QString &rootDir);
    // Serves bytes from memory at a path (takes precedence over files).
    void setContent(const QString &path, const QByteArray &content);
    // Misbehaviour for one path; it wins over the instance's default behaviour.
    void setBehaviour(const QString &path, const Behaviour &behaviour);
    // Misbehaviour for every path without one of its own: the whole mirror is bad.
    void setDefaultBehaviour(const Behaviour &behaviour);
    // Back to faithful serving everywhere; content and counts are kept.
    void clearBehaviours();

    // Requests received, by decoded path ("/12/file.bin") and in total, in order.
    int requestCount(const QString &path) const;
    int totalRequests() const;
    QStringList requestedPaths() const;
    void resetCounts();

    // Connections the server holds open now (a stalled response keeps its connection).
    int openConnections() const;
    // Body bytes written to clients so far, over all responses.
    qint64 bodyBytesSent() const;
    // Drops every open connection at once (as a crash of the mirror would).
    void closeAllConnections();

signals:
    // A complete request head arrived; emitted before the answer starts.
    void requestReceived(const QString &path);

private:
    friend class FakeHttpConnection;
    void onNewConnection();
    Behaviour behaviourFor(const QString &path) const;
    // The content for a path, opened for reading and owned by owner; null when there is none.
    QIODevice *openContent(const QString &path, QObject *owner) const;
    void connectionGone(FakeHttpConnection *connection);

    QTcpServer *m_server;
    QString m_rootDir;
    QHash<QString, QByteArray> m_contents;
    QHash<QString, Behaviour> m_behaviours;
    bool m_hasDefaultBehaviour;
    Behaviour m_defaultBehaviour;
    QStringList m_requests;
    QList<FakeHttpConnection *> m_connections;
    qint64 m_bodyBytesSent;
};

#endif
