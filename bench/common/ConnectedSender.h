#pragma once

// A sender that does the least any program can: one send on a UDP socket
// connected once, before the run, to a loopback port.

#include "bench/common/ShowRig.h"

#include <QByteArray>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

// A UDP socket connected once to a loopback port.
class TConnectedSender {
public:
    TConnectedSender(uint16_t port, QByteArray payload) : FPayload(std::move(payload)) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (FSocket < 0 ||
            ::connect(FSocket, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            std::perror("sender socket");
            std::exit(2);
        }
    }
    ~TConnectedSender() { ::close(FSocket); }
    TConnectedSender(const TConnectedSender&) = delete;
    TConnectedSender& operator=(const TConnectedSender&) = delete;

    const QByteArray& Payload() const { return FPayload; }

    // The time just before the send.
    BenchClock::time_point Send() {
        const BenchClock::time_point start = BenchClock::now();
        if (::send(FSocket, FPayload.constData(), size_t(FPayload.size()), 0) != FPayload.size()) {
            std::perror("send");
            std::exit(2);
        }
        return start;
    }

private:
    QByteArray FPayload;
    int FSocket = -1;
};
