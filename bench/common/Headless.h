#pragma once

// Benchmarks run without a display and in the C locale unless told otherwise.

#include <QByteArray>
#include <QtGlobal>

inline void UseHeadlessDefaults() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("LC_ALL"))
        qputenv("LC_ALL", "C");
}
