// Process-local recursive mutexes, optionally named.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/src/handles.h"
#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/process.h"
#include "platform/win/sync.h"

namespace host {
namespace {

class MutexObject : public KernelObject {
public:
    DWORD Wait(DWORD milliseconds) override {
        const DWORD self = GetCurrentThreadId();
        std::unique_lock lock(mutex_);
        if (owner_ == self) {
            ++count_;
            return WAIT_OBJECT_0;
        }
        const auto free = [&] { return owner_ == 0; };
        if (milliseconds == INFINITE) released_.wait(lock, free);
        else if (!released_.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) return WAIT_TIMEOUT;
        owner_ = self;
        count_ = 1;
        return WAIT_OBJECT_0;
    }

    bool Release() {
        std::lock_guard lock(mutex_);
        if (owner_ != GetCurrentThreadId()) return false;
        if (--count_ == 0) {
            owner_ = 0;
            released_.notify_one();
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    DWORD owner_ = 0;  // kernel thread id, 0 when free
    unsigned count_ = 0;
};

struct NamedMutexes {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<MutexObject>> byName;
};

NamedMutexes& Named() {
    static auto* table = new NamedMutexes;
    return *table;
}

}  // namespace
}  // namespace host

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    std::shared_ptr<host::MutexObject> object;
    bool existed = false;
    if (name && *name) {
        auto& named = host::Named();
        std::lock_guard lock(named.mutex);
        auto& slot = named.byName[name];
        object = slot.lock();
        existed = object != nullptr;
        if (!object) slot = object = std::make_shared<host::MutexObject>();
    } else {
        object = std::make_shared<host::MutexObject>();
    }
    // As on Windows, opening an existing named mutex does not take ownership.
    if (initialOwner && !existed) object->Wait(INFINITE);
    HANDLE handle = host::RegisterHandle(object);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto object = host::LookupHandleAs<host::MutexObject>(mutex);
    if (!object) return host::Fail(ERROR_INVALID_HANDLE);
    if (!object->Release()) return host::Fail(ERROR_NOT_OWNER);
    return TRUE;
}
