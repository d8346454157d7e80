// The store's lock registry: objects are locked by address under one process-wide mutex.
// Waiters block on a condition variable until the address they want is released.
#include "store/foundation/lock_registry.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "runtime/log.h"

namespace {

struct LockRegistry {
    std::mutex mutex;
    std::condition_variable released;
    std::vector<const void*> held;  // addresses currently locked
};

// Ready on first use: the log and static initialisers of other units may lock before
// anyone calls InitMutex.
LockRegistry& Registry() {
    static LockRegistry registry;
    return registry;
}

}  // namespace

bool InitMutex() {
    LogTrace("\n\t@@@@@ Inside InitMutex() @@@@@\n");
    Registry();
    return true;
}

void CloseMutex() {
    // The registry lives until the process ends; closing only drops stale entries so a
    // later start begins with an empty list.
    LockRegistry& registry = Registry();
    std::lock_guard guard(registry.mutex);
    registry.held.clear();
    registry.released.notify_all();
}

void LockObject(const void* address) {
    LockRegistry& registry = Registry();
    std::unique_lock guard(registry.mutex);
    registry.released.wait(guard, [&] {
        return std::find(registry.held.begin(), registry.held.end(), address) == registry.held.end();
    });
    registry.held.push_back(address);
}

void UnlockObject(const void* address) {
    LockRegistry& registry = Registry();
    {
        std::lock_guard guard(registry.mutex);
        auto found = std::find(registry.held.begin(), registry.held.end(), address);
        if (found == registry.held.end()) return;
        registry.held.erase(found);
    }
    registry.released.notify_all();
}

bool IsObjectLocked(const void* address) {
    LockRegistry& registry = Registry();
    std::lock_guard guard(registry.mutex);
    return std::find(registry.held.begin(), registry.held.end(), address) != registry.held.end();
}
