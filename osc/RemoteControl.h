#pragma once

// Remote GO: OSC datagrams received on a UDP port fire the same actions as
// the keys. Off unless the settings turn it on.
//
// Addresses (a sender may use OSC patterns, matched against each):
//   /cuewell/go        Go()
//   /cuewell/next      NextPage()
//   /cuewell/previous  PreviousPage()
//
// Safety rules, so that nothing on the network fires a cue by accident:
// * A datagram is read whole before anything fires: one that cannot be read
//   (structure, argument bytes or unknown type tags) fires nothing at all.
// * A message whose pattern matches more than one of the addresses (such as
//   "/cuewell/*" or "*") is ambiguous and fires nothing; unknown addresses
//   fire nothing. The messages of a bundle fire in the order they are written.
// * Listening on all interfaces, a non-empty AllowFrom (IPv4 addresses
//   separated by commas) limits the senders; datagrams from any other address
//   are dropped before they are read. Listening on 127.0.0.1 only, every
//   sender is this machine and AllowFrom does not apply.
// * The socket is read from the event loop (a socket notifier on the thread
//   that owns this object), never blocking it: at most MaxDatagramsPerWake
//   datagrams per wake-up, so that a flood leaves the loop its other work.
//
// Settings, section [Remote] of the settings file: Enabled (flag), Port,
// AllInterfaces (flag), AllowFrom. Keys absent from the file leave the
// current values as they are.

#include <QList>
#include <QObject>
#include <QString>
#include <memory>

class KeyValueFile;
class QSocketNotifier;
class TOSCPacket;

class TRemoteControl : public QObject {
    Q_OBJECT

public:
    static constexpr int DefaultPort = 9000;
    static constexpr int MaxDatagramsPerWake = 64;

    // What the receiver did with what it got, for diagnostics.
    struct TCounters {
        quint64 Datagrams = 0;  // read from the socket
        quint64 Refused = 0;    // from a sender outside AllowFrom
        quint64 Unreadable = 0; // not a readable OSC packet
        quint64 Unknown = 0;    // messages matching none of the addresses
        quint64 Ambiguous = 0;  // messages matching more than one
        quint64 Fired = 0;      // actions fired
    };

    explicit TRemoteControl(QObject* parent = nullptr);
    ~TRemoteControl() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value) { FEnabled = value; }
    // 1 to 65535; 0 lets the system choose (tests). Raises CuewellError otherwise.
    int Port() const { return FPort; }
    void SetPort(int value);
    bool AllInterfaces() const { return FAllInterfaces; }
    void SetAllInterfaces(bool value) { FAllInterfaces = value; }
    // IPv4 addresses separated by commas, blanks allowed; empty = any sender.
    // Raises CuewellError naming the first entry that is not an IPv4 address.
    const QString& AllowFrom() const { return FAllowFrom; }
    void SetAllowFrom(const QString& value);

    // Reads [Remote]; absent keys keep the current values. A port outside
    // 1..65535 keeps the current one; an AllowFrom with entries that are not
    // addresses allows only the entries that are (none: nobody), never more.
    void ReadSettings(const KeyValueFile& file);
    // Writes all four keys of [Remote].
    void WriteSettings(KeyValueFile& file) const;

    // Listens as the settings say (or stops when not Enabled). Raises
    // CuewellError with a text for the operator when the port cannot be
    // opened; nothing listens then.
    void Apply();
    void Stop();
    bool Listening() const { return FSocket >= 0; }
    // The port actually listened on (differs from Port() only for Port 0).
    int ListeningPort() const { return FListeningPort; }
    // "127.0.0.1" or "0.0.0.0" while listening, empty otherwise.
    QString ListeningAddress() const;

    const TCounters& Counters() const { return FCounters; }

signals:
    void Go();
    void NextPage();
    void PreviousPage();

private:
    enum class TAction { Go, NextPage, PreviousPage };

    void ReadDatagrams();
    // Appends the actions of Packet in order; raises CuewellError when some
    // part of it cannot be read.
    void CollectActions(TOSCPacket& packet, QList<TAction>& actions);
    bool SenderAllowed(quint32 address) const;

    bool FEnabled = false;
    int FPort = DefaultPort;
    bool FAllInterfaces = false;
    QString FAllowFrom;
    QList<quint32> FAllowed; // host byte order
    bool FAllowAny = true;

    int FSocket = -1;
    int FListeningPort = 0;
    bool FListeningAll = false;
    std::unique_ptr<QSocketNotifier> FNotifier;
    QByteArray FBuffer;
    TCounters FCounters;
};
