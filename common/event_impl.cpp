#include "event_impl.h"

#include <cerrno>
#include <ctime>

CEventImpl::CEventImpl(bool manual_reset) : manual_reset_(manual_reset) {
    mutex_ready_ = pthread_mutex_init(&mutex_, nullptr) == 0;
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) == 0) {
        if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0)
            cond_ready_ = pthread_cond_init(&cond_, &attr) == 0;
        pthread_condattr_destroy(&attr);
    }
}

CEventImpl::~CEventImpl() {
    if (cond_ready_) pthread_cond_destroy(&cond_);
    if (mutex_ready_) pthread_mutex_destroy(&mutex_);
}

bool CEventImpl::Set() {
    if (!ready()) return false;
    pthread_mutex_lock(&mutex_);
    signalled_ = true;
    pthread_cond_broadcast(&cond_);
    pthread_mutex_unlock(&mutex_);
    return true;
}

bool CEventImpl::Reset() {
    if (!ready()) return false;
    pthread_mutex_lock(&mutex_);
    signalled_ = false;
    pthread_mutex_unlock(&mutex_);
    return true;
}

bool CEventImpl::Wait(int ms) {
    if (!ready()) return false;
    timespec deadline{};
    if (ms >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec > 999999999L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    pthread_mutex_lock(&mutex_);
    int rc = 0;
    // The loop absorbs spurious wake-ups; a wait that ends in an error (time-out included) ends it.
    while (!signalled_ && rc == 0)
        rc = ms < 0 ? pthread_cond_wait(&cond_, &mutex_) : pthread_cond_timedwait(&cond_, &mutex_, &deadline);
    const bool signalled = signalled_;
    if (signalled && !manual_reset_) signalled_ = false;
    pthread_mutex_unlock(&mutex_);
    return signalled;
}
