#include "task_base.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "fixed_path.h"

namespace {

// Process-wide stamp of the elapsed-time prints, in microseconds of the wall clock.
std::atomic<int64_t> g_stamp_us{0};

int64_t now_us() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Longest word of a /proc status file that is read as one (the "%127s" below); longer words are read in
// pieces.
constexpr int kStatusWordMax = 127;

}  // namespace

TaskBase::TaskBase() : queue_mutex_(new pthread_mutex_t), event_(new CEventImpl(true)) {
    init_recursive_mutex(queue_mutex_);
    g_stamp_us.store(now_us(), std::memory_order_relaxed);
}

TaskBase::~TaskBase() {
    JoinAll();
    pthread_mutex_destroy(queue_mutex_);
    delete queue_mutex_;
}

int TaskBase::Start(int n) {
    int result = 1;
    for (int i = 0; i < n; ++i) {
        running.store(1, std::memory_order_relaxed);
        pthread_t thread;
        if (pthread_create(&thread, nullptr, &TaskBase::ThreadProc, this) != 0) {
            std::printf("TaskBase: thread creation failed\n");
            result = 0;
            continue;
        }
        std::lock_guard<std::mutex> lock(threads_mutex_);
        threads_.push_back(thread);
    }
    return result;
}

void TaskBase::Stop() {
    running.store(0, std::memory_order_relaxed);
}

int TaskBase::PostMessage(void* message) {
    pthread_mutex_lock(queue_mutex_);
    messages_.push_back(message);
    event_->Set();
    pthread_mutex_unlock(queue_mutex_);
    return 1;
}

int TaskBase::GetMessage(void** out, int ms) {
    for (;;) {
        pthread_mutex_lock(queue_mutex_);
        if (!messages_.empty()) {
            *out = messages_.front();
            messages_.pop_front();
            pthread_mutex_unlock(queue_mutex_);
            return 1;
        }
        // Cleared while the queue is still locked: a post after this point sets the event again, so the
        // wait below cannot miss it.
        event_->Reset();
        pthread_mutex_unlock(queue_mutex_);
        if (!event_->Wait(ms)) return 0;
    }
}

int TaskBase::GetQueueSize() {
    pthread_mutex_lock(queue_mutex_);
    const int size = static_cast<int>(messages_.size());
    pthread_mutex_unlock(queue_mutex_);
    return size;
}

int TaskBase::Run() {
    return 0;
}

void TaskBase::JoinAll() {
    std::vector<pthread_t> threads;
    {
        std::lock_guard<std::mutex> lock(threads_mutex_);
        threads.swap(threads_);
    }
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
}

cpu_set_t TaskBase::BuildCpuSet(uint32_t mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const unsigned cpus = std::thread::hardware_concurrency();
    for (unsigned cpu = 0; cpu < cpus && cpu < 32; ++cpu)
        if (mask & (1u << cpu)) CPU_SET(cpu, &set);
    return set;
}

void* TaskBase::ThreadProc(void* self) {
    const int result = static_cast<TaskBase*>(self)->Run();
    return reinterpret_cast<void*>(static_cast<intptr_t>(result));
}

int init_recursive_mutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) return rc;
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int get_thread_id() {
    return static_cast<int>(syscall(SYS_gettid));
}

void print_elapsed_ms(bool print, const char* label) {
    const int64_t now = now_us();
    const int64_t then = g_stamp_us.exchange(now, std::memory_order_relaxed);
    if (print) std::printf("%sdiff ms : %.3f\n", label != nullptr ? label : "", (now - then) / 1000.0);
}

void print_elapsed_ns(bool print) {
    const int64_t now = now_us();
    const int64_t then = g_stamp_us.exchange(now, std::memory_order_relaxed);
    if (print) std::printf("diff ns : %lld\n", static_cast<long long>((now - then) * 1000));
}

void print_process_memory() {
    const std::string path = fixed_path("/proc/" + std::to_string(get_thread_id()) + "/status");
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return;
    char word[kStatusWordMax + 1];
    bool found = false;
    while (std::fscanf(file, "%127s", word) == 1) {
        if (found) {
            std::printf("hw memory[%s]\n", word);
            break;
        }
        found = std::strcmp(word, "VmRSS:") == 0;
    }
    std::fclose(file);
}
