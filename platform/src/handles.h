// Kernel objects behind HANDLE values. Every handle the layer gives out is registered
// here, so a stale or foreign handle is refused with ERROR_INVALID_HANDLE instead of
// being dereferenced, and a handle closed on one thread stays alive for another
// thread that is still using it.
#pragma once

#include <memory>

#include "platform/win/types.h"

namespace host {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // WaitForSingleObject on this object; returns WAIT_OBJECT_0, WAIT_TIMEOUT or
    // WAIT_FAILED (with the last error set). Objects that cannot be waited on fail.
    virtual DWORD Wait(DWORD milliseconds);
};

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Removes the handle from the table; false when it was not registered.
bool UnregisterHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace host
