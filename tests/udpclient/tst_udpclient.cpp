#include "app/Errors.h"
#include "osc/UdpClient.h"
#include "tests/udpclient/LoopbackReceiver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <optional>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The exit status of a child that found no network of its own to make.
constexpr int NoOwnNetwork = 77;

bool WriteText(const char* path, const QByteArray& text) {
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
    ::close(fd);
    return written;
}

// Runs `body` in a child process with a network of its own, so that its
// addresses and interfaces can change as a real network's do. Returns the
// child's exit status, NoOwnNetwork when the system allows no such network.
int RunInOwnNetwork(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWNET) != 0) {
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 ||
                !WriteText("/proc/self/setgroups", "deny") ||
                !WriteText("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1") ||
                !WriteText("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1"))
                ::_exit(NoOwnNetwork);
        }
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Shell(const QByteArray& command) {
    return std::system((command + " >/dev/null 2>&1").constData()) == 0;
}

// The first IPv4 UDP datagram seen on `interface` for `to`, and its source
// address; empty when none comes within two seconds.
std::optional<std::pair<QByteArray, QByteArray>> Capture(int packetSocket, const char* to,
                                                         uint16_t port) {
    in_addr wanted{};
    ::inet_pton(AF_INET, to, &wanted);
    char frame[2048];
    for (;;) {
        const ssize_t n = ::recv(packetSocket, frame, sizeof frame, 0);
        if (n < 0)
            return std::nullopt;
        if (size_t(n) < sizeof(iphdr))
            continue;
        iphdr ip;
        std::memcpy(&ip, frame, sizeof ip);
        const size_t headerLength = size_t(ip.ihl) * 4;
        if (ip.protocol != IPPROTO_UDP || ip.daddr != wanted.s_addr ||
            size_t(n) < headerLength + sizeof(udphdr))
            continue;
        udphdr udp;
        std::memcpy(&udp, frame + headerLength, sizeof udp);
        if (ntohs(udp.dest) != port)
            continue;
        char source[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &ip.saddr, source, sizeof source);
        const qsizetype payload = qsizetype(headerLength + sizeof(udphdr));
        return std::pair{QByteArray(frame + payload, n - payload), QByteArray(source)};
    }
}

} // namespace

class tst_UdpClient : public QObject {
    Q_OBJECT

private slots:
    void setPortKeepsLow16Bits_data();
    void setPortKeepsLow16Bits();
    void resolve_data();
    void resolve();
    void resolveFailureRaises_data();
    void resolveFailureRaises();
    void bytesArriveIntact_data();
    void bytesArriveIntact();
    void oversizedDatagramRaises();
    void portAbove65535UsesLow16Bits();
    void everyConnectOpensNewSocket();
    void failedConnectLeavesClientUnconnected();
    void sendWithoutConnectResolvesHost();
    void targetDownIsNotAnError();
    void sendAfterRefusalStillDelivers();
    void disconnectKeepsSocketAndSendsToHost();
    void deactivateClosesSocket();
    void socketIsCloseOnExec();
    void spareSendsAfterNetworkChange_data();
    void spareSendsAfterNetworkChange();
    void primedClientFollowsItsTarget_data();
    void primedClientFollowsItsTarget();
};

void tst_UdpClient::setPortKeepsLow16Bits_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("expected");
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("8000") << 8000 << 8000;
    QTest::newRow("65535") << 65535 << 65535;
    QTest::newRow("65536") << 65536 << 0;
    QTest::newRow("70000") << 70000 << 4464;
    QTest::newRow("-1") << -1 << 65535;
}

void tst_UdpClient::setPortKeepsLow16Bits() {
    QFETCH(int, port);
    QFETCH(int, expected);
    UdpClient client;
    client.SetPort(port);
    QCOMPARE(int(client.Port()), expected);
}

void tst_UdpClient::resolve_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("localhost") << "localhost" << 0x7F000001u;
    QTest::newRow("LOCALHOST") << "LOCALHOST" << 0x7F000001u;
    QTest::newRow("LocalHost") << "LocalHost" << 0x7F000001u;
    QTest::newRow("127.0.0.1") << "127.0.0.1" << 0x7F000001u;
    QTest::newRow("192.168.1.20") << "192.168.1.20" << 0xC0A80114u;
    QTest::newRow("0.0.0.0") << "0.0.0.0" << 0u;
    QTest::newRow("255.255.255.255") << "255.255.255.255" << 0xFFFFFFFFu;
    // Decimal, whatever the leading zeros: not octal as inet_aton reads it.
    QTest::newRow("010.0.0.012") << "010.0.0.012" << 0x0A00000Cu;
}

