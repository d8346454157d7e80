// WinHTTP: the subset of the Windows HTTP client the agent calls, declared as the SDK
// declares it and implemented over libcurl. Synchronous and pull-style: a request holds
// at most one bounded buffer of body bytes, filled only when the caller asks for data.
// The rules callers rely on (errors, time-outs, proxy, TLS, uploads) are in HOST.md.
#pragma once

#include <functional>

#include "platform/win/crypto.h"
#include "platform/win/types.h"

#ifdef _WIN32
#include <winhttp.h>  // on Windows the SDK declares the interface; the seam below stays ours
#else

// HINTERNET: a session, connection or request handle, closed with WinHttpCloseHandle;
// LPHINTERNET points to one. INTERNET_PORT, LPINTERNET_PORT: a TCP port and a pointer to one.
using HINTERNET = LPVOID;
using LPHINTERNET = HINTERNET*;
using INTERNET_PORT = WORD;
using LPINTERNET_PORT = INTERNET_PORT*;

#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr
#define WINHTTP_NO_CLIENT_CERT_CONTEXT nullptr
#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_DEFAULT_ACCEPT_TYPES nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr
#define WINHTTP_HEADER_NAME_BY_INDEX nullptr
#define WINHTTP_NO_OUTPUT_BUFFER nullptr
#define WINHTTP_NO_HEADER_INDEX nullptr

// WinHttpOpen access types and flags.
inline constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
inline constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
inline constexpr DWORD WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;
inline constexpr DWORD WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY = 4;
inline constexpr DWORD WINHTTP_FLAG_ASYNC = 0x10000000;

inline constexpr INTERNET_PORT INTERNET_DEFAULT_PORT = 0;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

// WinHttpOpenRequest flags.
inline constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;
inline constexpr DWORD WINHTTP_FLAG_ESCAPE_PERCENT = 0x00000004;
inline constexpr DWORD WINHTTP_FLAG_NULL_CODEPAGE = 0x00000008;
inline constexpr DWORD WINHTTP_FLAG_ESCAPE_DISABLE = 0x00000040;
inline constexpr DWORD WINHTTP_FLAG_ESCAPE_DISABLE_QUERY = 0x00000080;
inline constexpr DWORD WINHTTP_FLAG_BYPASS_PROXY_CACHE = 0x00000100;
inline constexpr DWORD WINHTTP_FLAG_REFRESH = WINHTTP_FLAG_BYPASS_PROXY_CACHE;

// WinHttpAddRequestHeaders modifiers.
inline constexpr DWORD WINHTTP_ADDREQ_INDEX_MASK = 0x0000FFFF;
inline constexpr DWORD WINHTTP_ADDREQ_FLAGS_MASK = 0xFFFF0000;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_ADD_IF_NEW = 0x10000000;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_ADD = 0x20000000;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA = 0x40000000;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON = 0x01000000;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_COALESCE = WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

inline constexpr DWORD WINHTTP_IGNORE_REQUEST_TOTAL_LENGTH = 0;

