// The handle table.
#include "platform/src/handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/win/errors.h"
#include "platform/win/process.h"

namespace host {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
    // Handle values are never reused, so a stale handle cannot reach a newer object
    // that happens to live at the same address.
    std::uintptr_t next = 0x1000;
};

HandleTable& Table() {
    static auto* table = new HandleTable;  // outlives every static destructor
    return *table;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
    if (!object) return nullptr;
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    HANDLE handle = reinterpret_cast<HANDLE>(table.next);
    table.next += 4;
    table.objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.objects.find(handle);
    return found == table.objects.end() ? nullptr : found->second;
}

bool UnregisterHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> keep;  // destroyed outside the lock
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.objects.find(handle);
    if (found == table.objects.end()) return false;
    keep = std::move(found->second);
    table.objects.erase(found);
    return true;
}

}  // namespace host

BOOL CloseHandle(HANDLE handle) {
    if (!host::UnregisterHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
