// The process's ends, each in a forked child so the test process survives: an interrupt prints its line,
// stops the web server first and exits with the signal number; a crash writes the backtrace to the log and
// the child dies of the crash signal itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "../common/test_support.h"
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
