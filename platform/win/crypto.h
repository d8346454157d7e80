// A CryptoAPI subset over key containers below <machine root>/crypto/PROVIDER/CONTAINER/,
// holding RSA key pairs as signature.pem and exchange.pem (written with OpenSSL).
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

// HCRYPTPROV, HCRYPTKEY: handles of an acquired key container and of one key pair in it;
// ALG_ID: an algorithm identifier (AT_SIGNATURE or AT_KEYEXCHANGE here).
using HCRYPTPROV = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using ALG_ID = unsigned int;

#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
inline constexpr DWORD PROV_RSA_FULL = 1;

inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
inline constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
inline constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
inline constexpr DWORD CRYPT_SILENT = 0x00000040;
inline constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;

inline constexpr ALG_ID AT_KEYEXCHANGE = 1;
inline constexpr ALG_ID AT_SIGNATURE = 2;

// CryptoAPI failures as the last error (HRESULT bit patterns).
inline constexpr DWORD NTE_BAD_KEY = 0x80090003;
inline constexpr DWORD NTE_BAD_ALGID = 0x80090008;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
inline constexpr DWORD NTE_NO_KEY = 0x8009000D;
inline constexpr DWORD NTE_EXISTS = 0x8009000F;
inline constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
inline constexpr DWORD NTE_PROV_TYPE_NOT_DEF = 0x80090017;
inline constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
inline constexpr DWORD NTE_PROVIDER_DLL_FAIL = 0x8009001D;
inline constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;
inline constexpr DWORD NTE_FAIL = 0x80090020;

// Null container: "default"; null provider: MS_DEF_PROV_A. Without flags the container
// must exist (NTE_BAD_KEYSET); CRYPT_NEWKEYSET creates it (NTE_EXISTS when present);
// CRYPT_DELETEKEYSET removes it.
BOOL CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container, LPCSTR providerName,
                          DWORD providerType, DWORD flags);
// Releases a context of CryptAcquireContextA; FALSE with ERROR_INVALID_HANDLE for one
// that is not acquired.
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
// NTE_NO_KEY when the container has no key file of that kind; NTE_BAD_KEY when the file
// is not a readable private key. Here and in CryptGenKey, NTE_PROVIDER_DLL_FAIL when
// libcrypto, opened on the first use of a key, cannot be opened.
BOOL CryptGetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key);
// AT_SIGNATURE or AT_KEYEXCHANGE; the key length in bits may be given in the upper 16
// bits of flags (default 2048). Replaces an existing key pair of that kind.
BOOL CryptGenKey(HCRYPTPROV provider, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key);
// Releases a key handle of CryptGetUserKey or CryptGenKey (the key pair stays on disk).
BOOL CryptDestroyKey(HCRYPTKEY key);

#endif  // _WIN32
