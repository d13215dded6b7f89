#pragma once

// Splitting a cue's OSC message text and sending it to the sound and light targets.

#include <QByteArray>
#include <QString>

// Case-insensitive search for the first occurrence of sub in text.
QString TextBefore(const QString& sub, const QString& text); // all of text when absent
QString TextAfter(const QString& sub, const QString& text);  // empty when absent

struct OscCommand {
    QString Selector; // between the first and the second "/"
    QString Address;  // before the first space
    QString Argument; // after the first space
};
OscCommand SplitOscCommand(const QString& message);

// How a target takes its cues: the message inside a bundle (time tag 1) or
// on its own; the argument text as one string or as typed arguments.
enum class TOscForm { Bundle, Message };
enum class TOscArgs { Text, Typed };

// The bytes of one fired cue: a bundle (time tag 1) holding one message with
// the address and the argument as one string.
QByteArray CueBundleBytes(const OscCommand& command);
// The bytes of one fired cue in the given form. Typed arguments: the argument
// text split at spaces (runs of spaces count as one); a token that reads as a
// 32-bit integer is sent as "i", a decimal number written with "." (whatever
// the locale) as "f", a token in double quotes as one string with its spaces
// (the quotes removed), anything else as a string.
QByteArray CueBytes(const OscCommand& command, TOscForm form, TOscArgs args);
