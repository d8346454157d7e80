// Key containers of the CryptoAPI subset: folders below <machine root>/crypto holding
// the signature and key-exchange RSA key pairs as PEM files, generated with OpenSSL.
// libcrypto is opened on the first use of a key rather than linked: most processes (the
// handler without a proxy) never touch a key, and loading libcrypto is a good part of
// what starting a process costs.
#include "platform/win/crypto.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/src/crypto_library.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"

namespace host {

#define VANTORRA_TEXT_OF(x) #x
#define VANTORRA_SONAME(major) "libcrypto.so." VANTORRA_TEXT_OF(major)
const char* const kLibcryptoName = VANTORRA_SONAME(OPENSSL_SHLIB_VERSION);
#undef VANTORRA_SONAME
#undef VANTORRA_TEXT_OF

std::optional<Libcrypto> OpenLibcrypto(const char* name) {
    void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return std::nullopt;
    Libcrypto library{};
    const auto resolve = [handle](const char* symbol, auto* function) {
        *function =
            reinterpret_cast<std::remove_pointer_t<decltype(function)>>(::dlsym(handle, symbol));
        return *function != nullptr;
    };
    if (resolve("PEM_read_PrivateKey", &library.readPrivateKey) &&
        resolve("PEM_write_PrivateKey", &library.writePrivateKey) &&
        resolve("EVP_PKEY_Q_keygen", &library.generateKey) &&
        resolve("EVP_PKEY_get_base_id", &library.baseId) &&
        resolve("EVP_PKEY_free", &library.freeKey))
        return library;
    ::dlclose(handle);
    return std::nullopt;
}

const Libcrypto* TheLibcrypto() {
    static const std::optional<Libcrypto> library = OpenLibcrypto(kLibcryptoName);
    return library ? &*library : nullptr;
}

}  // namespace host

