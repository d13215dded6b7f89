#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Watched[] = {SIGTERM, SIGINT, SIGHUP};

// A signal handler receives no context: the write end of the pipe is the one
// piece of process-wide state it may touch.
std::atomic<int> WriteEnd{-1};

extern "C" void OnSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const int fd = WriteEnd.load();
    if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
        // A full pipe already holds a request; nothing more to say.
    }
    errno = saved;
}

} // namespace

TTerminationSignals::TTerminationSignals(QObject* parent) : QObject(parent) {
    if (WriteEnd.load() >= 0)
        throw std::logic_error("termination signals are already watched");
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, FPipe) != 0)
        throw std::runtime_error("cannot watch termination signals");
    WriteEnd.store(FPipe[1]);
    FNotifier = new QSocketNotifier(FPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TTerminationSignals::Drain);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : Watched)
        ::sigaction(signalNumber, &action, nullptr);
}

TTerminationSignals::~TTerminationSignals() {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : Watched)
        ::sigaction(signalNumber, &action, nullptr);
    WriteEnd.store(-1);
    delete FNotifier;
    ::close(FPipe[0]);
    ::close(FPipe[1]);
}

void TTerminationSignals::Drain() {
    unsigned char bytes[16];
    const ssize_t got = ::read(FPipe[0], bytes, sizeof bytes);
    for (ssize_t i = 0; i < got; ++i)
        emit Requested(bytes[i]);
}
