#pragma once

// Every test runs with HOME and the XDG folders in a temporary folder of its own, so the
// drive folders (C: and so on) and any settings never touch the real home folder, and on the
// offscreen platform. QUILLON_TEST_MAIN replaces QTEST_MAIN and sets this up before the
// application object exists.

#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

namespace testenv {

// Points HOME and the XDG folders into a fresh temporary folder that lives for the whole
// test run. Returns that folder's path.
inline QString isolate()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/quillon-test-XXXXXX"));
    const QByteArray root = QFile::encodeName(home.path());
    qputenv("HOME", root);
    qputenv("XDG_DATA_HOME", root + "/.local/share");
    qputenv("XDG_CONFIG_HOME", root + "/.config");
    qputenv("XDG_CACHE_HOME", root + "/.cache");
    qputenv("XDG_STATE_HOME", root + "/.local/state");
    QDir(home.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(home.path() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", root + "/runtime");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return home.path();
}

} // namespace testenv

#define QUILLON_TEST_MAIN_IMPL(TestObject, AppClass)                                           \
    int main(int argc, char **argv)                                                            \
    {                                                                                          \
        testenv::isolate();                                                                    \
        AppClass app(argc, argv);                                                              \
        TestObject tc;                                                                         \
        QTEST_SET_MAIN_SOURCE_PATH                                                             \
        return QTest::qExec(&tc, argc, argv);                                                  \
    }

// For tests that show widgets.
#define QUILLON_TEST_MAIN(TestObject) QUILLON_TEST_MAIN_IMPL(TestObject, QApplication)
// For tests of libraries without widgets.
#define QUILLON_TEST_GUILESS_MAIN(TestObject) QUILLON_TEST_MAIN_IMPL(TestObject, QCoreApplication)
