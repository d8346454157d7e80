// The curl side of a request. (Being written: every exchange fails for now.)
#include "platform/src/winhttp_transfer.h"

#include "platform/win/errors.h"

namespace host::winhttp {

Transfer::Transfer(Request& request) : request_(request) {}
Transfer::~Transfer() = default;

DWORD Transfer::Send(const std::vector<HeaderLine>&, const BYTE*, DWORD, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD Transfer::Write(const BYTE*, DWORD, DWORD&) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD Transfer::Receive() { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD Transfer::QueryAvailable(DWORD&) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD Transfer::Read(BYTE*, DWORD, DWORD&) { return ERROR_CALL_NOT_IMPLEMENTED; }
const ResponseHeaders* Transfer::Response() const { return nullptr; }

}  // namespace host::winhttp