void tst_UdpClient::resolve() {
    QFETCH(QString, host);
    QFETCH(quint32, expected);
    QCOMPARE(UdpClient::ResolveIPv4(host), expected);
}

void tst_UdpClient::resolveFailureRaises_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("unknown name") << "no-such-host.invalid";
    QTest::newRow("empty") << "";
    QTest::newRow("number above 255") << "256.1.1.1";
    QTest::newRow("five numbers") << "1.2.3.4.5";
    QTest::newRow("leading blank") << " 127.0.0.1";
    QTest::newRow("trailing dot") << "1.2.3.4.";
}

void tst_UdpClient::resolveFailureRaises() {
    QFETCH(QString, host);
    try {
        UdpClient::ResolveIPv4(host);
        QFAIL("no error raised");
    } catch (const CuewellError& e) {
        QVERIFY2(e.Text().contains(host), qPrintable(e.Text()));
    }
}

void tst_UdpClient::bytesArriveIntact_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QByteArray>("bytes");
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    const QByteArray largest(65507, '\xA5'); // the largest IPv4 UDP payload
    for (bool connect : {true, false}) {
        const char* how = connect ? "connected" : "unconnected";
        QTest::addRow("%s, text", how) << "127.0.0.1" << connect << QByteArray("#bundle\0\0", 9);
        QTest::addRow("%s, every byte value", how) << "127.0.0.1" << connect << binary;
        QTest::addRow("%s, empty datagram", how) << "127.0.0.1" << connect << QByteArray();
        QTest::addRow("%s, largest datagram", how) << "127.0.0.1" << connect << largest;
        QTest::addRow("%s, host localhost", how) << "Localhost" << connect << binary;
    }
}

void tst_UdpClient::bytesArriveIntact() {
    QFETCH(QString, host);
    QFETCH(bool, connect);
    QFETCH(QByteArray, bytes);
    LoopbackReceiver receiver;
    QVERIFY(receiver.IsBound());
    UdpClient client;
    client.SetHost(host);
    client.SetPort(receiver.Port());
    if (connect) {
        client.MakeActive();
        client.Connect();
        QVERIFY(client.Connected());
    }
    client.SendBuffer(bytes);
    QCOMPARE(client.Connected(), connect);
    QVERIFY(client.Active());
    const auto got = receiver.Receive();
    QVERIFY(got.has_value());
    QCOMPARE(*got, bytes);
    QCOMPARE(receiver.SenderPort(), client.LocalPort());
}

void tst_UdpClient::oversizedDatagramRaises() {
    LoopbackReceiver receiver;
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(receiver.Port());
    client.Connect();
    QVERIFY_THROWS_EXCEPTION(CuewellError, client.SendBuffer(QByteArray(65508, 'x')));
    // The client is still usable.
    client.SendBuffer("ok");
    QCOMPARE(receiver.Receive().value_or("none"), QByteArray("ok"));
}

void tst_UdpClient::portAbove65535UsesLow16Bits() {
    LoopbackReceiver receiver(4464);
    if (!receiver.IsBound())
        QSKIP("port 4464 is taken on this machine");
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(70000);
    client.Connect();
    client.SendBuffer("low bits");
    QCOMPARE(receiver.Receive().value_or("none"), QByteArray("low bits"));
}

void tst_UdpClient::everyConnectOpensNewSocket() {
    LoopbackReceiver receiver;
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(receiver.Port());
    QVERIFY(!client.Active());
    QCOMPARE(client.LocalPort(), 0);
    client.MakeActive();
    QVERIFY(client.Active());
    QVERIFY(!client.Connected());
    const uint16_t opened = client.LocalPort();
    QVERIFY(opened != 0);
    // Making an active client active keeps its socket; the first connect
    // uses the socket that is open.
    client.MakeActive();
    QCOMPARE(client.LocalPort(), opened);
    client.Connect();
    QCOMPARE(client.LocalPort(), opened);
    client.SendBuffer("one");
    QVERIFY(receiver.Receive().has_value());
    QCOMPARE(receiver.SenderPort(), opened);

    client.Connect();
    QVERIFY(client.Connected());
    const uint16_t reopened = client.LocalPort();
    QVERIFY(reopened != opened);
    client.SendBuffer("two");
    QCOMPARE(receiver.Receive().value_or("none"), QByteArray("two"));
    QCOMPARE(receiver.SenderPort(), reopened);
}

void tst_UdpClient::failedConnectLeavesClientUnconnected() {
    LoopbackReceiver receiver;
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(receiver.Port());
    client.Connect();
    client.SetHost(QStringLiteral("no-such-host.invalid"));
    QVERIFY_THROWS_EXCEPTION(CuewellError, client.Connect());
    QVERIFY(!client.Connected());
    // No datagram may go to the old destination: the send resolves again.
    QVERIFY_THROWS_EXCEPTION(CuewellError, client.SendBuffer("lost"));
    QVERIFY(!receiver.Receive(100).has_value());
}

