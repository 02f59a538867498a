#include "signal_handling.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "web_server.h"

namespace {

// ---- crash handler ----

std::atomic<int> g_crash_log_fd{-1};
// Seconds east of UTC, taken when the handler is installed (localtime is not safe inside a handler).
std::atomic<long> g_utc_offset_seconds{0};

// A fixed buffer and append operations that never allocate.
struct SafeText {
    char bytes[512];
    size_t size = 0;

    void add(const char* text) {
        while (*text != '\0' && size < sizeof(bytes)) bytes[size++] = *text++;
    }
    // value in decimal, at least min_digits digits (leading zeros).
    void add_number(long long value, int min_digits = 1) {
        if (value < 0) {
            add("-");
            value = -value;
        }
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0 && n < static_cast<int>(sizeof(digits)));
        while (n < min_digits && n < static_cast<int>(sizeof(digits))) digits[n++] = '0';
        while (n > 0 && size < sizeof(bytes)) bytes[size++] = digits[--n];
    }
};

void write_all(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

void write_text(int fd, const SafeText& text) {
    if (fd >= 0) write_all(fd, text.bytes, text.size);
}

// The logger's line head "[D][YYYY-MM-DD HH:MM:SS.mmm][signal_handling.cpp:<line>]" in local time, computed
// from the clock and the offset taken at install time (days-to-civil conversion, no library calls).
void add_log_head(SafeText& text, int line) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long local = static_cast<long long>(now.tv_sec) + g_utc_offset_seconds.load();
    long long days = local / 86400;
    long long secs = local % 86400;
    if (secs < 0) {
        secs += 86400;
        days -= 1;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    text.add("[D][");
    text.add_number(year, 4);
    text.add("-");
    text.add_number(month, 2);
    text.add("-");
    text.add_number(day, 2);
    text.add(" ");
    text.add_number(secs / 3600, 2);
    text.add(":");
    text.add_number(secs / 60 % 60, 2);
    text.add(":");
    text.add_number(secs % 60, 2);
    text.add(".");
    text.add_number(now.tv_nsec / 1000000, 3);
    text.add("][signal_handling.cpp:");
    text.add_number(line);
    text.add("]");
}

// ---- interrupt handler ----

int g_interrupt_pipe[2] = {-1, -1};
std::once_flag g_interrupt_once;
bool g_interrupt_ready = false;
std::atomic<InterruptStopFunction> g_stop_function{nullptr};

void stop_web_server() {
    std::shared_ptr<WebServer> server = std::atomic_load(&web_server);
    if (server) server->Stop();
}

void* interrupt_thread(void*) {
    for (;;) {
        unsigned char signo = 0;
        const ssize_t n = read(g_interrupt_pipe[0], &signo, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) return nullptr;
        printf("\nInterrupt signal (%d) received.\n", signo);
        fflush(stdout);
        // A stop that hangs (a handler stuck on the server's loop) must not keep the process from ending.
        std::thread([signo] {
            std::this_thread::sleep_for(std::chrono::milliseconds(kInterruptStopLimitMs));
            static const char kLate[] = "Stopping did not end in time; the process ends anyway.\n";
            write_all(STDOUT_FILENO, kLate, sizeof(kLate) - 1);
            _exit(signo);
        }).detach();
        InterruptStopFunction stop = g_stop_function.load();
        if (stop == nullptr) stop = stop_web_server;
        stop();
        fflush(stdout);
        fflush(stderr);
        // Threads of the process still run; static destructors must not run under them.
        _exit(signo);
    }
}

}  // namespace

void install_crash_handler(const std::string& log_path) {
    const int fd = open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int old = g_crash_log_fd.exchange(fd);
    if (old >= 0) close(old);
    time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) != nullptr) g_utc_offset_seconds = local.tm_gmtoff;
    // The first backtrace() loads the unwinder (which allocates); do it here, not in the handler.
    void* frames[2];
    backtrace(frames, 2);
    struct sigaction action {};
    action.sa_handler = handle_crash_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGSEGV, &action, nullptr);
}

void handle_crash_signal(int signo) {
    const int saved_errno = errno;
    void* frames[kCrashBacktraceFrames];
    const int count = backtrace(frames, kCrashBacktraceFrames);
    const int log_fd = g_crash_log_fd.load();

    SafeText head;
    head.add("signo = ");
    head.add_number(signo);
    head.add("\nbacktrace() returned ");
    head.add_number(count);
    head.add(" addresses\n");
    write_text(STDOUT_FILENO, head);

    for (int i = 0; i < count; ++i) {
        SafeText line;
        add_log_head(line, __LINE__);
        line.add("  [");
        line.add_number(i, 2);
        line.add("] ");
        // The symbol text and its line end come from backtrace_symbols_fd, which does not allocate.
        write_text(log_fd, line);
        if (log_fd >= 0) backtrace_symbols_fd(&frames[i], 1, log_fd);
        write_text(STDOUT_FILENO, line);
        backtrace_symbols_fd(&frames[i], 1, STDOUT_FILENO);
    }

    timespec delay{0, kCrashDieDelayMs * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, nullptr);
    errno = saved_errno;
    // Pending until this handler returns, then the default action ends the process with this signal.
    raise(signo);
}

void set_interrupt_stop_function(InterruptStopFunction fn) { g_stop_function.store(fn); }

int install_interrupt_handler() {
    std::call_once(g_interrupt_once, [] {
        if (pipe2(g_interrupt_pipe, O_CLOEXEC) != 0) return;
        pthread_t thread;
        if (pthread_create(&thread, nullptr, interrupt_thread, nullptr) != 0) {
            close(g_interrupt_pipe[0]);
            close(g_interrupt_pipe[1]);
            g_interrupt_pipe[0] = g_interrupt_pipe[1] = -1;
            return;
        }
        pthread_detach(thread);
        g_interrupt_ready = true;
    });
    if (!g_interrupt_ready) return -1;
    struct sigaction action {};
    action.sa_handler = handle_interrupt_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return 0;
}

void handle_interrupt_signal(int signo) {
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    if (g_interrupt_pipe[1] >= 0) {
        while (write(g_interrupt_pipe[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    errno = saved_errno;
}
