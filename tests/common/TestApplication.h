#pragma once

// The application object a window test runs under. A test built with
// CUEWELL_PROGRAM_APPLICATION runs under the program's own, which takes GO
// before Qt's dispatch; otherwise under a plain one, where the window's key
// preview takes it. The same cases then hold for both ways in.

#include "app/Application.h"

#include <QApplication>
#include <QTest>

#ifdef CUEWELL_PROGRAM_APPLICATION
using TTestApplication = TCuewellApplication;
#else
using TTestApplication = QApplication;
#endif

// QTEST_MAIN with the application object above.
#define CUEWELL_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char** argv) {                                                              \
        TTestApplication app(argc, argv);                                                          \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