namespace {

namespace fs = std::filesystem;

// Only keys made through the library exist, so it is open whenever one is freed.
struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { host::TheLibcrypto()->freeKey(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

struct Context {
    fs::path folder;  // empty for a verify-only context
};
struct Key {
    HCRYPTPROV provider;
    DWORD spec;
    Pkey pkey;
};

std::mutex gMutex;
std::map<HCRYPTPROV, Context> gContexts;
std::map<HCRYPTKEY, Key> gKeys;
ULONG_PTR gNextHandle = 0x1000;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Container and provider names become folder names: no separators, no dot folders.
bool SafeName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\\') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

const char* KeyFileName(DWORD spec) { return spec == AT_SIGNATURE ? "signature.pem" : "exchange.pem"; }

Pkey ReadKey(const host::Libcrypto& library, const fs::path& file) {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (!in) return nullptr;
    Pkey key(library.readPrivateKey(in, nullptr, nullptr, nullptr));
    std::fclose(in);
    return key;
}

// Written to a temporary file of its own (two generators may race on one container)
// and renamed into place, so a reader never sees half a key or a mix of two.
bool WriteKey(const host::Libcrypto& library, const fs::path& file, EVP_PKEY* key) {
    std::string name = file.string() + ".XXXXXX";
    const int fd = ::mkstemp(name.data());  // mode 0600
    if (fd < 0) return false;
    const fs::path temporary = name;
    std::FILE* out = fdopen(fd, "wb");
    if (!out) {
        ::close(fd);
        ::unlink(name.c_str());
        return false;
    }
    const bool written =
        library.writePrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    const bool closed = std::fclose(out) == 0;
    std::error_code error;
    if (!written || !closed) {
        fs::remove(temporary, error);
        return false;
    }
    fs::rename(temporary, file, error);
    if (!error) return true;
    fs::remove(temporary, error);
    return false;
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container, LPCSTR providerName, DWORD providerType,
                          DWORD flags) {
    if (!provider) return Fail(ERROR_INVALID_PARAMETER);
    *provider = 0;
    if (providerType != PROV_RSA_FULL) return Fail(NTE_PROV_TYPE_NOT_DEF);
    const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
    if (flags & ~known) return Fail(NTE_BAD_FLAGS);
    const std::string providerText = providerName ? providerName : MS_DEF_PROV_A;
    const std::string containerText = container ? container : "default";
    if (!SafeName(providerText)) return Fail(NTE_KEYSET_NOT_DEF);

    Context context;
    if ((flags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) {
        if (!SafeName(containerText)) return Fail(NTE_BAD_KEYSET_PARAM);
        context.folder = fs::path(host::MachineRoot()) / "crypto" / providerText / containerText;
        std::error_code error;
        const bool exists = fs::is_directory(context.folder, error);
        if (flags & CRYPT_DELETEKEYSET) {
            if (!exists) return Fail(NTE_BAD_KEYSET);
            fs::remove_all(context.folder, error);
            return error ? Fail(NTE_FAIL) : TRUE;
        }
        if (flags & CRYPT_NEWKEYSET) {
            if (exists) return Fail(NTE_EXISTS);
            fs::create_directories(context.folder, error);
            if (error) return Fail(NTE_FAIL);
        } else if (!exists) {
            return Fail(NTE_BAD_KEYSET);
        }
    }
    std::lock_guard lock(gMutex);
    const HCRYPTPROV handle = gNextHandle++;
    gContexts.emplace(handle, std::move(context));
    *provider = handle;
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    if (flags != 0) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(gMutex);
    if (gContexts.erase(provider) == 0) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOL CryptGetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key) {
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    if (keySpec != AT_SIGNATURE && keySpec != AT_KEYEXCHANGE) return Fail(NTE_BAD_KEY);
    fs::path folder;
    {
        std::lock_guard lock(gMutex);
        const auto found = gContexts.find(provider);
        if (found == gContexts.end()) return Fail(ERROR_INVALID_HANDLE);
        folder = found->second.folder;
    }
    if (folder.empty()) return Fail(NTE_NO_KEY);
    const fs::path file = folder / KeyFileName(keySpec);
    std::error_code error;
    if (!fs::exists(file, error)) return Fail(NTE_NO_KEY);
    const host::Libcrypto* library = host::TheLibcrypto();
    if (!library) return Fail(NTE_PROVIDER_DLL_FAIL);
    Pkey pkey = ReadKey(*library, file);
    if (!pkey || library->baseId(pkey.get()) != EVP_PKEY_RSA) return Fail(NTE_BAD_KEY);
    std::lock_guard lock(gMutex);
    const HCRYPTKEY handle = gNextHandle++;
    gKeys.emplace(handle, Key{provider, keySpec, std::move(pkey)});
    *key = handle;
    return TRUE;
}

BOOL CryptGenKey(HCRYPTPROV provider, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key) {
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    if (algorithm != AT_SIGNATURE && algorithm != AT_KEYEXCHANGE) return Fail(NTE_BAD_ALGID);
    unsigned bits = flags >> 16;
    if (bits == 0) bits = 2048;
    if (bits < 512 || bits > 16384) return Fail(NTE_BAD_FLAGS);
    fs::path folder;
    {
        std::lock_guard lock(gMutex);
        const auto found = gContexts.find(provider);
        if (found == gContexts.end()) return Fail(ERROR_INVALID_HANDLE);
        folder = found->second.folder;
    }
    const host::Libcrypto* library = host::TheLibcrypto();
    if (!library) return Fail(NTE_PROVIDER_DLL_FAIL);
    Pkey pkey(library->generateKey(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!pkey) return Fail(NTE_FAIL);
    if (!folder.empty() && !WriteKey(*library, folder / KeyFileName(algorithm), pkey.get()))
        return Fail(NTE_FAIL);
    std::lock_guard lock(gMutex);
    const HCRYPTKEY handle = gNextHandle++;
    gKeys.emplace(handle, Key{provider, algorithm, std::move(pkey)});
    *key = handle;
    return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
    std::lock_guard lock(gMutex);
    if (gKeys.erase(key) == 0) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
