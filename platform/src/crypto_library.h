// The few libcrypto functions the key containers use, resolved from the library opened
// at run time (see crypto.cpp).
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <optional>

namespace host {

struct Libcrypto {
    decltype(&PEM_read_PrivateKey) readPrivateKey;
    decltype(&PEM_write_PrivateKey) writePrivateKey;
    decltype(&EVP_PKEY_Q_keygen) generateKey;
    decltype(&EVP_PKEY_get_base_id) baseId;
    decltype(&EVP_PKEY_free) freeKey;
};

// The library's soname, e.g. "libcrypto.so.3".
extern const char* const kLibcryptoName;
// Opens the named library and resolves every function; none when it cannot be opened or
// lacks one of them.
std::optional<Libcrypto> OpenLibcrypto(const char* name);
// The process's libcrypto, opened on the first call; null when it cannot be opened.
const Libcrypto* TheLibcrypto();

}  // namespace host
