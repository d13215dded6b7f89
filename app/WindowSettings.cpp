#include "app/WindowSettings.h"

#include "store/KeyValueFile.h"

namespace {
const QString Settings = QStringLiteral("Settings");
} // namespace

void TWindowSettings::Read(const KeyValueFile& file) {
    Left = file.ReadInteger(Settings, QStringLiteral("Left"), 100);
    Top = file.ReadInteger(Settings, QStringLiteral("Top"), 100);
    Height = file.ReadInteger(Settings, QStringLiteral("Height"), 600);
    Width = file.ReadInteger(Settings, QStringLiteral("Width"), 700);
    LastScript = file.ReadString(Settings, QStringLiteral("LastScript"), QString());
    Arrow = file.ReadBool(Settings, QStringLiteral("Arrow"), true);
    LockCues = file.ReadBool(Settings, QStringLiteral("LockCues"), false);
    GoGuard = file.ReadInteger(Settings, QStringLiteral("GoGuard"), 0);
}

void TWindowSettings::WriteAtClose(KeyValueFile& file) const {
    file.WriteInteger(Settings, QStringLiteral("Top"), Top);
    file.WriteInteger(Settings, QStringLiteral("Left"), Left);
    file.WriteString(Settings, QStringLiteral("LastScript"), LastScript);
    file.WriteBool(Settings, QStringLiteral("Arrow"), Arrow);
    if (LockCues || HasKey(file, Settings, QStringLiteral("LockCues")))
        file.WriteBool(Settings, QStringLiteral("LockCues"), LockCues);
    if (GoGuard > 0 || HasKey(file, Settings, QStringLiteral("GoGuard")))
        file.WriteInteger(Settings, QStringLiteral("GoGuard"), GoGuard);
}

bool HasKey(const KeyValueFile& file, const QString& section, const QString& key) {
    const QString absent = QStringLiteral("\x01absent");
    return file.ReadString(section, key, absent) != absent;
}
