#include "osc/UdpClient.h"

#include "app/Errors.h"
#include "osc/NameLookup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

QString SystemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString Endpoint(const QString& host, uint16_t port) {
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

// Four dot-separated decimal numbers from 0 to 255, nothing else (no octal,
// no hex, no short forms as inet_aton would take them).
bool ParseDottedQuad(const QString& host, uint32_t& address) {
    uint32_t result = 0;
    int parts = 0;
    qsizetype i = 0;
    const qsizetype n = host.size();
    while (parts < 4) {
        uint32_t value = 0;
        qsizetype digits = 0;
        while (i < n && host[i] >= u'0' && host[i] <= u'9') {
            value = value * 10 + (host[i].unicode() - u'0');
            if (value > 255)
                return false;
            ++i;
            ++digits;
        }
        if (digits == 0)
            return false;
        result = (result << 8) | value;
        ++parts;
        if (parts < 4) {
            if (i >= n || host[i] != u'.')
                return false;
            ++i;
        }
    }
    if (i != n)
        return false;
    address = result;
    return true;
}

// "LOCALHOST" in any case or a dotted quad: an address without a look-up.
bool LiteralAddress(const QString& host, uint32_t& address) {
    if (host.compare(QLatin1String("LOCALHOST"), Qt::CaseInsensitive) == 0) {
        address = INADDR_LOOPBACK;
        return true;
    }
    return ParseDottedQuad(host, address);
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

// An IPv4 datagram socket bound to any local address and a system-chosen port.
int OpenBoundSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw CuewellError(QStringLiteral("Cannot open a UDP socket: %1").arg(SystemReason(errno)));
    const sockaddr_in any = SocketAddress(INADDR_ANY, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        const int error = errno;
        ::close(fd);
        throw CuewellError(QStringLiteral("Cannot bind a UDP socket: %1").arg(SystemReason(error)));
    }
    return fd;
}

// 0 when the socket's association is made, otherwise errno.
int ConnectSocket(int fd, const sockaddr_in& to) {
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

uint16_t LocalPortOf(int fd) {
    if (fd < 0)
        return 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

} // namespace

UdpClient::~UdpClient() {
    Deactivate();
}

uint32_t UdpClient::ResolveIPv4(const QString& host) {
    uint32_t address = 0;
    if (LiteralAddress(host, address))
        return address;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const QByteArray name = host.toUtf8();
    const int rc = getaddrinfo(name.constData(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        const QString reason =
            rc == EAI_SYSTEM ? SystemReason(errno) : QString::fromLocal8Bit(gai_strerror(rc));
        if (found)
            freeaddrinfo(found);
        throw CuewellError(QStringLiteral("Cannot resolve host \"%1\": %2").arg(host, reason));
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr &&
            ai->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
            sockaddr_in sa;
            std::memcpy(&sa, ai->ai_addr, sizeof sa);
            return ntohl(sa.sin_addr.s_addr);
        }
    }
    throw CuewellError(QStringLiteral("Cannot resolve host \"%1\": no IPv4 address").arg(host));
}

void UdpClient::MakeActive() {
    if (FSocket >= 0)
        return;
    FSocket = OpenBoundSocket();
    FConnected = false;
}

void UdpClient::Connect() {
    RetireConnected();
    ConnectTo(Resolve());
}

void UdpClient::RetireConnected() {
    // Every connect starts from a fresh socket, so a stale association or a
    // pending error of the previous one cannot leak into this dispatch.
    if (!FConnected)
        return;
    CloseRetired();
    FRetired = FSocket;
    FSocket = -1;
    FConnected = false;
}

void UdpClient::ConnectTo(uint32_t address) {
    RetireConnected();
    MakeActive();
    if (const int error = ConnectSocket(FSocket, SocketAddress(address, FPort)))
        throw CuewellError(QStringLiteral("Cannot connect to %1: %2")
                               .arg(Endpoint(FHost, FPort), SystemReason(error)));
    FConnected = true;
}

void UdpClient::Prime() {
    const bool sameTarget = FPrimedForTarget;
    CloseSpare();
    FPrimed = true;
    FPrimedHost = FHost;
    FPrimedPort = FPort;
    FPrimedForTarget = true;
    uint32_t literal = 0;
    if (!FLookup || FResolver || FHost.isEmpty() || LiteralAddress(FHost, literal)) {
        PrimeHere();
        return;
    }
    // Meanwhile the last answer for this target stands, failure included,
    // so that a GO before the new answer neither looks up nor waits.
    if (!sameTarget) {
        FPrimedResolved = false;
        FPrimeError.clear();
    }
    AskLookup();
    if (FPrimedResolved)
        OpenSpare();
}

void UdpClient::PrimeHere() {
    FPrimedResolved = false;
    FPrimeError.clear();
    try {
        FPrimedAddress = Resolve();
        FPrimedResolved = true;
    } catch (const CuewellError& e) {
        FPrimeError = e.Text();
        return;
    }
    OpenSpare();
}

void UdpClient::OpenSpare() {
    CloseSpare();
    try {
        const int fd = OpenBoundSocket();
        if (const int error = ConnectSocket(fd, SocketAddress(FPrimedAddress, FPort))) {
            ::close(fd);
            throw CuewellError(QStringLiteral("Cannot connect to %1: %2")
                                   .arg(Endpoint(FHost, FPort), SystemReason(error)));
        }
        FSpare = fd;
        FPrimeError.clear();
    } catch (const CuewellError& e) {
        FPrimeError = e.Text();
    }
}

void UdpClient::AskLookup() {
    if (FLookupPending) {
        FLookupAgain = true;
        return;
    }
    FLookupPending = true;
    const uint64_t target = FLookupTarget;
    FLookup->Ask(FHost, [this, target](bool found, uint32_t address, const QString& error) {
        Answered(target, found, address, error);
    });
}

void UdpClient::Answered(uint64_t target, bool found, uint32_t address, const QString& error) {
    if (target != FLookupTarget)
        return; // for a target since replaced
    FLookupPending = false;
    if (!found) {
        CloseSpare();
        FPrimedResolved = false;
        FPrimeError = error;
    } else if (!FPrimedResolved || address != FPrimedAddress || FSpare < 0) {
        FPrimedAddress = address;
        FPrimedResolved = true;
        OpenSpare();
    }
    if (std::exchange(FLookupAgain, false))
        AskLookup();
}

void UdpClient::ConnectPrimed() {
    // A client never primed, given another target since, or whose spare was
    // taken by a dispatch before the next one was opened, is primed now:
    // correct, only not ahead of time; from the address known for the
    // target when there is one, so without a look-up. A prime that failed
    // is not retried here, so a name that does not resolve costs the GO no
    // second look-up.
    if (!FPrimedForTarget) {
        Prime();
        if (FSpare < 0 && FPrimeError.isEmpty())
            PrimeHere(); // nothing known yet: looked up as a dispatch without a spare would
    } else if (FSpare < 0 && FPrimeError.isEmpty()) {
        if (FPrimedResolved)
            OpenSpare();
        else
            PrimeHere();
    }
    // As Connect: the previous socket goes, closed after the dispatch.
    if (FSocket >= 0) {
        CloseRetired();
        FRetired = FSocket;
        FSocket = -1;
    }
    FConnected = false;
    if (FSpare < 0)
        throw CuewellError(FPrimeError);
    FSocket = FSpare;
    FSpare = -1;
    FConnected = true;
}

void UdpClient::SendPrimed(const QByteArray& bytes) {
    if (FConnected) {
        try {
            Send(bytes, nullptr);
        } catch (const CuewellError&) {
            // A spare keeps the source address it was connected from. If the
            // network changed since (a new address, an interface gone), that
            // address may be gone and the send fails where a socket opened now
            // would not: so once more from a socket connected anew. To the
            // address known, without a look-up: this machine moved, not the
            // target, and its name service may be out of reach just now.
            if (FPrimedResolved)
                ConnectTo(FPrimedAddress);
            else
                Connect();
            Send(bytes, nullptr);
        }
        return;
    }
    if (!FPrimedResolved)
        throw CuewellError(
            FPrimeError.isEmpty()
                ? QStringLiteral("Cannot send to %1: no address").arg(Endpoint(FHost, FPort))
                : FPrimeError);
    MakeActive();
    const sockaddr_in to = SocketAddress(FPrimedAddress, FPort);
    Send(bytes, &to);
}

void UdpClient::SendBuffer(const QByteArray& bytes) {
    if (FConnected) {
        Send(bytes, nullptr);
        return;
    }
    const sockaddr_in to = SocketAddress(Resolve(), FPort);
    MakeActive();
    Send(bytes, &to);
}

void UdpClient::Send(const QByteArray& bytes, const sockaddr_in* to) {
    const auto sendOnce = [&]() -> ssize_t {
        ssize_t sent;
        do {
            sent = to ? ::sendto(FSocket, bytes.constData(), size_t(bytes.size()), 0,
                                 reinterpret_cast<const sockaddr*>(to), sizeof *to)
                      : ::send(FSocket, bytes.constData(), size_t(bytes.size()), 0);
        } while (sent < 0 && errno == EINTR);
        return sent;
    };
    ssize_t sent = sendOnce();
    // A port-unreachable answer to an earlier datagram is reported on the
    // next send and that send is dropped. A target that is down is not a
    // failure: the pending report is consumed, so send again; if the target
    // refuses again the datagram is lost, just as it would be unconnected.
    if (sent < 0 && errno == ECONNREFUSED) {
        sent = sendOnce();
        if (sent < 0 && errno == ECONNREFUSED)
            return;
    }
    if (sent < 0)
        throw CuewellError(QStringLiteral("Cannot send to %1: %2")
                               .arg(Endpoint(FHost, FPort), SystemReason(errno)));
    if (sent != bytes.size())
        throw CuewellError(QStringLiteral("Cannot send to %1: only %2 of %3 bytes went out")
                               .arg(Endpoint(FHost, FPort))
                               .arg(sent)
                               .arg(bytes.size()));
}

void UdpClient::Disconnect() {
    if (!FConnected)
        return;
    FConnected = false;
    // Dissolve the association but keep the socket; if the system will not,
    // a closed socket is just as good.
    sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    if (::connect(FSocket, &unspec, sizeof unspec) != 0)
        Deactivate();
}

void UdpClient::CloseRetired() {
    if (FRetired < 0)
        return;
    ::close(FRetired);
    FRetired = -1;
}

void UdpClient::CloseSpare() {
    if (FSpare < 0)
        return;
    ::close(FSpare);
    FSpare = -1;
}

void UdpClient::Deactivate() {
    CloseRetired();
    CloseSpare();
    FPrimed = false;
    FPrimedForTarget = false;
    FPrimedResolved = false;
    FPrimeError.clear();
    VoidLookup();
    FConnected = false;
    if (FSocket < 0)
        return;
    ::close(FSocket);
    FSocket = -1;
}

uint16_t UdpClient::LocalPort() const {
    return LocalPortOf(FSocket);
}

uint16_t UdpClient::SpareLocalPort() const {
    return LocalPortOf(FSpare);
}

uint32_t UdpClient::SpareAddress() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (FSpare < 0 || ::getpeername(FSpare, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return 0;
    return ntohl(peer.sin_addr.s_addr);
}