// Options (WinHttpSetOption / WinHttpQueryOption).
inline constexpr DWORD WINHTTP_OPTION_RESOLVE_TIMEOUT = 2;
inline constexpr DWORD WINHTTP_OPTION_CONNECT_TIMEOUT = 3;
inline constexpr DWORD WINHTTP_OPTION_CONNECT_RETRIES = 4;
inline constexpr DWORD WINHTTP_OPTION_SEND_TIMEOUT = 5;
inline constexpr DWORD WINHTTP_OPTION_RECEIVE_TIMEOUT = 6;
inline constexpr DWORD WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT = 7;
inline constexpr DWORD WINHTTP_OPTION_HANDLE_TYPE = 9;
inline constexpr DWORD WINHTTP_OPTION_READ_BUFFER_SIZE = 12;
inline constexpr DWORD WINHTTP_OPTION_WRITE_BUFFER_SIZE = 13;
inline constexpr DWORD WINHTTP_OPTION_PARENT_HANDLE = 21;
inline constexpr DWORD WINHTTP_OPTION_EXTENDED_ERROR = 24;
inline constexpr DWORD WINHTTP_OPTION_SECURITY_FLAGS = 31;
inline constexpr DWORD WINHTTP_OPTION_URL = 34;
inline constexpr DWORD WINHTTP_OPTION_PROXY = 38;
inline constexpr DWORD WINHTTP_OPTION_USER_AGENT = 41;
inline constexpr DWORD WINHTTP_OPTION_CONTEXT_VALUE = 45;
inline constexpr DWORD WINHTTP_OPTION_DISABLE_FEATURE = 63;
inline constexpr DWORD WINHTTP_OPTION_SECURE_PROTOCOLS = 84;
inline constexpr DWORD WINHTTP_OPTION_REDIRECT_POLICY = 88;
inline constexpr DWORD WINHTTP_OPTION_SERVER_CERT_CONTEXT = 78;
inline constexpr DWORD WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS = 89;
inline constexpr DWORD WINHTTP_OPTION_USERNAME = 0x1000;
inline constexpr DWORD WINHTTP_OPTION_PASSWORD = 0x1001;
inline constexpr DWORD WINHTTP_OPTION_PROXY_USERNAME = 0x1002;
inline constexpr DWORD WINHTTP_OPTION_PROXY_PASSWORD = 0x1003;

// WINHTTP_OPTION_HANDLE_TYPE answers.
inline constexpr DWORD WINHTTP_HANDLE_TYPE_SESSION = 1;
inline constexpr DWORD WINHTTP_HANDLE_TYPE_CONNECT = 2;
inline constexpr DWORD WINHTTP_HANDLE_TYPE_REQUEST = 3;

// WINHTTP_OPTION_REDIRECT_POLICY values.
inline constexpr DWORD WINHTTP_OPTION_REDIRECT_POLICY_NEVER = 0;
inline constexpr DWORD WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP = 1;
inline constexpr DWORD WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS = 2;

// WINHTTP_OPTION_DISABLE_FEATURE bits.
inline constexpr DWORD WINHTTP_DISABLE_COOKIES = 0x00000001;
inline constexpr DWORD WINHTTP_DISABLE_REDIRECTS = 0x00000002;
inline constexpr DWORD WINHTTP_DISABLE_AUTHENTICATION = 0x00000004;
inline constexpr DWORD WINHTTP_DISABLE_KEEP_ALIVE = 0x00000008;

// WINHTTP_OPTION_SECURITY_FLAGS bits.
inline constexpr DWORD SECURITY_FLAG_SECURE = 0x00000001;
inline constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
inline constexpr DWORD SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE = 0x00000200;
inline constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
inline constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

// WINHTTP_OPTION_SECURE_PROTOCOLS bits.
inline constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 = 0x00000008;
inline constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 = 0x00000020;
inline constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 = 0x00000080;
inline constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 = 0x00000200;
inline constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 = 0x00000800;
inline constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 = 0x00002000;
inline constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_ALL =
    WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 | WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1;

