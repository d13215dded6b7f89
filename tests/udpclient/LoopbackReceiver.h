#pragma once

// A UDP receiver on 127.0.0.1 (or another loopback address) for tests: bound
// to a port the system picks (or a given one), reading whole datagrams with a
// generous time-out.

#include <QByteArray>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class LoopbackReceiver {
public:
    explicit LoopbackReceiver(uint16_t port = 0, uint32_t address = INADDR_LOOPBACK) {
        FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(address);
        sa.sin_port = htons(port);
        if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            Close();
            return;
        }
        socklen_t length = sizeof sa;
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&sa), &length);
        FPort = ntohs(sa.sin_port);
    }
    ~LoopbackReceiver() { Close(); }
    LoopbackReceiver(const LoopbackReceiver&) = delete;
    LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

    bool IsBound() const { return FSocket >= 0; }
    uint16_t Port() const { return FPort; }
    // The sender's port of the last datagram read.
    uint16_t SenderPort() const { return FSenderPort; }

    void Close() {
        if (FSocket >= 0)
            ::close(FSocket);
        FSocket = -1;
    }

    // The next datagram, or nothing when none comes within the time-out.
    std::optional<QByteArray> Receive(int timeoutMs = 5000) {
        pollfd p{FSocket, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return std::nullopt;
        QByteArray data(65536, '\0');
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(FSocket, data.data(), size_t(data.size()), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            return std::nullopt;
        FSenderPort = ntohs(from.sin_port);
        data.resize(n);
        return data;
    }

private:
    int FSocket = -1;
    uint16_t FPort = 0;
    uint16_t FSenderPort = 0;
};
