#include "osc/RemoteControl.h"

#include "app/Errors.h"
#include "osc/OSCUtils.h"
#include "store/KeyValueFile.h"

#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Section = QStringLiteral("Remote");

// The largest UDP payload; anything longer would be cut by the kernel.
constexpr int MaxDatagram = 65536;

const QString GoAddress = QStringLiteral("/cuewell/go");
const QString NextAddress = QStringLiteral("/cuewell/next");
const QString PreviousAddress = QStringLiteral("/cuewell/previous");

// Parses "a.b.c.d" strictly; false for anything else.
bool ParseIPv4(const QString& text, quint32& address) {
    const QByteArray ascii = text.toLatin1();
    in_addr parsed{};
    if (text.isEmpty() || ascii != text.toUtf8() ||
        inet_pton(AF_INET, ascii.constData(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

// The entries of an AllowFrom text: the valid addresses, and the first entry
// that is not one (empty when all are valid).
QString ParseAllowList(const QString& text, QList<quint32>& addresses) {
    addresses.clear();
    QString bad;
    for (const QString& raw : text.split(u',')) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        quint32 address = 0;
        if (ParseIPv4(entry, address))
            addresses.append(address);
        else if (bad.isEmpty())
            bad = entry;
    }
    return bad;
}

} // namespace

TRemoteControl::TRemoteControl(QObject* parent) : QObject(parent) {}

TRemoteControl::~TRemoteControl() {
    Stop();
}

void TRemoteControl::SetPort(int value) {
    if (value < 0 || value > 65535)
        throw CuewellError(QStringLiteral("%1 is not a UDP port (1 to 65535)").arg(value));
    FPort = value;
}

void TRemoteControl::SetAllowFrom(const QString& value) {
    QList<quint32> addresses;
    const QString bad = ParseAllowList(value, addresses);
    if (!bad.isEmpty())
        throw CuewellError(QStringLiteral("'%1' is not an IPv4 address").arg(bad));
    FAllowFrom = value.trimmed();
    FAllowed = addresses;
    FAllowAny = addresses.isEmpty();
}

void TRemoteControl::ReadSettings(const KeyValueFile& file) {
    FEnabled = file.ReadBool(Section, QStringLiteral("Enabled"), FEnabled);
    const int port = file.ReadInteger(Section, QStringLiteral("Port"), FPort);
    if (port >= 1 && port <= 65535)
        FPort = port;
    FAllInterfaces = file.ReadBool(Section, QStringLiteral("AllInterfaces"), FAllInterfaces);
    const QString allow = file.ReadString(Section, QStringLiteral("AllowFrom"), FAllowFrom);
    if (allow != FAllowFrom) {
        QList<quint32> addresses;
        ParseAllowList(allow, addresses);
        FAllowFrom = allow.trimmed();
        FAllowed = addresses;
        // Entries that are not addresses never widen the list to "anyone".
        FAllowAny = FAllowFrom.isEmpty();
    }
}

void TRemoteControl::WriteSettings(KeyValueFile& file) const {
    file.WriteBool(Section, QStringLiteral("Enabled"), FEnabled);
    file.WriteInteger(Section, QStringLiteral("Port"), FPort);
    file.WriteBool(Section, QStringLiteral("AllInterfaces"), FAllInterfaces);
    file.WriteString(Section, QStringLiteral("AllowFrom"), FAllowFrom);
}

QString TRemoteControl::ListeningAddress() const {
    if (!Listening())
        return QString();
    return FListeningAll ? QStringLiteral("0.0.0.0") : QStringLiteral("127.0.0.1");
}

void TRemoteControl::Stop() {
    FNotifier.reset();
    if (FSocket >= 0) {
        ::close(FSocket);
        FSocket = -1;
    }
    FListeningPort = 0;
}

void TRemoteControl::Apply() {
    if (!FEnabled) {
        Stop();
        return;
    }
    if (Listening() && FListeningAll == FAllInterfaces && (FPort == 0 || FPort == FListeningPort))
        return;
    // The old socket goes first: the new one may want the same port.
    Stop();
    const auto fail = [this](int error) {
        throw CuewellError(
            QStringLiteral("Cannot listen for remote control on UDP port %1 (%2): %3")
                .arg(FPort)
                .arg(FAllInterfaces ? QStringLiteral("all interfaces")
                                    : QStringLiteral("127.0.0.1"))
                .arg(QString::fromLocal8Bit(std::strerror(error))));
    };
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(FPort));
    address.sin_addr.s_addr = htonl(FAllInterfaces ? INADDR_ANY : INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        fail(error);
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    FSocket = fd;
    FListeningPort = ntohs(address.sin_port);
    FListeningAll = FAllInterfaces;
    FNotifier = std::make_unique<QSocketNotifier>(qintptr(fd), QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, &TRemoteControl::ReadDatagrams);
}

bool TRemoteControl::SenderAllowed(quint32 address) const {
    if (!FListeningAll || FAllowAny)
        return true;
    return FAllowed.contains(address);
}

void TRemoteControl::CollectActions(TOSCPacket& packet, QList<TAction>& actions) {
    if (auto* bundle = dynamic_cast<TOSCBundle*>(&packet)) {
        for (int k = 0; k < bundle->PacketCount(); ++k)
            CollectActions(*bundle->Packet(k), actions);
        return;
    }
    auto& message = static_cast<TOSCMessage&>(packet);
    // Arguments are not used, but a message whose bytes cannot be read
    // spoils the whole datagram.
    message.Decode();
    const bool go = message.MatchAddress(GoAddress) != nullptr;
    message.Unmatch();
    const bool next = message.MatchAddress(NextAddress) != nullptr;
    message.Unmatch();
    const bool previous = message.MatchAddress(PreviousAddress) != nullptr;
    message.Unmatch();
    const int matches = int(go) + int(next) + int(previous);
    if (matches == 0)
        ++FCounters.Unknown;
    else if (matches > 1)
        ++FCounters.Ambiguous;
    else
        actions.append(go ? TAction::Go : next ? TAction::NextPage : TAction::PreviousPage);
}

void TRemoteControl::ReadDatagrams() {
    if (FSocket < 0)
        return;
    if (FBuffer.size() != MaxDatagram)
        FBuffer.resize(MaxDatagram);
    QList<TAction> actions;
    for (int k = 0; k < MaxDatagramsPerWake; ++k) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(FSocket, FBuffer.data(), size_t(FBuffer.size()), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break; // EAGAIN: nothing more now; other errors: the notifier calls again
        }
        ++FCounters.Datagrams;
        if (from.sin_family != AF_INET || !SenderAllowed(ntohl(from.sin_addr.s_addr))) {
            ++FCounters.Refused;
            continue;
        }
        QList<TAction> found;
        try {
            TOSCReceived packet = TOSCPacket::Unpack(FBuffer, qint64(n));
            CollectActions(*packet, found);
        } catch (const CuewellError&) {
            ++FCounters.Unreadable;
            continue;
        }
        actions.append(found);
    }
    // Fired after reading, with the notifier paused: a handler may open a
    // modal box, whose event loop must not read the socket again inside it.
    if (actions.isEmpty())
        return;
    QPointer<TRemoteControl> alive(this);
    QSocketNotifier* notifier = FNotifier.get();
    notifier->setEnabled(false);
    for (TAction action : actions) {
        ++FCounters.Fired;
        switch (action) {
        case TAction::Go:
            emit Go();
            break;
        case TAction::NextPage:
            emit NextPage();
            break;
        case TAction::PreviousPage:
            emit PreviousPage();
            break;
        }
        // A handler may have stopped or replaced the socket, or deleted us.
        if (!alive || FNotifier.get() != notifier)
            return;
    }
    notifier->setEnabled(true);
}
