#include "capi20/library.h"

#include <QFile>
#include <QStringList>
#include <QThread>

#include <capi_debug.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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

quint64 tag(int fd, quint32 serial)
{
    return quint64(serial) << 32 | quint32(fd);
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

class Library::Thread final : public QThread
{
public:
    explicit Thread(Library &library) : m_library(library) {}

protected:
    void run() override { m_library.run(); }

private:
    Library &m_library;
};

Library::Library()
    : m_thread(new Thread(*this)), m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_epoll < 0 || m_wake < 0)
        qFatal("libcapi20's thread: no epoll set or eventfd: %s", std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag(m_wake, 0);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev) != 0)
        qFatal("libcapi20's thread: cannot watch its eventfd: %s", std::strerror(errno));
    m_thread->setObjectName(QStringLiteral("libcapi20"));
    m_thread->start();
}

Library::~Library()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    // A call stuck in the library must not hold up the end of the process: the thread is then
    // left to the exit, with its descriptors.
    if (m_thread->wait(2000)) {
        delete m_thread;
        ::close(m_epoll);
        ::close(m_wake);
    }
}

void Library::post(Job job)
{
    bool wake;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
        wake = std::exchange(m_sleeping, false);
    }
    // Awake, the thread looks at the jobs before it sleeps again: no write needed.
    if (wake) {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }
}

void Library::run()
{
    // A write to a connection the server closed raises SIGPIPE in the thread that writes.
    // Blocked in this thread, it stays pending and the write fails with EPIPE instead of
    // ending the process; the library then reports the put as failed.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    constexpr int EventsPerTurn = 16;
    epoll_event events[EventsPerTurn];
    std::vector<Job> jobs;
    for (;;) {
        int timeout;
        {
            std::lock_guard lock(m_mutex);
            if (m_quit)
                return;
            timeout = m_jobs.empty() ? timeoutMs() : 0;
            m_sleeping = timeout != 0;
        }
        int n = ::epoll_wait(m_epoll, events, EventsPerTurn, timeout);
        {
            std::lock_guard lock(m_mutex);
            m_sleeping = false;
            if (m_quit)
                return;
        }
        if (n < 0)
            n = 0; // EINTR
        for (int i = 0; i < n; ++i) {
            const int fd = int(quint32(events[i].data.u64));
            if (fd == m_wake) {
                quint64 count;
                [[maybe_unused]] const ssize_t r = ::read(m_wake, &count, sizeof count);
                continue;
            }
            // Looked up for each event: a handler may unwatch or pause itself or others.
            const auto it = m_watches.find(fd);
            if (it == m_watches.end() || !it->second.watched
                || it->second.serial != quint32(events[i].data.u64 >> 32))
                continue;
            const std::shared_ptr<Job> handler = it->second.handler;
            (*handler)();
        }
        runDueRetries();
        // What the handlers took goes on its way before the jobs write what was put.
        runAfterHandlers();
        {
            std::lock_guard lock(m_mutex);
            jobs.swap(m_jobs);
        }
        for (Job &job : jobs)
            job();
        jobs.clear();
        runAfterHandlers();
    }
}

void Library::runAfterHandlers()
{
    while (!m_afterHandlers.empty()) {
        std::vector<Job> hooks;
        hooks.swap(m_afterHandlers);
        for (Job &hook : hooks)
            hook();
    }
}

int Library::timeoutMs() const
{
    std::optional<std::chrono::steady_clock::time_point> first;
    for (const auto &[fd, w] : m_watches)
        if (w.retryAt && (!first || *w.retryAt < *first))
            first = w.retryAt;
    if (!first)
        return -1;
    const auto left = *first - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    // Rounded up: waking before the time would only wait again.
    return int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void Library::runDueRetries()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> due;
    for (const auto &[fd, w] : m_watches)
        if (w.retryAt && *w.retryAt <= now)
            due.push_back(fd);
    for (const int fd : due) {
        const auto it = m_watches.find(fd);
        if (it == m_watches.end() || !it->second.retryAt)
            continue;
        it->second.retryAt.reset();
        const std::shared_ptr<Job> handler = it->second.handler;
        (*handler)();
    }
}

bool Library::watch(int fd, Job handler)
{
    Q_ASSERT(QThread::currentThread() == m_thread);
    const quint32 serial = m_nextSerial++;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag(fd, serial);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    Watch &w = m_watches[fd];
    w.handler = std::make_shared<Job>(std::move(handler));
    w.serial = serial;
    w.watched = true;
    w.retryAt.reset();
    return true;
}

void Library::unwatch(int fd)
{
    const auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    if (it->second.watched)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_watches.erase(it);
}

void Library::pause(int fd, std::chrono::milliseconds delay)
{
    const auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    // Out of the set, not only without interest: a hang-up is reported whatever is asked.
    if (it->second.watched)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    it->second.watched = false;
    it->second.retryAt = std::chrono::steady_clock::now() + delay;
}

void Library::resume(int fd)
{
    const auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    it->second.retryAt.reset();
    if (it->second.watched)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag(fd, it->second.serial);
    it->second.watched = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void Library::afterHandlers(Job hook)
{
    m_afterHandlers.push_back(std::move(hook));
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
