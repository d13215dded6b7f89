#pragma once

// What the main window keeps in the settings file's [Settings] section.

#include <QString>

class KeyValueFile;

struct TWindowSettings {
    int Left = 100;
    int Top = 100;
    // The window's outer size.
    int Height = 600;
    int Width = 700;
    QString LastScript;
    bool Arrow = true;
    bool LockCues = false;
    int GoGuard = 0;

    void Read(const KeyValueFile& file);
    // What the window writes at close: its place, the script, the prompt style,
    // and the show lock and GO guard once chosen (a file without them keeps
    // its bytes while they are off). The size goes to the cue file instead.
    void WriteAtClose(KeyValueFile& file) const;
};

// Whether the file holds the key, whatever its value.
bool HasKey(const KeyValueFile& file, const QString& section, const QString& key);
