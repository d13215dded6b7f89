#pragma once

// What the show benchmarks share: a loopback receiver that stamps each
// datagram on arrival in a thread of its own, cue and settings files for a
// made-up script, and the figures printed from a set of samples.

#include "bench/common/Figures.h"
#include "osc/Dispatch.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

using BenchClock = std::chrono::steady_clock;

inline double Micros(BenchClock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// A plain blocking UDP socket on 127.0.0.1. Every datagram is stamped with
// the time the kernel took it in (SO_TIMESTAMPNS), put on the steady clock:
// on loopback that is inside the sender's send, which is what a controller on
// another machine would see. When recv returned would also count the wait for
// this thread to be scheduled, which on a loaded machine shares its CPU with
// the sender and so is charged whatever the sender does after its send.
class TArrivalLog {
public:
    explicit TArrivalLog(std::size_t capacity) : FAt(capacity), FBytes(capacity) {
        FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        socklen_t length = sizeof sa;
        if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
            std::perror("receiver");
            std::exit(2);
        }
        FPort = ntohs(sa.sin_port);
        const int on = 1;
        if (::setsockopt(FSocket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
            std::perror("SO_TIMESTAMPNS");
            std::exit(2);
        }
        FThread = std::thread([this] { Run(); });
    }
    ~TArrivalLog() {
        FStop = true;
        // Wakes the blocking recv; it returns 0 and the thread ends.
        ::shutdown(FSocket, SHUT_RDWR);
        FThread.join();
        ::close(FSocket);
    }
    TArrivalLog(const TArrivalLog&) = delete;
    TArrivalLog& operator=(const TArrivalLog&) = delete;

    uint16_t Port() const { return FPort; }
    std::size_t Count() const { return FCount.load(std::memory_order_acquire); }
    BenchClock::time_point At(std::size_t i) const { return FAt[i]; }
    const QByteArray& Bytes(std::size_t i) const { return FBytes[i]; }
    // Datagrams beyond the capacity: a doubled GO shows up here.
    std::size_t Overflow() const { return FOverflow.load(); }

    // Blocks until `n` datagrams have come or the time is up.
    bool WaitFor(std::size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock lock(FMutex);
        return FArrived.wait_for(lock, timeout, [&] { return Count() >= n; });
    }

    // Called on the receiver thread once the n-th datagram has come. Set
    // before the first datagram; the count may be moved on later with
    // TriggerAt while no datagram is on its way.
    void OnCount(std::size_t n, std::function<void()> action) {
        FTriggerAt = n;
        FTrigger = std::move(action);
    }
    void TriggerAt(std::size_t n) { FTriggerAt = n; }

private:
    // How long before `wall` (the realtime clock read with `now`) the kernel
    // stamped the datagram; the kernel stamps on the realtime clock, and the
    // two clocks cannot drift apart noticeably over so short a span.
    static BenchClock::duration SinceKernelStamp(const msghdr& message, const timespec& wall) {
        for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c;
             c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c)))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                const auto ns = (int64_t(wall.tv_sec) - stamp.tv_sec) * 1000000000LL +
                                (wall.tv_nsec - stamp.tv_nsec);
                return std::chrono::nanoseconds(std::max<int64_t>(0, ns));
            }
        std::fprintf(stderr, "a datagram came without its kernel time stamp\n");
        std::exit(2);
    }

    void Run() {
        char buffer[2048];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        for (;;) {
            iovec data{buffer, sizeof buffer};
            msghdr message{};
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t got = ::recvmsg(FSocket, &message, 0);
            const BenchClock::time_point now = BenchClock::now();
            timespec wall{};
            clock_gettime(CLOCK_REALTIME, &wall);
            if (FStop || got <= 0)
                return;
            const std::size_t i = FCount.load(std::memory_order_relaxed);
            if (i >= FAt.size()) {
                ++FOverflow;
                continue;
            }
            FAt[i] = now - SinceKernelStamp(message, wall);
            FBytes[i] = QByteArray(buffer, got);
            {
                std::lock_guard lock(FMutex);
                FCount.store(i + 1, std::memory_order_release);
            }
            FArrived.notify_all();
            if (FTrigger && i + 1 == FTriggerAt)
                FTrigger();
        }
    }

    int FSocket = -1;
    uint16_t FPort = 0;
    std::vector<BenchClock::time_point> FAt;
    std::vector<QByteArray> FBytes;
    std::atomic<std::size_t> FCount{0};
    std::atomic<std::size_t> FOverflow{0};
    std::atomic<bool> FStop{false};
    std::atomic<std::size_t> FTriggerAt{0};
    std::function<void()> FTrigger;
    std::mutex FMutex;
    std::condition_variable FArrived;
    std::thread FThread;
};

// The datagram a cue "/sound/go <n>" puts on the wire.
inline QByteArray SoundGoBytes(int n) {
    return CueBundleBytes(SplitOscCommand(QStringLiteral("/sound/go %1").arg(n)));
}

// Settings sending "sound" cues to the receiver; light goes to an unused port.
inline QByteArray SoundSettings(int soundPort, bool arrowPrompt) {
    return QByteArray("[Settings]\r\nArrow=") + (arrowPrompt ? "1" : "0") +
           "\r\n\r\n[OSC]\r\nsoundIP=127.0.0.1\r\nsoundPort=" + QByteArray::number(soundPort) +
           "\r\nsoundAddress=sound\r\nlightIP=127.0.0.1\r\nlightPort=9\r\nlightAddress="
           "light\r\n\r\n";
}

// A cue file of `pages` pages with `perPage` cues each, numbered through the
// show; `autoplay(n)` says which fire by themselves; only `total` cues are written.
inline QByteArray ShowCueFile(int pages, int perPage, int total,
                              const std::function<bool(int)>& autoplay) {
    QByteArray text;
    int n = 0;
    for (int p = 0; p < pages; ++p) {
        text += "[Page" + QByteArray::number(p) + "]\r\n";
        for (int i = 0; i < perPage && n < total; ++i, ++n) {
            // One column down the page, far enough apart not to be pushed down.
            const QByteArray top = QByteArray::number(0.04 + i * 0.044, 'f', 3);
            const QByteArray left = QByteArray::number(i % 2 ? 0.35 : 0.3, 'f', 2);
            text += "Cue" + QByteArray::number(i) + "=" + top + "|" + left + "|/sound/go " +
                    QByteArray::number(n) + "|" + (autoplay(n) ? "-1" : "0") + "|Standby " +
                    QByteArray::number(n) + " go|\r\n";
        }
        text += "\r\n";
    }
    text += "[Settings]\r\nHeight=620\r\nWidth=960\r\n\r\n";
    return text;
}