// WinHttpQueryHeaders info levels and modifiers.
inline constexpr DWORD WINHTTP_QUERY_MIME_VERSION = 0;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_TYPE = 1;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_TRANSFER_ENCODING = 2;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_ID = 3;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_DESCRIPTION = 4;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_LANGUAGE = 6;
inline constexpr DWORD WINHTTP_QUERY_ALLOW = 7;
inline constexpr DWORD WINHTTP_QUERY_PUBLIC = 8;
inline constexpr DWORD WINHTTP_QUERY_DATE = 9;
inline constexpr DWORD WINHTTP_QUERY_EXPIRES = 10;
inline constexpr DWORD WINHTTP_QUERY_LAST_MODIFIED = 11;
inline constexpr DWORD WINHTTP_QUERY_MESSAGE_ID = 12;
inline constexpr DWORD WINHTTP_QUERY_URI = 13;
inline constexpr DWORD WINHTTP_QUERY_DERIVED_FROM = 14;
inline constexpr DWORD WINHTTP_QUERY_COST = 15;
inline constexpr DWORD WINHTTP_QUERY_LINK = 16;
inline constexpr DWORD WINHTTP_QUERY_PRAGMA = 17;
inline constexpr DWORD WINHTTP_QUERY_VERSION = 18;
inline constexpr DWORD WINHTTP_QUERY_STATUS_CODE = 19;
inline constexpr DWORD WINHTTP_QUERY_STATUS_TEXT = 20;
inline constexpr DWORD WINHTTP_QUERY_RAW_HEADERS = 21;
inline constexpr DWORD WINHTTP_QUERY_RAW_HEADERS_CRLF = 22;
inline constexpr DWORD WINHTTP_QUERY_CONNECTION = 23;
inline constexpr DWORD WINHTTP_QUERY_ACCEPT = 24;
inline constexpr DWORD WINHTTP_QUERY_ACCEPT_CHARSET = 25;
inline constexpr DWORD WINHTTP_QUERY_ACCEPT_ENCODING = 26;
inline constexpr DWORD WINHTTP_QUERY_ACCEPT_LANGUAGE = 27;
inline constexpr DWORD WINHTTP_QUERY_AUTHORIZATION = 28;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_ENCODING = 29;
inline constexpr DWORD WINHTTP_QUERY_FORWARDED = 30;
inline constexpr DWORD WINHTTP_QUERY_FROM = 31;
inline constexpr DWORD WINHTTP_QUERY_IF_MODIFIED_SINCE = 32;
inline constexpr DWORD WINHTTP_QUERY_LOCATION = 33;
inline constexpr DWORD WINHTTP_QUERY_ORIG_URI = 34;
inline constexpr DWORD WINHTTP_QUERY_REFERER = 35;
inline constexpr DWORD WINHTTP_QUERY_RETRY_AFTER = 36;
inline constexpr DWORD WINHTTP_QUERY_SERVER = 37;
inline constexpr DWORD WINHTTP_QUERY_TITLE = 38;
inline constexpr DWORD WINHTTP_QUERY_USER_AGENT = 39;
inline constexpr DWORD WINHTTP_QUERY_WWW_AUTHENTICATE = 40;
inline constexpr DWORD WINHTTP_QUERY_PROXY_AUTHENTICATE = 41;
inline constexpr DWORD WINHTTP_QUERY_ACCEPT_RANGES = 42;
inline constexpr DWORD WINHTTP_QUERY_SET_COOKIE = 43;
inline constexpr DWORD WINHTTP_QUERY_COOKIE = 44;
inline constexpr DWORD WINHTTP_QUERY_REQUEST_METHOD = 45;
inline constexpr DWORD WINHTTP_QUERY_REFRESH = 46;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_DISPOSITION = 47;
inline constexpr DWORD WINHTTP_QUERY_AGE = 48;
inline constexpr DWORD WINHTTP_QUERY_CACHE_CONTROL = 49;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_BASE = 50;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_LOCATION = 51;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_MD5 = 52;
inline constexpr DWORD WINHTTP_QUERY_CONTENT_RANGE = 53;
inline constexpr DWORD WINHTTP_QUERY_ETAG = 54;
inline constexpr DWORD WINHTTP_QUERY_HOST = 55;
inline constexpr DWORD WINHTTP_QUERY_IF_MATCH = 56;
inline constexpr DWORD WINHTTP_QUERY_IF_NONE_MATCH = 57;
inline constexpr DWORD WINHTTP_QUERY_IF_RANGE = 58;
inline constexpr DWORD WINHTTP_QUERY_IF_UNMODIFIED_SINCE = 59;
inline constexpr DWORD WINHTTP_QUERY_MAX_FORWARDS = 60;
inline constexpr DWORD WINHTTP_QUERY_PROXY_AUTHORIZATION = 61;
inline constexpr DWORD WINHTTP_QUERY_RANGE = 62;
inline constexpr DWORD WINHTTP_QUERY_TRANSFER_ENCODING = 63;
inline constexpr DWORD WINHTTP_QUERY_UPGRADE = 64;
inline constexpr DWORD WINHTTP_QUERY_VARY = 65;
inline constexpr DWORD WINHTTP_QUERY_VIA = 66;
inline constexpr DWORD WINHTTP_QUERY_WARNING = 67;
inline constexpr DWORD WINHTTP_QUERY_EXPECT = 68;
inline constexpr DWORD WINHTTP_QUERY_PROXY_CONNECTION = 69;
inline constexpr DWORD WINHTTP_QUERY_UNLESS_MODIFIED_SINCE = 70;
inline constexpr DWORD WINHTTP_QUERY_PROXY_SUPPORT = 75;
inline constexpr DWORD WINHTTP_QUERY_AUTHENTICATION_INFO = 76;
inline constexpr DWORD WINHTTP_QUERY_MAX = 78;
inline constexpr DWORD WINHTTP_QUERY_CUSTOM = 65535;
inline constexpr DWORD WINHTTP_QUERY_FLAG_REQUEST_HEADERS = 0x80000000;
inline constexpr DWORD WINHTTP_QUERY_FLAG_SYSTEMTIME = 0x40000000;
inline constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER = 0x20000000;
inline constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER64 = 0x08000000;

