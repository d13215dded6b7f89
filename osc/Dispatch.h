#pragma once

// Splitting a cue's OSC message text and sending it to the sound and light targets.

#include <QByteArray>
#include <QString>
#include <functional>

class UdpClient;

// Case-insensitive search for the first occurrence of sub in text.
QString TextBefore(const QString& sub, const QString& text); // all of text when absent
QString TextAfter(const QString& sub, const QString& text);  // empty when absent

struct OscCommand {
    QString Selector; // between the first and the second "/"
    QString Address;  // before the first space
    QString Argument; // after the first space
};
OscCommand SplitOscCommand(const QString& message);

// The bytes of one fired cue: a bundle (time tag 1) holding one message with
// the address and the argument as one string.
QByteArray CueBundleBytes(const OscCommand& command);

// Sends `message` to the sound target, the light target, both or neither as its
// selector decides. A failure to make a client active or connect it calls
// `warn` once and the dispatch goes on; send errors raise to the caller.
void DispatchCue(const QByteArray& message, const QString& soundAddress,
                 const QString& lightAddress, UdpClient& sound, UdpClient& light,
                 const std::function<void()>& warn);
