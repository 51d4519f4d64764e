#pragma once
// What event loops wait on, whatever the system: a "waitable" is a file
// descriptor that becomes readable on Linux and an event handle that becomes
// signalled on Windows, carried as an int either way.
#include <cstddef>

namespace ts {

using Waitable = int;
constexpr Waitable kNoWaitable = -1;

// Waits until one of `items` is ready or `timeoutMs` passed (-1: no limit).
// The index of a ready one, -1 on timeout, -2 on failure (errno set).
int WaitForAny(const Waitable* items, size_t count, int timeoutMs);
inline bool IsReady(Waitable w) { return WaitForAny(&w, 1, 0) == 0; }

// Becomes ready when Signal() was called and stays so until Drain().
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    bool Ok() const { return w_ != kNoWaitable; }
    Waitable Get() const { return w_; }
    void Signal();
    // Clears the signal; true when it was set.
    bool Drain();

private:
    Waitable w_ = kNoWaitable;
};

// The operator's request to stop (Ctrl-C; SIGINT or SIGTERM on Linux), taken
// for the life of the object instead of ending the process, so that a run
// ends between devices, never in the middle of a write.
class StopRequests {
public:
    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    bool Ok() const { return w_ != kNoWaitable; }
    Waitable Get() const { return w_; }
    bool Requested() const { return Ok() && IsReady(w_); }

private:
    Waitable w_ = kNoWaitable;
    void* saved_ = nullptr;  // the system's previous setting
};

}  // namespace ts