// Error codes.
inline constexpr DWORD WINHTTP_ERROR_BASE = 12000;
inline constexpr DWORD ERROR_WINHTTP_OUT_OF_HANDLES = 12001;
inline constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
inline constexpr DWORD ERROR_WINHTTP_INTERNAL_ERROR = 12004;
inline constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
inline constexpr DWORD ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006;
inline constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_WINHTTP_INVALID_OPTION = 12009;
inline constexpr DWORD ERROR_WINHTTP_OPTION_NOT_SETTABLE = 12011;
inline constexpr DWORD ERROR_WINHTTP_SHUTDOWN = 12012;
inline constexpr DWORD ERROR_WINHTTP_LOGIN_FAILURE = 12015;
inline constexpr DWORD ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
inline constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_TYPE = 12018;
inline constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
inline constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_WINHTTP_CONNECTION_ERROR = 12030;
inline constexpr DWORD ERROR_WINHTTP_RESEND_REQUEST = 12032;
inline constexpr DWORD ERROR_WINHTTP_SECURE_CERT_DATE_INVALID = 12037;
inline constexpr DWORD ERROR_WINHTTP_SECURE_CERT_CN_INVALID = 12038;
inline constexpr DWORD ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED = 12044;
inline constexpr DWORD ERROR_WINHTTP_SECURE_INVALID_CA = 12045;
inline constexpr DWORD ERROR_WINHTTP_SECURE_CERT_REV_FAILED = 12057;
inline constexpr DWORD ERROR_WINHTTP_CANNOT_CALL_BEFORE_OPEN = 12100;
inline constexpr DWORD ERROR_WINHTTP_CANNOT_CALL_BEFORE_SEND = 12101;
inline constexpr DWORD ERROR_WINHTTP_CANNOT_CALL_AFTER_SEND = 12102;
inline constexpr DWORD ERROR_WINHTTP_CANNOT_CALL_AFTER_OPEN = 12103;
inline constexpr DWORD ERROR_WINHTTP_HEADER_NOT_FOUND = 12150;
inline constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr DWORD ERROR_WINHTTP_INVALID_HEADER = 12153;
inline constexpr DWORD ERROR_WINHTTP_INVALID_QUERY_REQUEST = 12154;
inline constexpr DWORD ERROR_WINHTTP_HEADER_ALREADY_EXISTS = 12155;
inline constexpr DWORD ERROR_WINHTTP_REDIRECT_FAILED = 12156;
inline constexpr DWORD ERROR_WINHTTP_SECURE_CHANNEL_ERROR = 12157;
inline constexpr DWORD ERROR_WINHTTP_SECURE_INVALID_CERT = 12169;
inline constexpr DWORD ERROR_WINHTTP_SECURE_CERT_REVOKED = 12170;
inline constexpr DWORD ERROR_WINHTTP_NOT_INITIALIZED = 12172;
inline constexpr DWORD ERROR_WINHTTP_SECURE_FAILURE = 12175;
inline constexpr DWORD ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE = 12179;
inline constexpr DWORD ERROR_WINHTTP_HEADER_COUNT_EXCEEDED = 12181;
inline constexpr DWORD ERROR_WINHTTP_HEADER_SIZE_OVERFLOW = 12182;
inline constexpr DWORD ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW = 12183;
inline constexpr DWORD ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW = 12184;
inline constexpr DWORD WINHTTP_ERROR_LAST = 12186;

