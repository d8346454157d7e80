// The store's lock registry: locks arbitrary objects by their address. One process-wide
// mutex guards the list of addresses currently locked.
#pragma once

// Prepares the registry's mutex; the registry also prepares itself on first use.
// Logs "\n\t@@@@@ Inside InitMutex() @@@@@\n" at TRACE. True when the mutex is ready.
bool InitMutex();
// Releases the mutex; a later lock prepares it again. Must not be called while locks are held.
void CloseMutex();

// Waits until no one holds the address, then holds it. Not re-entrant: a thread that
// locks an address it already holds waits forever.
void LockObject(const void* address);
// Releases the address; releasing an address that is not held does nothing.
void UnlockObject(const void* address);
// True while some thread holds the address (diagnostics and tests).
bool IsObjectLocked(const void* address);

// Holds an address for the life of the guard.
class ObjectLockGuard {
public:
    explicit ObjectLockGuard(const void* address) : address_(address) { LockObject(address_); }
    ~ObjectLockGuard() { UnlockObject(address_); }
    ObjectLockGuard(const ObjectLockGuard&) = delete;
    ObjectLockGuard& operator=(const ObjectLockGuard&) = delete;

private:
    const void* address_;
};
