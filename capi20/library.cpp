#include "capi20/library.h"

#include <QFile>
#include <QObject>
#include <QThread>

#include <capi_debug.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

namespace capi20 {

namespace {

// The library's debug lines, formatted and handed to the sink of the running call.
int routeDebugLine(const char *, int, const char *, const char *fmt, va_list va)
{
    char text[512];
    const int n = std::vsnprintf(text, sizeof text, fmt, va);
    QString line = QString::fromLocal8Bit(text).trimmed();
    if (!line.isEmpty())
        Library::instance().debugLine(QStringLiteral("libcapi20: ") + line);
    return n;
}

template <typename F>
bool resolve(void *handle, const char *name, F &target, QStringList &missing)
{
    target = reinterpret_cast<F>(dlsym(handle, name));
    if (!target)
        missing << QLatin1String(name);
    return target != nullptr;
}

} // namespace

Library &Library::instance()
{
    static Library library;
    return library;
}

Library::Library() : m_thread(new QThread), m_context(new QObject)
{
    m_thread->setObjectName(QStringLiteral("libcapi20"));
    m_context->moveToThread(m_thread);
    m_thread->start();
    // A write to a connection the server closed raises SIGPIPE in the thread that writes.
    // Blocked in this thread, it stays pending and the write fails with EPIPE instead of
    // ending the process; the library then reports the put as failed.
    post([] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    });
}

Library::~Library()
{
    m_thread->quit();
    // A call stuck in the library must not hold up the end of the process: the thread is then
    // left to the exit.
    if (m_thread->wait(2000)) {
        delete m_context;
        delete m_thread;
    }
}

void Library::post(Job job)
{
    QMetaObject::invokeMethod(m_context, std::move(job), Qt::QueuedConnection);
}

void Library::debugLine(const QString &line)
{
    if (m_debugSink)
        m_debugSink(line);
}

const Functions *Library::load(const QString &fileName, QString *why)
{
    Q_ASSERT(QThread::currentThread() == m_thread);
    if (m_loaded)
        return &m_functions;
    // The library's constructor opens a semaphore and shared memory in /dev/shm and crashes
    // the process when it cannot; refuse before loading it.
    if (access("/dev/shm", W_OK | X_OK) != 0) {
        *why = QStringLiteral("libcapi20 needs a writable /dev/shm for its application ids, "
                              "and /dev/shm is not writable here");
        return nullptr;
    }
    void *handle = dlopen(QFile::encodeName(fileName).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *error = dlerror();
        *why = QStringLiteral("cannot load %1 (package libcapi20-3): %2")
                   .arg(fileName, error ? QString::fromLocal8Bit(error) : QStringLiteral("unknown"));
        return nullptr;
    }
    Functions f;
    QStringList missing;
    resolve(handle, "capi20_isinstalled", f.isInstalled, missing);
    resolve(handle, "capi20_register", f.registerApplication, missing);
    resolve(handle, "capi20_release", f.release, missing);
    resolve(handle, "capi20_put_message", f.putMessage, missing);
    resolve(handle, "capi20_get_message", f.getMessage, missing);
    resolve(handle, "capi20_get_manufacturer", f.manufacturer, missing);
    resolve(handle, "capi20_get_version", f.version, missing);
    resolve(handle, "capi20_get_serial_number", f.serialNumber, missing);
    resolve(handle, "capi20_get_profile", f.profile, missing);
    resolve(handle, "capi20_fileno", f.fileNumber, missing);
    resolve(handle, "capi20ext_set_driver", f.setDriver, missing);
    resolve(handle, "capi20ext_set_host", f.setHost, missing);
    resolve(handle, "capi20ext_set_port", f.setPort, missing);
    resolve(handle, "capi20ext_set_tracelevel", f.setTraceLevel, missing);
    resolve(handle, "capi20ext_get_driver", f.driver, missing);
    void (*registerDebug)(capi_debug_t) = nullptr;
    resolve(handle, "register_dbg_vprintf", registerDebug, missing);
    if (!missing.isEmpty()) {
        // The library stays loaded: its constructor has run and unloading it is not safe.
        *why = QStringLiteral("%1 lacks %2").arg(fileName, missing.join(QStringLiteral(", ")));
        return nullptr;
    }
    // Quiet by default: its debug lines reach the component's Debug events, nothing else.
    f.setTraceLevel(0);
    registerDebug(&routeDebugLine);
    m_functions = f;
    m_loaded = true;
    m_loadedFile = fileName;
    return &m_functions;
}

} // namespace capi20
