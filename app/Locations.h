#pragma once

#include <QString>

// Where the program's own files are found: the settings file and the pin glyph.

// The settings file's name: the executable's name with the extension ".ini".
QString SettingsFileName(const QString& executablePath);
// The settings file beside the executable.
QString SettingsFileBeside(const QString& executablePath);
// The settings file stays beside the executable when it already exists there
// or that folder is writable; otherwise it lives under the same name in the
// user's configuration folder. Every reader and writer asks this one rule.
QString ChooseSettingsFile(const QString& executablePath, bool besideExists,
                           bool executableFolderWritable, const QString& userConfigFolder);

// The pin glyph's file name, looked up without a folder.
inline constexpr char PinGlyphName[] = "Pin_16T3.bmp";
// The program's data folder of an installed program, relative to the
// executable's folder (so a relocated or staged install finds it too).
QString InstalledDataFolder(const QString& executablePath);
// The pin glyph: in the working folder when it is there, else in the installed
// data folder when it is there, else the working folder's name (whose failure
// to open names the file the operator expects).
QString PinGlyphFile(const QString& workingFolder, const QString& executablePath);
