#include "osc/OscTargets.h"

#include "app/Errors.h"
#include "store/KeyValueFile.h"

#include <exception>

namespace {

const QString OSC = QStringLiteral("OSC");

bool HasKey(const KeyValueFile& file, const QString& key) {
    // No stored value can be this: it is not a character any text holds.
    const QString absent(1, QChar(0xFFFF));
    return file.ReadString(OSC, key, absent) != absent;
}

TOscForm ReadForm(const KeyValueFile& file, const QString& key) {
    return file.ReadString(OSC, key, QString()).compare(u"message", Qt::CaseInsensitive) == 0
               ? TOscForm::Message
               : TOscForm::Bundle;
}

TOscArgs ReadArgs(const KeyValueFile& file, const QString& key) {
    return file.ReadString(OSC, key, QString()).compare(u"typed", Qt::CaseInsensitive) == 0
               ? TOscArgs::Typed
               : TOscArgs::Text;
}

// A choice is written when it differs from the default or the file has the
// key already; a file without it is left without it.
void WriteChoice(KeyValueFile& file, const QString& key, bool isDefault, const QString& text) {
    if (!isDefault || HasKey(file, key))
        file.WriteString(OSC, key, text);
}

} // namespace

void TOscSettings::ReadFrom(const KeyValueFile& file) {
    SoundIP = file.ReadString(OSC, QStringLiteral("soundIP"), QString());
    SoundPort = file.ReadInteger(OSC, QStringLiteral("soundPort"), 0);
    SoundAddress = file.ReadString(OSC, QStringLiteral("soundAddress"), QString());
    LightIP = file.ReadString(OSC, QStringLiteral("lightIP"), QString());
    LightPort = file.ReadInteger(OSC, QStringLiteral("lightPort"), 0);
    LightAddress = file.ReadString(OSC, QStringLiteral("lightAddress"), QString());
    SoundForm = ReadForm(file, QStringLiteral("soundForm"));
    SoundArgs = ReadArgs(file, QStringLiteral("soundArgs"));
    LightForm = ReadForm(file, QStringLiteral("lightForm"));
    LightArgs = ReadArgs(file, QStringLiteral("lightArgs"));
}

void TOscSettings::WriteTo(KeyValueFile& file) const {
    file.WriteString(OSC, QStringLiteral("soundIP"), SoundIP);
    file.WriteInteger(OSC, QStringLiteral("soundPort"), SoundPort);
    file.WriteString(OSC, QStringLiteral("soundAddress"), SoundAddress);
    file.WriteString(OSC, QStringLiteral("lightIP"), LightIP);
    file.WriteInteger(OSC, QStringLiteral("lightPort"), LightPort);
    file.WriteString(OSC, QStringLiteral("lightAddress"), LightAddress);
    const auto form = [](TOscForm f) {
        return f == TOscForm::Message ? QStringLiteral("message") : QStringLiteral("bundle");
    };
    const auto args = [](TOscArgs a) {
        return a == TOscArgs::Typed ? QStringLiteral("typed") : QStringLiteral("text");
    };
    WriteChoice(file, QStringLiteral("soundForm"), SoundForm == TOscForm::Bundle, form(SoundForm));
    WriteChoice(file, QStringLiteral("soundArgs"), SoundArgs == TOscArgs::Text, args(SoundArgs));
    WriteChoice(file, QStringLiteral("lightForm"), LightForm == TOscForm::Bundle, form(LightForm));
    WriteChoice(file, QStringLiteral("lightArgs"), LightArgs == TOscArgs::Text, args(LightArgs));
}

TOscTargets::TOscTargets(QObject* parent) : QObject(parent) {
    UDPsound.SetLookup(&FNameLookup);
    UDPLight.SetLookup(&FNameLookup);
}

void TOscTargets::SetSettings(const TOscSettings& settings) {
    static_cast<TOscSettings&>(*this) = settings;
    Apply();
}

void TOscTargets::Apply() {
    for (auto [client, host, port] :
         {std::tuple{&UDPsound, SoundIP, SoundPort}, std::tuple{&UDPLight, LightIP, LightPort}}) {
        client->Disconnect();
        client->Deactivate();
        client->SetHost(host);
        client->SetPort(port);
        client->Prime();
    }
    // Cues prepared before now are prepared again when they fire.
    ++FGeneration;
    emit Changed();
}

TPreparedCue TOscTargets::Prepare(const QByteArray& message) const {
    TPreparedCue cue;
    cue.Message = message;
    cue.Generation = FGeneration;
    const OscCommand command = SplitOscCommand(QString::fromUtf8(message));
    cue.ToSound = command.Selector == SoundAddress;
    cue.ToLight = command.Selector == LightAddress;
    if (cue.ToSound)
        cue.SoundBytes = CueBytes(command, SoundForm, SoundArgs);
    if (cue.ToLight)
        cue.LightBytes = cue.ToSound && SoundForm == LightForm && SoundArgs == LightArgs
                             ? cue.SoundBytes
                             : CueBytes(command, LightForm, LightArgs);
    return cue;
}

void TOscTargets::Fire(const TPreparedCue& prepared, const std::function<void()>& warn) {
    TPreparedCue again;
    if (prepared.Generation != FGeneration)
        again = Prepare(prepared.Message);
    const TPreparedCue& cue = prepared.Generation != FGeneration ? again : prepared;
    if (!cue.ToSound && !cue.ToLight)
        return;

    // A target whose socket is not ready is reported once; its datagram is
    // still attempted below, unconnected or on the previous connection.
    try {
        if (cue.ToSound)
            UDPsound.ConnectPrimed();
        if (cue.ToLight)
            UDPLight.ConnectPrimed();
    } catch (const CuewellError&) {
        if (warn)
            warn();
    }

    // Sound goes first. A sound send that fails must not cost the light cue
    // its datagram: light is still sent, then the first error is raised.
    std::exception_ptr firstError;
    if (cue.ToSound) {
        try {
            UDPsound.SendPrimed(cue.SoundBytes);
        } catch (const CuewellError&) {
            firstError = std::current_exception();
        }
    }
    if (cue.ToLight) {
        try {
            UDPLight.SendPrimed(cue.LightBytes);
        } catch (const CuewellError&) {
            if (!firstError)
                firstError = std::current_exception();
        }
    }

    // The next dispatch's sockets, once the cue is out and this handler is done.
    FReprimeSound |= cue.ToSound;
    FReprimeLight |= cue.ToLight;
    if (!FPrimePending) {
        FPrimePending = true;
        QMetaObject::invokeMethod(
            this, [this] { PrimeUsed(); }, Qt::QueuedConnection);
    }
    if (firstError)
        std::rethrow_exception(firstError);
}

void TOscTargets::PrimeUsed() {
    FPrimePending = false;
    for (auto [client, used] : {std::pair{&UDPsound, FReprimeSound}, {&UDPLight, FReprimeLight}}) {
        client->CloseRetired();
        if (used && client->Primed() && !client->HasSpare())
            client->Prime();
    }
    FReprimeSound = FReprimeLight = false;
}
