// The simulator's two threads share its log and its work queue: a critical
// section, and a guard that holds one for a scope.
#pragma once

#include <windows.h>

namespace phone_sim {

class Lock {
public:
    Lock() { InitializeCriticalSection(&section_); }
    ~Lock() { DeleteCriticalSection(&section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void enter() { EnterCriticalSection(&section_); }
    void leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class Locked {
public:
    explicit Locked(Lock& lock) : lock_(lock) { lock_.enter(); }
    ~Locked() { lock_.leave(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Lock& lock_;
};

}  // namespace phone_sim
