#include "fakeupdateserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FakeUpdateServer::FakeUpdateServer()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

FakeUpdateServer::~FakeUpdateServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FakeUpdateServer::setReply(const QByteArray &request, const QByteArray &reply)
{
    setReplies(request, QList<QByteArray>{reply});
}

void FakeUpdateServer::setReplies(const QByteArray &request, const QList<QByteArray> &replies)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[request] = replies;
}

void FakeUpdateServer::setIgnoreFirst(int n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ignoreFirst = n;
}

void FakeUpdateServer::setAnswerLimit(int n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answerLimit = n;
}

int FakeUpdateServer::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

QList<QByteArray> FakeUpdateServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void FakeUpdateServer::run()
{
    // Large enough for any datagram, so recorded requests are never cut.
    QByteArray buffer(65536, '\0');
    while (!m_stop) {
        pollfd waiting;
        waiting.fd = m_fd;
        waiting.events = POLLIN;
        waiting.revents = 0;
        if (::poll(&waiting, 1, 20) <= 0)
            continue;
        sockaddr_in sender;
        socklen_t senderLength = sizeof sender;
        const ssize_t received = ::recvfrom(m_fd, buffer.data(), size_t(buffer.size()), 0,
                                            reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (received < 0)
            continue;
        const QByteArray request = buffer.left(int(received));

        QList<QByteArray> replies;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.append(request);
            const int index = m_requests.size() - 1;
            const bool silent = index < m_ignoreFirst
                                || (m_answerLimit >= 0 && m_answered >= m_answerLimit)
                                || !m_replies.contains(request);
            if (!silent) {
                ++m_answered;
                replies = m_replies.value(request);
            }
        }
        for (const QByteArray &reply : replies)
            ::sendto(m_fd, reply.constData(), size_t(reply.size()), 0,
                     reinterpret_cast<const sockaddr *>(&sender), senderLength);
    }
}
