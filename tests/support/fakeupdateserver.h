#ifndef FAKEUPDATESERVER_H
#define FAKEUPDATESERVER_H

#include <QByteArray>
#include <QList>
#include <QMap>

#include <atomic>
#include <mutex>
#include <thread>

// A datagram server on 127.0.0.1 (port chosen by the system) that answers from
// its own thread, so a client blocking the test's thread still gets replies.
// Each request is looked up by its exact bytes; the mapped datagrams are sent
// back to the sender in order. Unknown requests are recorded and left unanswered.
class FakeUpdateServer
{
public:
    static QByteArray versionsRequest() { return QByteArray("3", 2); }
    static QByteArray newsRequest() { return QByteArray("*", 2); }

    FakeUpdateServer();
    ~FakeUpdateServer();
    FakeUpdateServer(const FakeUpdateServer &) = delete;
    FakeUpdateServer &operator=(const FakeUpdateServer &) = delete;

    bool isListening() const { return m_fd >= 0; }
    quint16 port() const { return m_port; }

    void setReply(const QByteArray &request, const QByteArray &reply);
    void setReplies(const QByteArray &request, const QList<QByteArray> &replies);
    void setVersionsReply(const QByteArray &reply) { setReply(versionsRequest(), reply); }
    void setNewsReply(const QByteArray &reply) { setReply(newsRequest(), reply); }
    // Stay silent for the first n requests (they are still recorded).
    void setIgnoreFirst(int n);
    // Answer at most n requests in all, silent afterwards; -1 for no limit.
    void setAnswerLimit(int n);

    int requestCount() const;
    QList<QByteArray> requests() const;

private:
    void run();

    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    QMap<QByteArray, QList<QByteArray> > m_replies;
    QList<QByteArray> m_requests;
    int m_ignoreFirst = 0;
    int m_answerLimit = -1;
    int m_answered = 0;
};

#endif
