// Base of the message-driven workers (decoders, camera control): one or more threads run Run() over a
// queue of untyped message pointers, with a blocking receive that has a time-out. The messages belong to
// the subclass: whoever takes one frees it; messages still queued at destruction are not freed.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "event_impl.h"

class TaskBase {
public:
    TaskBase();
    // Joins every started thread. It does not stop them: an owner calls Stop() first, and every Run() loop
    // tests running, or this waits for ever. A subclass whose Run() uses its own members stops and joins
    // in its own destructor, before those members go away.
    virtual ~TaskBase();

    TaskBase(const TaskBase&) = delete;
    TaskBase& operator=(const TaskBase&) = delete;

    // Starts n threads running Run(); running becomes 1. Returns 1, or 0 when a thread could not be
    // created (the threads that did start keep running).
    virtual int Start(int n);
    // Asks the threads to end (running := 0); it neither wakes nor joins them.
    virtual void Stop();
    // Appends a message at the back of the queue and wakes the receivers. Returns 1.
    virtual int PostMessage(void* message);
    // Takes the oldest message into *out and returns 1, or returns 0 when none arrived within ms
    // milliseconds (ms < 0 waits without limit).
    virtual int GetMessage(void** out, int ms);
    virtual int GetQueueSize();
    // The thread body; subclasses loop while running is 1. The base returns 0 at once.
    virtual int Run();

    // Joins the started threads in the order of starting and empties the list.
    void JoinAll();
    bool IsRunning() const { return running.load(std::memory_order_relaxed) != 0; }

    // The CPUs below the machine's hardware concurrency whose bit is set in mask. Workers compute it, but
    // no thread is bound to it.
    static cpu_set_t BuildCpuSet(uint32_t mask);

protected:
    // 1 from Start() until Stop(); polled by the Run() loops.
    std::atomic<int> running{0};
    // The time-out subclasses pass to GetMessage() in their Run() loops.
    int message_wait_ms = 100;

private:
    static void* ThreadProc(void* self);

    pthread_mutex_t* queue_mutex_;
    std::unique_ptr<CEventImpl> event_;
    std::deque<void*> messages_;
    std::mutex threads_mutex_;
    std::vector<pthread_t> threads_;
};

// Initialises a pthread mutex of the recursive type; returns pthread's result (0 on success).
int init_recursive_mutex(pthread_mutex_t* mutex);
// The calling thread's kernel id (gettid).
int get_thread_id();

// Diagnostic prints of the time since the process-wide stamp (set by every TaskBase constructor and by
// these two); both re-stamp whether they print or not.
void print_elapsed_ms(bool print, const char* label);
void print_elapsed_ns(bool print);

// Prints the calling thread's resident size as "hw memory[<kB>]" from "/proc/<tid>/status"; prints
// nothing when the file does not open or has no "VmRSS:" entry.
void print_process_memory();
