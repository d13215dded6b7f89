#pragma once

// A small IPv4 UDP client: host and port set from outside, a socket opened
// on demand, connected anew for every dispatch. Failures raise CuewellError.
//
// For the show path a client can be primed: the host is resolved and a fresh
// socket opened and connected ahead of time (a spare), so that the dispatch
// itself only takes the spare over and sends. Every dispatch still leaves
// from a socket of its own.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

struct sockaddr_in;
class TNameLookup;

class UdpClient {
public:
    UdpClient() = default;
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    QString Host() const { return FHost; }
    void SetHost(const QString& host) {
        FHost = host;
        NoteTarget();
    }
    uint16_t Port() const { return FPort; }
    // Only the low 16 bits are used: 70000 gives 4464, -1 gives 65535.
    void SetPort(int port) {
        FPort = static_cast<uint16_t>(port & 0xFFFF);
        NoteTarget();
    }

    bool Active() const { return FSocket >= 0; }
    bool Connected() const { return FConnected; }

    // Opens and binds a socket (any local address, a system-chosen port) when none is open.
    void MakeActive();
    // Retires a connected socket (see CloseRetired), resolves the host, opens a
    // socket if needed and connects it.
    void Connect();
    // One datagram: on the connected socket, or sent to the host resolved again.
    void SendBuffer(const QByteArray& bytes);
    void Disconnect();
    // Closes the socket.
    void Deactivate();

    // Resolves the host and opens, binds and connects a spare socket for the
    // next dispatch, replacing any earlier spare. Never raises: a failure is
    // kept and reported by ConnectPrimed. With a look-up thread (SetLookup),
    // a host name is looked up there instead: the spare is opened at once
    // to the address the last look-up of the same target gave, if any, and
    // again when the answer brings another; the answer decides, as a look-up
    // here would have.
    void Prime();
    // Where host names are looked up for Prime; none: right here. The
    // answers must come back on this client's thread.
    void SetLookup(TNameLookup* lookup) { FLookup = lookup; }
    // Whether a spare is ready; whether a prime has been attempted since the
    // last Deactivate (a failed one included).
    bool HasSpare() const { return FSpare >= 0; }
    bool Primed() const { return FPrimed; }
    // The dispatch's connect without a name look-up or a socket call: the
    // spare becomes the client's connected socket (the previous one is
    // kept for CloseRetired). Without a spare the client is left
    // unconnected and the failure of the prime is raised.
    void ConnectPrimed();
    // One datagram as SendBuffer, except that an unconnected client sends to
    // the address of the last prime instead of resolving the host again,
    // and raises the prime's failure when it had none. A send that fails on
    // the connected socket is tried once more from a socket connected anew.
    void SendPrimed(const QByteArray& bytes);
    // Closes the socket that the last connect replaced; done after the
    // dispatch, so that its closing costs the cue nothing. At most one such
    // socket is kept: the next connect closes it otherwise.
    void CloseRetired();

    // "LOCALHOST" (any case) is 127.0.0.1, a dotted quad is taken as it is,
    // anything else goes to the system's IPv4 resolution. Host byte order.
    static uint32_t ResolveIPv4(const QString& host);

    // The socket's local port; 0 while inactive. The same of the spare.
    uint16_t LocalPort() const;
    uint16_t SpareLocalPort() const;
    // The address the spare is connected to (host byte order); 0 without one.
    uint32_t SpareAddress() const;

    // Replaces the name look-up of this client (ResolveIPv4 when empty), so
    // that a test can see when and how often names are resolved.
    void SetResolver(std::function<uint32_t(const QString&)> resolver) {
        FResolver = std::move(resolver);
    }

private:
    QString FHost;
    uint16_t FPort = 0;
    int FSocket = -1;
    // The previous dispatch's socket, until CloseRetired or the next connect.
    int FRetired = -1;
    bool FConnected = false;
    // The spare of the last prime, the address it resolved, and why it failed.
    int FSpare = -1;
    bool FPrimed = false;
    bool FPrimedResolved = false;
    uint32_t FPrimedAddress = 0;
    uint16_t FPrimedPort = 0;
    QString FPrimeError;

    QString FPrimedHost;
    // The last prime was for the present host and port: known when they are
    // set, so that a dispatch compares no names.
    bool FPrimedForTarget = false;

    // A look-up asked on the look-up thread and not answered yet; asked
    // again when it is. Another target or a Deactivate voids its answer.
    TNameLookup* FLookup = nullptr;
    bool FLookupPending = false;
    bool FLookupAgain = false;
    uint64_t FLookupTarget = 0;

    void CloseSpare();
    // Connect without the look-up: a fresh socket connected to `address`.
    void ConnectTo(uint32_t address);
    // The connected socket becomes the retired one.
    void RetireConnected();
    // Resolves here, then OpenSpare.
    void PrimeHere();
    // A spare connected to the primed address; a failure is kept.
    void OpenSpare();
    void AskLookup();
    void Answered(uint64_t target, bool found, uint32_t address, const QString& error);
    void NoteTarget() {
        FPrimedForTarget = FPrimed && FPrimedHost == FHost && FPrimedPort == FPort;
        if (!FPrimedForTarget)
            VoidLookup();
    }
    void VoidLookup() {
        ++FLookupTarget;
        FLookupPending = FLookupAgain = false;
    }
    std::function<uint32_t(const QString&)> FResolver;

    uint32_t Resolve() const { return FResolver ? FResolver(FHost) : ResolveIPv4(FHost); }

    void Send(const QByteArray& bytes, const sockaddr_in* to);
};
