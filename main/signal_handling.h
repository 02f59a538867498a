// How the process ends. A crash (SIGSEGV) writes the return addresses of the crashing thread to the log and
// then dies of the same signal, so the start-up scripts see the crash and start the process again. An
// interrupt (SIGINT or SIGTERM) stops the web server and ends the process with the
// signal number as its status.
//
// Both handlers do only what is safe inside a signal handler: the crash handler writes with write(2) to a log
// descriptor opened beforehand; the interrupt handler writes the signal number into a pipe, and a thread of
// its own does the printing, the web server stop and the exit.
#pragma once

#include <string>

// Frames the crash handler writes.
constexpr int kCrashBacktraceFrames = 16;
// Pause between the backtrace and dying again.
constexpr int kCrashDieDelayMs = 100;
// How long the interrupt thread lets the stop function run before it ends the process regardless.
constexpr int kInterruptStopLimitMs = 5000;

// Opens log_path for appending and installs handle_crash_signal for SIGSEGV. Call again to move the log.
void install_crash_handler(const std::string& log_path);
void handle_crash_signal(int signo);

// What the interrupt thread stops before the process ends; the default stops the process's web server
// (when one has been created). nullptr restores the default.
using InterruptStopFunction = void (*)();
void set_interrupt_stop_function(InterruptStopFunction fn);

// Starts the interrupt thread (once) and installs handle_interrupt_signal for SIGINT and SIGTERM. 0, or -1
// when the pipe or the thread could not be made (the signals then keep their default action).
int install_interrupt_handler();
// The handler itself: hands the signal number to the interrupt thread, which prints
// "\nInterrupt signal (N) received.\n", runs the stop function, flushes standard output and ends the
// process with status N; a stop that has not returned after kInterruptStopLimitMs ends it with status N too.
void handle_interrupt_signal(int signo);