void tst_UdpClient::sendWithoutConnectResolvesHost() {
    LoopbackReceiver first;
    LoopbackReceiver second;
    UdpClient client;
    client.SetHost(QStringLiteral("localhost"));
    client.SetPort(first.Port());
    client.SendBuffer("a");
    QCOMPARE(first.Receive().value_or("none"), QByteArray("a"));
    const uint16_t local = client.LocalPort();
    // Host and port are read at each send, from the same socket.
    client.SetPort(second.Port());
    client.SendBuffer("b");
    QCOMPARE(second.Receive().value_or("none"), QByteArray("b"));
    QCOMPARE(second.SenderPort(), local);
    QVERIFY(!client.Connected());
}

// The target's port is closed: the system answers with port-unreachable,
// which a connected socket reports on a later send. That is a target that is
// down, not a failure of the send.
void tst_UdpClient::targetDownIsNotAnError() {
    uint16_t closedPort;
    {
        LoopbackReceiver probe;
        closedPort = probe.Port();
    }
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(closedPort);
    client.Connect();
    for (int i = 0; i < 3; ++i) {
        client.SendBuffer("anyone?");
        QTest::qWait(20);
    }
    QVERIFY(client.Connected());
}

// The refusal reported for an earlier datagram must not swallow this one.
void tst_UdpClient::sendAfterRefusalStillDelivers() {
    uint16_t port;
    {
        LoopbackReceiver probe;
        port = probe.Port();
    }
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(port);
    client.Connect();
    client.SendBuffer("into the void");
    QTest::qWait(20);
    LoopbackReceiver receiver(port);
    if (!receiver.IsBound())
        QSKIP("the port was taken in the meantime");
    client.SendBuffer("back up");
    QCOMPARE(receiver.Receive().value_or("none"), QByteArray("back up"));
}

void tst_UdpClient::disconnectKeepsSocketAndSendsToHost() {
    LoopbackReceiver first;
    LoopbackReceiver second;
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(first.Port());
    client.Connect();
    client.Disconnect();
    QVERIFY(!client.Connected());
    QVERIFY(client.Active());
    client.SetPort(second.Port());
    client.SendBuffer("moved");
    QCOMPARE(second.Receive().value_or("none"), QByteArray("moved"));
    QVERIFY(!first.Receive(100).has_value());
    client.Disconnect(); // not connected: nothing happens
    QVERIFY(client.Active());
}

void tst_UdpClient::deactivateClosesSocket() {
    LoopbackReceiver receiver;
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(receiver.Port());
    client.Connect();
    client.Deactivate();
    QVERIFY(!client.Active());
    QVERIFY(!client.Connected());
    QCOMPARE(client.LocalPort(), 0);
    client.Deactivate();
    QVERIFY(!client.Active());
}

// Sockets must not leak into programs started from this one.
void tst_UdpClient::primedClientFollowsItsTarget_data() {
    QTest::addColumn<QString>("primedHost");
    QTest::addColumn<bool>("primedOnReceiverPort");
    QTest::addColumn<QStringList>("hostsSetSince");
    QTest::addColumn<bool>("spareKept");
    const QString here = QStringLiteral("127.0.0.1");
    const QString elsewhere = QStringLiteral("127.0.0.2");
    QTest::newRow("another port") << here << false << QStringList{} << false;
    QTest::newRow("another host") << elsewhere << true << QStringList{here} << false;
    QTest::newRow("the same target set again") << here << true << QStringList{here} << true;
    QTest::newRow("away and back") << here << true << QStringList{elsewhere, here} << true;
}

// A dispatch goes to the target the client has now, on the spare when it was
// primed for that target, on a fresh prime otherwise.
void tst_UdpClient::primedClientFollowsItsTarget() {
    QFETCH(QString, primedHost);
    QFETCH(bool, primedOnReceiverPort);
    QFETCH(QStringList, hostsSetSince);
    QFETCH(bool, spareKept);
    LoopbackReceiver receiver;
    LoopbackReceiver other;
    UdpClient client;
    client.SetHost(primedHost);
    client.SetPort(primedOnReceiverPort ? receiver.Port() : other.Port());
    client.Prime();
    const uint16_t spare = client.SpareLocalPort();
    QVERIFY(spare != 0);
    for (const QString& host : hostsSetSince)
        client.SetHost(host);
    client.SetPort(receiver.Port());
    client.ConnectPrimed();
    client.SendPrimed("go");
    QCOMPARE(receiver.Receive(1000).value_or("none"), QByteArray("go"));
    QCOMPARE(client.LocalPort() == spare, spareKept);
}

