#pragma once

// libcapi20, loaded at run time and called from one thread of its own.
//
// The library keeps process-wide state (its application table, one admin connection, a
// system-wide id pool in /dev/shm) and is not thread-safe, so this process has one Library:
// one thread that makes every call into libcapi20, in the order the calls were posted. The
// library file is opened with dlopen() only when a real line is first used, so a process on
// the simulated line never needs the package nor /dev/shm.


#include <QString>

#include <functional>

#define __NO_CAPIUTILS__
#include <capi20.h>

class QObject;
class QThread;

namespace capi20 {

// The calls of libcapi20 this program makes, resolved from the loaded library.
struct Functions
{
    decltype(&::capi20_isinstalled) isInstalled = nullptr;
    decltype(&::capi20_register) registerApplication = nullptr;
    decltype(&::capi20_release) release = nullptr;
    decltype(&::capi20_put_message) putMessage = nullptr;
    decltype(&::capi20_get_message) getMessage = nullptr;
    decltype(&::capi20_get_manufacturer) manufacturer = nullptr;
    decltype(&::capi20_get_version) version = nullptr;
    decltype(&::capi20_get_serial_number) serialNumber = nullptr;
    decltype(&::capi20_get_profile) profile = nullptr;
    decltype(&::capi20_fileno) fileNumber = nullptr;
    decltype(&::capi20ext_set_driver) setDriver = nullptr;
    decltype(&::capi20ext_set_host) setHost = nullptr;
    decltype(&::capi20ext_set_port) setPort = nullptr;
    decltype(&::capi20ext_set_tracelevel) setTraceLevel = nullptr;
    decltype(&::capi20ext_get_driver) driver = nullptr;
};

class Library
{
public:
    using Job = std::function<void()>;
    using DebugSink = std::function<void(const QString &line)>;

    // The library's thread starts on first use. The library file is not opened yet.
    static Library &instance();

    // Runs `job` on the library's thread after every job posted before it.
    void post(Job job);
    // An object living in the library's thread: the parent of its notifiers and timers.
    QObject *context() const { return m_context; }

    // ---- on the library's thread only ----
    // Opens the library file (once; later calls return the same table) and sets its trace
    // level to 0 with its debug lines routed to the debug sink. Null, with the reason, when
    // the file cannot be loaded or lacks a call.
    const Functions *load(const QString &fileName, QString *why);
    // Where the library's debug lines go while the following calls run; empty drops them.
    void setDebugSink(DebugSink sink) { m_debugSink = std::move(sink); }
    void debugLine(const QString &line);

private:
    Library();
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    QThread *m_thread = nullptr;
    QObject *m_context = nullptr;
    Functions m_functions;
    bool m_loaded = false;
    QString m_loadedFile;
    DebugSink m_debugSink;
};

} // namespace capi20
