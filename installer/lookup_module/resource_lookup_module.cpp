// The shared module that carries the handler's resource identifier lookup: the HTTP client
// and the store, with libcurl, libxml2 and what they load in turn. The handler loads it on
// the first lookup only (resource_lookup_loader.cpp). The module runs on the handler's own
// agent parameters and log: those symbols resolve to the program that loaded it.
#include "http/http.h"
#include "runtime/version.h"

extern "C" {

// The build the module belongs to; a program of another build refuses it.
__attribute__((visibility("default"))) extern const char vantorra_resource_lookup_version[];
const char vantorra_resource_lookup_version[] = VANTORRA_VERSION;

__attribute__((visibility("default"))) DWORD vantorra_resource_id_lookup(
    const std::string& documentPath, std::optional<std::string>* resourceId) {
    return HttpResourceIdLookup(documentPath, resourceId);
}
}