// Opens a session with the user agent and proxy settings; null with the error code set.
// The caller closes it with WinHttpCloseHandle, after the handles opened below it.
HINTERNET WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW, LPCWSTR pszProxyBypassW,
                      DWORD dwFlags);
// Names the server and port of a session's requests (nothing goes on the wire yet);
// null with the error code set.
HINTERNET WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName, INTERNET_PORT nServerPort,
                         DWORD dwReserved);
// Prepares a request (verb, path; WINHTTP_FLAG_SECURE for https) on a connection; null
// with the error code set.
HINTERNET WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb, LPCWSTR pwszObjectName, LPCWSTR pwszVersion,
                             LPCWSTR pwszReferrer, LPCWSTR* ppwszAcceptTypes, DWORD dwFlags);
// Adds or replaces request headers (CR LF separated); FALSE with the error code set.
BOOL WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                              DWORD dwModifiers);
// Sets an option of a handle (proxy, credentials, security flags, redirects...); FALSE
// with ERROR_WINHTTP_INVALID_OPTION or ERROR_INVALID_PARAMETER.
BOOL WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength);
// Reads an option of a handle into lpBuffer; FALSE with ERROR_INSUFFICIENT_BUFFER and the
// size needed in *lpdwBufferLength when it is too small.
BOOL WinHttpQueryOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, LPDWORD lpdwBufferLength);
// Sets the resolve, connect, send and receive time-outs in milliseconds (-1: no limit);
// FALSE with ERROR_INVALID_PARAMETER for a value below -1.
BOOL WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout, int nConnectTimeout, int nSendTimeout,
                        int nReceiveTimeout);
// Connects (TLS included), sends the request line, headers and lpOptional, and announces
// dwTotalLength body bytes in all; FALSE with the error code (12002 time-out, 12029 no
// connection, 12175 refused server...).
BOOL WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                        DWORD dwOptionalLength, DWORD dwTotalLength, DWORD_PTR dwContext);
// Sends more body bytes after WinHttpSendRequest; FALSE with the error code set.
BOOL WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                      LPDWORD lpdwNumberOfBytesWritten);
// Waits for the response's status line and headers; FALSE with the error code set.
BOOL WinHttpReceiveResponse(HINTERNET hRequest, LPVOID lpReserved);
// A response header, the status code or all headers, as text or number (dwInfoLevel);
// FALSE with ERROR_WINHTTP_HEADER_NOT_FOUND or ERROR_INSUFFICIENT_BUFFER (size needed set).
BOOL WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName, LPVOID lpBuffer,
                         LPDWORD lpdwBufferLength, LPDWORD lpdwIndex);
