#pragma once

// libcapi20, loaded at run time and called from one thread of its own.
//
// The library keeps process-wide state (its application table, one admin connection, a
// system-wide id pool in /dev/shm) and is not thread-safe, so this process has one Library:
// one thread that makes every call into libcapi20, in the order the calls were posted. The
// library file is opened with dlopen() only when a real line is first used, so a process on
// the simulated line never needs the package nor /dev/shm.
//
// The thread runs an epoll loop of its own rather than a Qt event loop: one epoll_wait covers
// the applications' descriptors, the wake-up of posted jobs (an eventfd, written only when
// the thread sleeps) and the one timer it needs; once the descriptors' handlers of a turn
// have run, hooks hand what they took to other threads, so one turn wakes another thread
// once, before the turn's jobs write what was put.


#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#define __NO_CAPIUTILS__
#include <capi20.h>

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

    // ---- on the library's thread only ----
    // Opens the library file (once; later calls return the same table) and sets its trace
    // level to 0 with its debug lines routed to the debug sink. Null, with the reason, when
    // the file cannot be loaded or lacks a call.
    const Functions *load(const QString &fileName, QString *why);
    // Where the library's debug lines go while the following calls run; empty drops them.
    void setDebugSink(DebugSink sink) { m_debugSink = std::move(sink); }
    void debugLine(const QString &line);

    // Runs `handler` in every turn in which input, the end of the stream or an error waits
    // on `fd`, until unwatch(). False when the kernel refuses the descriptor.
    bool watch(int fd, Job handler);
    // Forgets `fd`; safe from its own handler. An event already taken for it is dropped.
    void unwatch(int fd);
    // Stops watching `fd` for `delay`, then runs its handler once; the handler calls resume()
    // to have the descriptor watched again, or pause() again.
    void pause(int fd, std::chrono::milliseconds delay);
    void resume(int fd);
    // Runs `hook` once when the descriptors' handlers of the current turn have all run, before
    // the turn's jobs.
    void afterHandlers(Job hook);

private:
    Library();
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    class Thread;
    struct Watch
    {
        std::shared_ptr<Job> handler; // shared, so a handler that unwatches itself lives on
        quint32 serial = 0; // tells a reused descriptor from the one an event was taken for
        bool watched = false; // in the epoll set
        std::optional<std::chrono::steady_clock::time_point> retryAt;
    };
    void run();
    int timeoutMs() const;
    void runDueRetries();
    void runAfterHandlers();

    QThread *m_thread = nullptr;
    int m_epoll = -1;
    int m_wake = -1; // an eventfd, written by post() while the thread sleeps

    std::mutex m_mutex;
    std::vector<Job> m_jobs; // guarded by m_mutex
    bool m_sleeping = false; // guarded by m_mutex: the thread waits in epoll_wait
    bool m_quit = false;     // guarded by m_mutex

    // The library's thread only.
    std::unordered_map<int, Watch> m_watches;
    quint32 m_nextSerial = 1;
    std::vector<Job> m_afterHandlers;
    Functions m_functions;
    bool m_loaded = false;
    QString m_loadedFile;
    DebugSink m_debugSink;
};

} // namespace capi20
