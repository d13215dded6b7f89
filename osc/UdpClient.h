#pragma once

// A small IPv4 UDP client: host and port set from outside, a socket opened
// on demand, connected anew for every dispatch. Failures raise CuewellError.

#include <QByteArray>
#include <QString>
#include <cstdint>

class UdpClient {
public:
    UdpClient() = default;
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    QString Host() const { return FHost; }
    void SetHost(const QString& host) { FHost = host; }
    uint16_t Port() const { return FPort; }
    // Only the low 16 bits are used: 70000 gives 4464, -1 gives 65535.
    void SetPort(int port) { FPort = static_cast<uint16_t>(port & 0xFFFF); }

    bool Active() const { return FSocket >= 0; }
    bool Connected() const { return FConnected; }

    // Opens and binds a socket (any local address, a system-chosen port) when none is open.
    void MakeActive();
    // Closes a connected socket, resolves the host, opens a socket if needed and connects it.
    void Connect();
    // One datagram: on the connected socket, or sent to the host resolved again.
    void SendBuffer(const QByteArray& bytes);
    void Disconnect();
    // Closes the socket.
    void Deactivate();

    // "LOCALHOST" (any case) is 127.0.0.1, a dotted quad is taken as it is,
    // anything else goes to the system's IPv4 resolution. Host byte order.
    static uint32_t ResolveIPv4(const QString& host);

    // The socket's local port; 0 while inactive.
    uint16_t LocalPort() const;

private:
    QString FHost;
    uint16_t FPort = 0;
    int FSocket = -1;
    // The previous dispatch's socket: closed once the next datagram is out,
    // so that its closing costs the cue nothing.
    int FRetired = -1;
    bool FConnected = false;

    void CloseRetired();
};