// How many body bytes can be read without waiting (0 at the end); FALSE on failure.
BOOL WinHttpQueryDataAvailable(HINTERNET hRequest, LPDWORD lpdwNumberOfBytesAvailable);
// Reads up to dwNumberOfBytesToRead body bytes (gzip decoded when asked); 0 read at the
// end of the body; FALSE with the error code set.
BOOL WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                     LPDWORD lpdwNumberOfBytesRead);
// Closes a session, connection or request handle, cancelling its transfer; FALSE with
// ERROR_INVALID_HANDLE for one that is not open.
BOOL WinHttpCloseHandle(HINTERNET hInternet);

// Status callbacks. Only the notifications below are delivered, synchronously on the
// thread that makes the call: SENDING_REQUEST once the connection (and its TLS
// handshake) is up and before the request goes out, REDIRECT before a redirect is
// followed (lpvStatusInformation is the new URL as a zero-terminated wide string,
// dwStatusInformationLength its length in characters). Closing the request handle from
// the callback cancels the request: the pending call fails with 12017. dwContext is the
// value given to WinHttpSendRequest. A callback set on a session or connection is taken
// over by the handles opened below it afterwards.
#ifndef CALLBACK
#define CALLBACK
#endif
// The status callback (see above); LPWINHTTP_STATUS_CALLBACK points to one.
using WINHTTP_STATUS_CALLBACK = void(CALLBACK*)(HINTERNET hInternet, DWORD_PTR dwContext, DWORD dwInternetStatus,
                                                LPVOID lpvStatusInformation, DWORD dwStatusInformationLength);
using LPWINHTTP_STATUS_CALLBACK = WINHTTP_STATUS_CALLBACK*;
#define WINHTTP_INVALID_STATUS_CALLBACK (reinterpret_cast<WINHTTP_STATUS_CALLBACK>(static_cast<std::intptr_t>(-1)))

inline constexpr DWORD WINHTTP_CALLBACK_STATUS_RESOLVING_NAME = 0x00000001;
inline constexpr DWORD WINHTTP_CALLBACK_STATUS_NAME_RESOLVED = 0x00000002;
inline constexpr DWORD WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER = 0x00000004;
inline constexpr DWORD WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER = 0x00000008;
inline constexpr DWORD WINHTTP_CALLBACK_STATUS_SENDING_REQUEST = 0x00000010;
inline constexpr DWORD WINHTTP_CALLBACK_STATUS_REQUEST_SENT = 0x00000020;
inline constexpr DWORD WINHTTP_CALLBACK_STATUS_REDIRECT = 0x00004000;
inline constexpr DWORD WINHTTP_CALLBACK_FLAG_SEND_REQUEST =
    WINHTTP_CALLBACK_STATUS_SENDING_REQUEST | WINHTTP_CALLBACK_STATUS_REQUEST_SENT;
inline constexpr DWORD WINHTTP_CALLBACK_FLAG_REDIRECT = WINHTTP_CALLBACK_STATUS_REDIRECT;
inline constexpr DWORD WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS = 0xFFFFFFFF;

// Installs the status callback of a handle for the notifications in dwNotificationFlags;
// returns the previous one, WINHTTP_INVALID_STATUS_CALLBACK on failure.
WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(HINTERNET hInternet, WINHTTP_STATUS_CALLBACK lpfnInternetCallback,
                                                 DWORD dwNotificationFlags, DWORD_PTR dwReserved);

// The certificate names of wincrypt.h that WINHTTP_OPTION_SERVER_CERT_CONTEXT hands out.
// The option answers a new reference to the server's certificate (12019 before a TLS
// handshake), to be released with CertFreeCertificateContext. The layer fills the
// encoded certificate and, of CERT_INFO, dwVersion and SubjectPublicKeyInfo.
using HCERTSTORE = void*;  // a certificate store; always null here
// A provider handle of CryptHashPublicKeyInfo; 0 picks the default one.
using HCRYPTPROV_LEGACY = ULONG_PTR;

// CRYPTOAPI_BLOB, CRYPT_INTEGER_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB: a counted byte
// string of a certificate.
struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;

