#pragma once

// The show's two OSC targets, sound and light: their settings as stored in
// the [OSC] section of the settings file, their UDP clients, and the sending
// of a cue's message to them.
//
// A GO only sends: each client keeps a socket resolved, opened and connected
// ahead of time (when the settings are applied, and again right after each
// dispatch), and the cue's bytes are encoded when its prompt is placed. Host
// names are looked up on a thread of their own, so that a slow or absent
// name service never holds up a GO or an autoplay tick.

#include "osc/Dispatch.h"
#include "osc/NameLookup.h"
#include "osc/UdpClient.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <utility>

class KeyValueFile;

// The [OSC] settings as plain values.
struct TOscSettings {
    QString SoundIP;
    int SoundPort = 0;
    QString SoundAddress;
    TOscForm SoundForm = TOscForm::Bundle;
    TOscArgs SoundArgs = TOscArgs::Text;
    QString LightIP;
    int LightPort = 0;
    QString LightAddress;
    TOscForm LightForm = TOscForm::Bundle;
    TOscArgs LightArgs = TOscArgs::Text;

    // Absent keys read as their defaults: empty texts, port 0, bundle, text.
    void ReadFrom(const KeyValueFile& file);
    // The six target keys always; "soundForm", "soundArgs", "lightForm" and
    // "lightArgs" only when not at their default or already in the file, so
    // that a file without them stays as it was.
    void WriteTo(KeyValueFile& file) const;

    bool operator==(const TOscSettings&) const = default;
};

// One cue made ready to go: which targets its selector chose and the bytes
// each of them gets.
struct TPreparedCue {
    QByteArray Message;
    bool ToSound = false;
    bool ToLight = false;
    QByteArray SoundBytes;
    QByteArray LightBytes;
    quint64 Generation = 0; // the settings it was made with
};

class TOscTargets : public QObject, public TOscSettings {
    Q_OBJECT
public:
    explicit TOscTargets(QObject* parent = nullptr);

    UdpClient UDPsound;
    UdpClient UDPLight;

    // Replaces the settings and applies them.
    void SetSettings(const TOscSettings& settings);
    const TOscSettings& Settings() const { return *this; }
    // Takes the settings over: both clients let go of their sockets, get the
    // new host and port, and are primed for the next dispatch. Emits Changed.
    void Apply();

    // Splits the message text (UTF-8), chooses the targets by selector and
    // encodes each chosen target's bytes in its form.
    TPreparedCue Prepare(const QByteArray& message) const;
    // Sends a prepared cue: sound first, then light. A target whose socket
    // could not be made ready calls `warn` once (an error with sound skips
    // light's new socket; light then sends on its previous one); its datagram
    // is still attempted. Send errors raise to the caller after both sends
    // were tried, the first one winning. A cue prepared under settings since
    // replaced is prepared again. The sockets for the next dispatch are
    // opened once control returns to the event loop.
    void Fire(const TPreparedCue& cue, const std::function<void()>& warn);
    // Prepare and Fire in one.
    void Dispatch(const QByteArray& message, const std::function<void()>& warn) {
        Fire(Prepare(message), warn);
    }

    // Replaces the look-up of host names on the look-up thread, so that a
    // test can see where and when they are looked up.
    void SetNameResolver(TNameLookup::Resolver resolver) {
        FNameLookup.SetResolver(std::move(resolver));
    }

signals:
    void Changed();

private:
    void PrimeUsed();

    // After the clients: gone before them, so no answer comes for a client
    // that is gone.
    TNameLookup FNameLookup{this};

    quint64 FGeneration = 1;
    bool FPrimePending = false;
    bool FReprimeSound = false;
    bool FReprimeLight = false;
};
