// Explains a WinHTTP error code in the agent log: the HTTP layer's own texts for the
// 12001..12184 range, the system's text for everything else.
#include <array>
#include <utility>

#include "http/http.h"
#include "runtime/helpers.h"
#include "runtime/log.h"

namespace {

constexpr DWORD kFirstCode = 12001;
constexpr DWORD kLastCode = 12184;

// Codes with a text of their own; the gaps of the range go to the system text.
constexpr std::pair<DWORD, const char*> kTexts[] = {
    {12001, "HttpGetLastError: No more handles could be generated at this time (Obsolete; no longer used.)\n"},
    {12002, "HttpGetLastError: The request has timed out.\n"},
    {12003, "HttpGetLastError: An extended error was returned from the server.\n"},
    {12004, "HttpGetLastError: An internal error has occurred.\n"},
    {12005, "HttpGetLastError: The URL is invalid.\n"},
    {12006, "HttpGetLastError: The URL scheme could not be recognized, or is not supported.(other than 'http:' or 'https:'.)\n"},
    {12007, "HttpGetLastError: The server name could not be resolved.\n"},
    {12008, "HttpGetLastError: The requested protocol could not be located.\n"},
    {12009, "HttpGetLastError: A request to InternetQueryOption or WinHttpSetOption specified an invalid option value.\n"},
    {12010, "HttpGetLastError: The length of an option supplied to InternetQueryOption or WinHttpSetOption is incorrect for the type of option specified.\n"},
    {12011, "HttpGetLastError: The request option can not be set, only queried.\n "},
    {12012, "HttpGetLastError: The WinHTTP function support is being shutdown or unloaded.\n"},
    {12013, "HttpGetLastError: The request to connect and login to an FTP server could not be completed because the supplied user name is incorrect.\n"},
    {12014, "HttpGetLastError: The request to connect and login to an FTP server could not be completed because the supplied password is incorrect.\n"},
    {12015, "HttpGetLastError: The login attempt failed . A new request handle must be created before retrying the function that originally produced this error. \n"},
    {12016, "HttpGetLastError: The requested operation is invalid.\n"},
    {12017, "HttpGetLastError: The operation was canceled, usually because the handle on which the request was operating was closed before the operation completed.\n"},
    {12018, "HttpGetLastError: The type of handle supplied is incorrect for this operation.\n"},
    {12019, "HttpGetLastError: The requested operation can not be carried out because the handle supplied is not in the correct state.\n"},
    {12020, "HttpGetLastError: The request can not be made via a proxy.\n"},
    {12021, "HttpGetLastError: A required registry value could not be located.\n"},
    {12022, "HttpGetLastError: A required registry value was located but is an incorrect type or has an invalid value.\n"},
    {12023, "HttpGetLastError: Direct network access cannot be made at this time. \n"},
    {12024, "HttpGetLastError: An asynchronous request could not be made because a zero context value was supplied.\n"},
    {12025, "HttpGetLastError: An asynchronous request could not be made because a callback function has not been set.\n"},
    {12026, "HttpGetLastError: The required operation could not be completed because one or more requests are pending.\n"},
    {12027, "HttpGetLastError: The format of the request is invalid.\n"},
    {12028, "HttpGetLastError: The requested item could not be located.\n"},
    {12029, "HttpGetLastError: The attempt to connect to the server failed.\n"},
    {12030, "HttpGetLastError: The connection with the server has been terminated or an incompatible SSL protocol was encountered .\n"},
    {12031, "HttpGetLastError: The connection with the server has been reset.\n"},
    {12032, "HttpGetLastError: The WinHTTP function failed. The desired function can be retried on the same request handle \n"},
    {12033, "HttpGetLastError: The request to the proxy was invalid. \n"},
    {12034, "HttpGetLastError: Need UI\n"},
    {12035, "HttpGetLastError: Sec Cert Date Invalid\n"},
    {12036, "HttpGetLastError: The request failed because the handle already exists.\n"},
    {12037, "HttpGetLastError: SSL certificate date that was received from the server is bad. The certificate is expired. \n"},
    {12038, "HttpGetLastError: SSL certificate common name (host name field) is incorrect. For example, the certificate was issued to www.example.com but the request was sent to files.example.com. \n"},
    {12039, "HttpGetLastError: The application is moving from a non-SSL to an SSL connection because of a redirect. \n"},
    {12040, "HttpGetLastError: The application is moving from an SSL to an non-SSL connection because of a redirect. \n"},
    {12041, "HttpGetLastError: Indicates that the content is not entirely secure. Some of the content being viewed may have come from unsecured servers. \n"},
    {12042, "HttpGetLastError: The application is posting and attempting to change multiple lines of text on a server that is not secure. \n"},
    {12043, "HttpGetLastError: The application is posting data to a server that is not secure. \n"},
    {12044, "HttpGetLastError: Client Auth Cert Needed\n"},
    {12045, "HttpGetLastError: Indicates that a certificate chain was processed, but terminated in a root certificate that is not trusted by the trust provider (equivalent to CERT_E_UNTRUSTEDROOT). \n"},
    {12046, "HttpGetLastError: Client Auth Not Setup\n"},
    {12057, "HttpGetLastError: Indicates that revocation cannot be checked because the revocation server was offline (equivalent to CRYPT_E_REVOCATION_OFFLINE). \n"},
    {12100, "HttpGetLastError: requested operation cannot be performed before calling the Open method \n"},
    {12101, "HttpGetLastError: requested operation cannot be performed before calling the Send method \n"},
    {12102, "HttpGetLastError: Requested operation cannot be performed after calling the Send method. \n"},
    {12103, "HttpGetLastError: Option cannot be requested after the Open method has been called \n"},
    {12150, "HttpGetLastError: The requested header could not be located. \n"},
    {12151, "HttpGetLastError: The server did not return any headers. \n"},
    {12152, "HttpGetLastError: The server response could not be parsed. \n"},
    {12153, "HttpGetLastError: The supplied header is invalid. \n"},
    {12154, "HttpGetLastError: The request made to HttpQueryInfo is invalid. \n"},
    {12155, "HttpGetLastError: The header could not be added because it already exists. \n"},
    {12156, "HttpGetLastError: The redirection failed because either the scheme changed (for example, HTTP to FTP) or all attempts made to redirect failed (default is five attempts). \n"},
    {12157, "HttpGetLastError: Indicates that an error occurred having to do with a secure channel.The application experienced an internal error loading the SSL libraries\n"},
    {12158, "HttpGetLastError: The function was unable to cache the file\n"},
    {12159, "HttpGetLastError: TCP/IP not installed\n"},
    {12166, "HttpGetLastError: An error occurred executing the script code in the Proxy Auto-Configuration (PAC) file\n"},
    {12167, "HttpGetLastError: The PAC file cannot be downloaded. For example, the server referenced by the PAC URL may not have been reachable, or the server returned a 404 NOT FOUND response \n"},
    {12169, "HttpGetLastError: Indicates that a certificate is invalid (equivalent to errors such as CERT_E_ROLE, CERT_E_PATHLENCONST, CERT_E_CRITICAL, CERT_E_PURPOSE, CERT_E_ISSUERCHAINING, CERT_E_MALFORMED and CERT_E_CHAINING)."},
    {12170, "HttpGetLastError: Indicates that a certificate has been revoked (equivalent to CRYPT_E_REVOKED).\n"},
    {12172, "HttpGetLastError: Obsolete; no longer used.  \n"},
    {12175, "HttpGetLastError: One or more errors were found in the Secure Sockets Layer (SSL) certificate sent by the server .\n"},
    {12178, "HttpGetLastError: Proxy for the specified URL cannot be located\n"},
    {12179, "HttpGetLastError: Indicates that a certificate is not valid for the requested usage (equivalent to CERT_E_WRONG_USAGE).\n"},
    {12180, "HttpGetLastError: unable to discover the URL of the Proxy Auto-Configuration (PAC) file \n"},
    {12181, "HttpGetLastError: A larger number of headers were present in a response than WinHTTP could receive \n"},
    {12182, "HttpGetLastError: The size of headers received exceeds the limit for the request handle \n"},
    {12183, "HttpGetLastError: An overflow condition is encountered in the course of parsing chunked encoding  \n"},
    {12184, "HttpGetLastError: The WinHTTP function failed. The desired function can be retried on the same request handle \n"},
};

constexpr std::array<const char*, kLastCode - kFirstCode + 1> BuildTable() {
    std::array<const char*, kLastCode - kFirstCode + 1> table{};
    for (const auto& [code, text] : kTexts) table[code - kFirstCode] = text;
    return table;
}

constexpr auto kTable = BuildTable();

}  // namespace

const char* HttpErrorText(DWORD code) {
    if (code < kFirstCode || code > kLastCode) return nullptr;
    return kTable[code - kFirstCode];
}

void HttpGetLastError(DWORD code) {
    if (const char* text = HttpErrorText(code)) {
        LogError("%s", text);
        return;
    }
    LogErrorMessage(code);
}