// An algorithm by object identifier, with its parameters.
struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};

// A bit string: bytes and the unused bits of the last one.
struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

// A certificate's public key with its algorithm (DER SubjectPublicKeyInfo).
struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};
// Pointer to a CERT_PUBLIC_KEY_INFO.
using PCERT_PUBLIC_KEY_INFO = CERT_PUBLIC_KEY_INFO*;

// One extension of a certificate.
struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
};
// Pointer to a CERT_EXTENSION.
using PCERT_EXTENSION = CERT_EXTENSION*;

// The fields of a certificate (the layer fills dwVersion and SubjectPublicKeyInfo).
struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
// Pointer to a CERT_INFO.
using PCERT_INFO = CERT_INFO*;

// A certificate: its DER encoding and its decoded fields, counted by references.
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
};
// PCERT_CONTEXT, PCCERT_CONTEXT: pointers to a CERT_CONTEXT.
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

inline constexpr DWORD X509_ASN_ENCODING = 0x00000001;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
inline constexpr ALG_ID CALG_SHA1 = 0x00008004;
inline constexpr ALG_ID CALG_SHA_256 = 0x0000800c;

// Takes one more reference to the certificate and returns it; null for one the layer
// did not hand out.
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
// Drops one reference; the certificate is freed with the last. TRUE for null, FALSE
// with ERROR_INVALID_PARAMETER for one the layer did not hand out.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
// Hashes the DER encoding of the public key info (CALG_SHA_256 or CALG_SHA1; 0 is SHA-1).
// A null pbComputedHash asks for the size.
BOOL CryptHashPublicKeyInfo(HCRYPTPROV_LEGACY hCryptProv, ALG_ID Algid, DWORD dwFlags, DWORD dwCertEncodingType,
                            PCERT_PUBLIC_KEY_INFO pInfo, BYTE* pbComputedHash, DWORD* pcbComputedHash);

#endif  // _WIN32

// ---------------------------------------------------------------------------------------
// Test seam of the host build (no Windows counterpart). Tests use it for what no real
// server can show; everything else goes over the wire.
//
// 1. Fault injection: the next `times` calls of `call` fail with `error` before they do
//    anything (an injected WinHttpOpen/Connect/OpenRequest returns null, the others FALSE;
//    an injected WinHttpCloseHandle leaves the handle open). Process-wide, all threads.
// 2. Pauses and clock of the HTTP client: the http module sleeps with `Sleep` and reads
//    the time of day with `GetLocalTime` from this namespace. They are the host's own
//    unless a test installs replacements (an empty function restores the host's).
namespace winhttp_seam {

// The WinHTTP calls a failure can be injected into.
enum class Call {
    Open,
    Connect,
    OpenRequest,
    AddRequestHeaders,
    SetOption,
    QueryOption,
    SendRequest,
    WriteData,
    ReceiveResponse,
    QueryHeaders,
    QueryDataAvailable,
    ReadData,
    CloseHandle,
};

// Makes the next `times` calls of `call` fail with `error` (see 1. above).
void InjectFailure(Call call, DWORD error, unsigned times = 1);
// Drops every injected failure that has not fired.
void ClearInjectedFailures();
// How many injected failures of `call` are still waiting to fire.
unsigned PendingFailures(Call call);

// Sleep, GetLocalTime: the HTTP client's pause and clock: the host's Sleep and GetLocalTime unless a test
// installed replacements (see 2. above).
void Sleep(DWORD milliseconds);
void GetLocalTime(LPSYSTEMTIME systemTime);
// SetSleepFunction, SetLocalTimeFunction: replace the pause and the clock for tests; an empty function restores the host's.
void SetSleepFunction(std::function<void(DWORD)> sleep);
void SetLocalTimeFunction(std::function<void(LPSYSTEMTIME)> localTime);

}  // namespace winhttp_seam
