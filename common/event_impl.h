// An event that threads wait on: set wakes every waiter, a manual-reset event stays set until Reset,
// an auto-reset event is cleared by the wait that sees it. TaskBase's message receive waits on one.
#pragma once

#include <pthread.h>

class CEventImpl {
public:
    // The worker base always uses a manual-reset event that starts clear.
    explicit CEventImpl(bool manual_reset = true);
    virtual ~CEventImpl();

    CEventImpl(const CEventImpl&) = delete;
    CEventImpl& operator=(const CEventImpl&) = delete;

    // Marks the event signalled and wakes every waiter. False when the event could not be initialised.
    virtual bool Set();
    // Clears the event. False when the event could not be initialised.
    virtual bool Reset();
    // Waits until the event is signalled: ms < 0 without limit, otherwise for at most ms milliseconds.
    // True when signalled (an auto-reset event is then cleared), false on time-out or when the event
    // could not be initialised.
    virtual bool Wait(int ms);

private:
    bool ready() const { return mutex_ready_ && cond_ready_; }

    const bool manual_reset_;
    bool signalled_ = false;
    bool mutex_ready_ = false;
    bool cond_ready_ = false;
    pthread_mutex_t mutex_;
    // Waits are measured on the monotonic clock, so a step of the wall clock neither stretches nor cuts them.
    pthread_cond_t cond_;
};
