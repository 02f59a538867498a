// The process's ends, each in a forked child so the test process survives: an interrupt prints its line,
// stops the web server first and exits with the signal number (also when the stop hangs); a crash writes the backtrace to the log and
// the child dies of the crash signal itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "../common/test_support.h"
#include "event_loop.h"
#include "signal_handling.h"

namespace {

struct ChildResult {
    int status = 0;
    std::string output;
};

// Runs body in a forked child with its standard output captured; the child never returns from here.
ChildResult run_in_child(const std::function<void()>& body) {
    ChildResult result;
    int out[2];
    if (pipe(out) != 0) return result;
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        body();
        // The body is expected to end the process; reaching this is a failure of its own kind.
        _exit(100);
    }
    close(out[1]);
    char chunk[512];
    ssize_t n;
    while ((n = read(out[0], chunk, sizeof(chunk))) > 0) result.output.append(chunk, static_cast<size_t>(n));
    close(out[0]);
    waitpid(pid, &result.status, 0);
    return result;
}

void stop_marker() {
    printf("web server stopped\n");
    fflush(stdout);
}

TEST(InterruptSignal, StopsTheWebServerAndExitsWithTheSignalNumber) {
    for (int signo : {SIGINT, SIGTERM}) {
        const ChildResult child = run_in_child([signo] {
            set_interrupt_stop_function(stop_marker);
            if (install_interrupt_handler() != 0) _exit(101);
            raise(signo);
            for (;;) pause();  // the interrupt thread ends the process
        });
        ASSERT_TRUE(WIFEXITED(child.status)) << child.output;
        EXPECT_EQ(WEXITSTATUS(child.status), signo);
        const std::string line = "\nInterrupt signal (" + std::to_string(signo) + ") received.\n";
        const size_t printed = child.output.find(line);
        ASSERT_NE(printed, std::string::npos) << child.output;
        // The line comes first, then the stop.
        EXPECT_NE(child.output.find("web server stopped\n", printed), std::string::npos) << child.output;
    }
}

void stop_that_hangs() {
    printf("stop hangs\n");
    fflush(stdout);
    for (;;) pause();
}

// A stop stuck for good (a server loop that never returns) still lets the process end, with the signal's status.
TEST(InterruptSignal, AStopThatHangsStillEndsTheProcess) {
    const auto start = std::chrono::steady_clock::now();
    const ChildResult child = run_in_child([] {
        set_interrupt_stop_function(stop_that_hangs);
        if (install_interrupt_handler() != 0) _exit(101);
        raise(SIGINT);
        for (;;) pause();
    });
    ASSERT_TRUE(WIFEXITED(child.status)) << child.output;
    EXPECT_EQ(WEXITSTATUS(child.status), SIGINT);
    const size_t hangs = child.output.find("stop hangs\n");
    ASSERT_NE(hangs, std::string::npos) << child.output;
    EXPECT_NE(child.output.find("Stopping did not end in time; the process ends anyway.\n", hangs), std::string::npos)
        << child.output;
    // It waited for the stop first.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kInterruptStopLimitMs));
}

bool is_ignored(int signo) {
    struct sigaction current {};
    return sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// The streaming servers' event loops ignore SIGPIPE, SIGQUIT and SIGUSR1 process-wide, but a running loop must
// not take SIGTERM away from the interrupt handler: a service manager stops the process with it.
TEST(InterruptSignal, SigtermStillEndsTheProcessWhileAnEventLoopRuns) {
    const ChildResult child = run_in_child([] {
        set_interrupt_stop_function(stop_marker);
        if (install_interrupt_handler() != 0) _exit(101);
        mnet::EventLoop loop(1);
        // The scheduler thread sets the dispositions when it starts.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!is_ignored(SIGUSR1)) {
            if (std::chrono::steady_clock::now() > deadline) _exit(102);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (int ignored : {SIGPIPE, SIGQUIT, SIGUSR1}) {
            if (!is_ignored(ignored)) _exit(103);
            raise(ignored);  // would end the child if it were not ignored
        }
        printf("survived\n");
        fflush(stdout);
        raise(SIGTERM);
        // The interrupt thread ends the process; an ignored SIGTERM ends it here, as a failure.
        std::this_thread::sleep_for(std::chrono::seconds(20));
        _exit(104);
    });
    ASSERT_TRUE(WIFEXITED(child.status)) << child.output;
    EXPECT_EQ(WEXITSTATUS(child.status), SIGTERM) << child.output;
    const size_t survived = child.output.find("survived\n");
    ASSERT_NE(survived, std::string::npos) << child.output;
    const size_t line = child.output.find("\nInterrupt signal (15) received.\n", survived);
    ASSERT_NE(line, std::string::npos) << child.output;
    EXPECT_NE(child.output.find("web server stopped\n", line), std::string::npos) << child.output;
}

// An address no mapping covers, read at run time so the compiler cannot see the invalid write.
volatile uintptr_t g_unmapped_address = 16;

__attribute__((noinline)) void crash_here() { *reinterpret_cast<volatile int*>(g_unmapped_address) = 1; }

TEST(CrashSignal, WritesTheBacktraceToTheLogAndDiesOfTheSignal) {
    struct Case {
        const char* name;
        bool real_fault;
    };
    for (const Case c : {Case{"raised", false}, Case{"invalid write", true}}) {
        TempDir dir;
        const std::string log = dir.path() + "/error.tex";
        write_file(log, "earlier line\n");
        const bool real_fault = c.real_fault;
        const ChildResult child = run_in_child([&log, real_fault] {
            install_crash_handler(log);
            if (real_fault) {
                crash_here();
            } else {
                raise(SIGSEGV);
            }
        });
        ASSERT_TRUE(WIFSIGNALED(child.status)) << c.name << "\n" << child.output;
        EXPECT_EQ(WTERMSIG(child.status), SIGSEGV) << c.name;
        EXPECT_NE(child.output.find("signo = 11\n"), std::string::npos) << c.name << child.output;
        EXPECT_NE(child.output.find("backtrace() returned "), std::string::npos) << c.name;
        const std::string text = read_file(log);
        EXPECT_EQ(text.rfind("earlier line\n", 0), 0u) << c.name << ": the log is appended to";
        EXPECT_NE(text.find("  [00] "), std::string::npos) << c.name << "\n" << text;
        EXPECT_NE(text.find("  [01] "), std::string::npos) << c.name << "\n" << text;
        EXPECT_NE(text.find("][signal_handling.cpp:"), std::string::npos) << c.name << "\n" << text;
    }
}

}  // namespace