void tst_UdpClient::socketIsCloseOnExec() {
    UdpClient client;
    client.MakeActive();
    const uint16_t port = client.LocalPort();
    int found = -1;
    for (int fd = 0; fd < 1024 && found < 0; ++fd) {
        sockaddr_in sa{};
        socklen_t length = sizeof sa;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0 &&
            sa.sin_family == AF_INET && ntohs(sa.sin_port) == port)
            found = fd;
    }
    QVERIFY(found >= 0);
    QVERIFY(::fcntl(found, F_GETFD) & FD_CLOEXEC);
}

void tst_UdpClient::spareSendsAfterNetworkChange_data() {
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<bool>("named");
    const QByteArray link = "ip link add %1 type veth peer name %2 && ip link set %2 address "
                            "02:00:00:00:00:77 && ip link set %1 up && ip link set %2 up && ip "
                            "addr add %3/24 dev %1 && ip neigh replace 10.9.0.77 lladdr "
                            "02:00:00:00:00:77 dev %1 nud permanent";
    const QByteArray newAddress = "ip addr del 10.9.0.1/24 dev d0 && ip addr add 10.9.0.2/24 dev "
                                  "d0 && ip neigh replace 10.9.0.77 lladdr 02:00:00:00:00:77 dev "
                                  "d0 nud permanent";
    // The interface went and another came, as when a cable or a wireless
    // network is changed.
    const QByteArray newInterface =
        "ip link del d0 && " + QString::fromLatin1(link).arg("e0", "d1", "10.9.0.3").toLatin1();
    for (bool named : {false, true}) {
        const char* target = named ? "target by name" : "target by address";
        QTest::addRow("%s, network as it was", target)
            << QByteArray("true") << QByteArray("10.9.0.1") << named;
        QTest::addRow("%s, new address", target) << newAddress << QByteArray("10.9.0.2") << named;
        QTest::addRow("%s, new interface", target)
            << newInterface << QByteArray("10.9.0.3") << named;
    }
}

// A spare is opened long before its GO. If the network changes in between,
// the cue must still leave, from the address the machine has now.
void tst_UdpClient::spareSendsAfterNetworkChange() {
    QFETCH(QByteArray, change);
    QFETCH(QByteArray, source);
    // A target given by name is sent to again without a look-up: right after
    // a network change the name service may well be out of reach.
    QFETCH(bool, named);
    const QByteArray link = "ip link add d0 type veth peer name d1 && ip link set d1 address "
                            "02:00:00:00:00:77 && ip link set d0 up && ip link set d1 up && ip "
                            "addr add 10.9.0.1/24 dev d0 && ip neigh replace 10.9.0.77 lladdr "
                            "02:00:00:00:00:77 dev d0 nud permanent";
    const int status = RunInOwnNetwork([&] {
        if (!Shell("ip link set lo up && " + link))
            return NoOwnNetwork;
        const int capture = ::socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
        if (capture < 0)
            return NoOwnNetwork;
        timeval wait{2, 0};
        ::setsockopt(capture, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        UdpClient client;
        int lookUps = 0;
        if (named)
            client.SetResolver([&](const QString&) {
                ++lookUps;
                return UdpClient::ResolveIPv4(QStringLiteral("10.9.0.77"));
            });
        client.SetHost(named ? QStringLiteral("console.show.test") : QStringLiteral("10.9.0.77"));
        client.SetPort(9000);
        client.Prime();
        if (!client.HasSpare() || !Shell(change))
            return 10;
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_IP);
        at.sll_ifindex = int(::if_nametoindex("d1"));
        if (::bind(capture, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            return 11;
        try {
            client.ConnectPrimed();
            client.SendPrimed("cue");
        } catch (const CuewellError& e) {
            std::fprintf(stderr, "send failed: %s\n", qPrintable(e.Text()));
            return 1;
        }
        const auto got = Capture(capture, "10.9.0.77", 9000);
        if (!got || got->first != "cue")
            return 2;
        if (got->second != source) {
            std::fprintf(stderr, "sent from %s\n", got->second.constData());
            return 3;
        }
        if (lookUps > 1) {
            std::fprintf(stderr, "%d look-ups\n", lookUps);
            return 4;
        }
        return 0;
    });
    if (status == NoOwnNetwork)
        QSKIP("no network namespace or no ip(8) here");
    QCOMPARE(status, 0);
}

QTEST_GUILESS_MAIN(tst_UdpClient)
#include "tst_udpclient.moc"
