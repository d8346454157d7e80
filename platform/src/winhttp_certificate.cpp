// Server certificates for WinHTTP callers: the peer certificate of a curl connection,
// the certificate contexts WINHTTP_OPTION_SERVER_CERT_CONTEXT hands out, the public key
// hash of CryptHashPublicKeyInfo, and the machine's own trusted roots.
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/src/internal.h"
#include "platform/src/winhttp_internal.h"
#include "platform/src/winhttp_transfer.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"

namespace host::winhttp {
namespace {

// One context and the bytes its pointers point into.
struct CertificateRecord {
    CERT_CONTEXT context{};
    CERT_INFO info{};
    std::vector<BYTE> encoded;
    std::string algorithm;
    std::vector<BYTE> parameters;
    std::vector<BYTE> publicKey;
    unsigned references = 1;
};

// Contexts handed out and not yet freed, so that a stale or foreign pointer given back
// is refused instead of being freed.
std::mutex& RecordsMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<const CERT_CONTEXT*, std::unique_ptr<CertificateRecord>>& Records() {
    static auto* records = new std::map<const CERT_CONTEXT*, std::unique_ptr<CertificateRecord>>;
    return *records;
}

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct TypeFree {
    void operator()(ASN1_TYPE* type) const { ASN1_TYPE_free(type); }
};
struct ObjectFree {
    void operator()(ASN1_OBJECT* object) const { ASN1_OBJECT_free(object); }
};

std::vector<BYTE> Der(const unsigned char* begin, int length) {
    return length > 0 ? std::vector<BYTE>(begin, begin + length) : std::vector<BYTE>();
}

// Fills the algorithm and key of a record from its certificate; false when they cannot
// be read.
bool ReadPublicKeyInfo(X509* certificate, CertificateRecord& record) {
    X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(certificate);
    ASN1_OBJECT* keyAlgorithm = nullptr;
    const unsigned char* key = nullptr;
    int keyLength = 0;
    X509_ALGOR* algorithm = nullptr;
    if (!publicKey || !X509_PUBKEY_get0_param(&keyAlgorithm, &key, &keyLength, &algorithm, publicKey)) return false;
    char oid[128];
    const int oidLength = OBJ_obj2txt(oid, sizeof oid, keyAlgorithm, 1);
    if (oidLength <= 0 || oidLength >= static_cast<int>(sizeof oid)) return false;
    record.algorithm = oid;
    record.publicKey = Der(key, keyLength);

    const ASN1_OBJECT* ignored = nullptr;
    int parameterType = V_ASN1_UNDEF;
    const void* parameterValue = nullptr;
    X509_ALGOR_get0(&ignored, &parameterType, &parameterValue, algorithm);
    if (parameterType != V_ASN1_UNDEF) {
        std::unique_ptr<ASN1_TYPE, TypeFree> type(ASN1_TYPE_new());
        if (!type || !ASN1_TYPE_set1(type.get(), parameterType, parameterValue)) return false;
        unsigned char* encoded = nullptr;
        const int length = i2d_ASN1_TYPE(type.get(), &encoded);
        if (length <= 0) return false;
        record.parameters = Der(encoded, length);
        OPENSSL_free(encoded);
    }
    return true;
}

// Appends a DER tag and length, then the contents.
void AppendDer(std::vector<BYTE>& out, int tag, const std::vector<BYTE>& contents) {
    const int length = static_cast<int>(contents.size());
    std::vector<BYTE> header(static_cast<size_t>(ASN1_object_size(1, length, tag) - length));
    unsigned char* cursor = header.data();
    ASN1_put_object(&cursor, tag == V_ASN1_SEQUENCE ? 1 : 0, length, tag, V_ASN1_UNIVERSAL);
    out.insert(out.end(), header.begin(), header.begin() + (cursor - header.data()));
    out.insert(out.end(), contents.begin(), contents.end());
}

// DER of SubjectPublicKeyInfo from its parts; false when the algorithm is no OID.
bool EncodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, std::vector<BYTE>& out) {
    if (!info.Algorithm.pszObjId) return false;
    std::unique_ptr<ASN1_OBJECT, ObjectFree> object(OBJ_txt2obj(info.Algorithm.pszObjId, 1));
    if (!object) return false;
    unsigned char* oid = nullptr;
    const int oidLength = i2d_ASN1_OBJECT(object.get(), &oid);
    if (oidLength <= 0) return false;
    std::vector<BYTE> algorithm = Der(oid, oidLength);
    OPENSSL_free(oid);
    if (info.Algorithm.Parameters.cbData) {
        if (!info.Algorithm.Parameters.pbData) return false;
        algorithm.insert(algorithm.end(), info.Algorithm.Parameters.pbData,
                         info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData);
    }
    if (info.PublicKey.cbData && !info.PublicKey.pbData) return false;
    std::vector<BYTE> bits{static_cast<BYTE>(info.PublicKey.cUnusedBits)};
    bits.insert(bits.end(), info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData);
    std::vector<BYTE> body;
    AppendDer(body, V_ASN1_SEQUENCE, algorithm);
    AppendDer(body, V_ASN1_BIT_STRING, bits);
    out.clear();
    AppendDer(out, V_ASN1_SEQUENCE, body);
    return true;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<BYTE> PeerCertificate(CURL* easy) {
    const curl_tlssessioninfo* session = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || !session ||
        session->backend != CURLSSLBACKEND_OPENSSL || !session->internals) {
        return {};
    }
    std::unique_ptr<X509, X509Free> certificate(SSL_get1_peer_certificate(static_cast<SSL*>(session->internals)));
    if (!certificate) return {};
    unsigned char* encoded = nullptr;
    const int length = i2d_X509(certificate.get(), &encoded);
    std::vector<BYTE> der = Der(encoded, length);
    OPENSSL_free(encoded);
    return der;
}

std::string MachineTrustStore() {
    const std::string extra = ReadWholeFile(host::MachineRoot() + "/trusted-roots.pem");
    if (extra.empty()) return {};
    const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
    const std::string system = ReadWholeFile(version && version->cainfo ? version->cainfo
                                                                        : "/etc/ssl/certs/ca-certificates.crt");
    return system + "\n" + extra;
}

PCCERT_CONTEXT NewCertificateContext(const std::vector<BYTE>& encoded) {
    auto record = std::make_unique<CertificateRecord>();
    record->encoded = encoded;
    const unsigned char* cursor = record->encoded.data();
    std::unique_ptr<X509, X509Free> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(record->encoded.size())));
    if (!certificate || !ReadPublicKeyInfo(certificate.get(), *record)) {
        SetLastError(ERROR_WINHTTP_SECURE_INVALID_CERT);
        return nullptr;
    }
    CERT_PUBLIC_KEY_INFO& key = record->info.SubjectPublicKeyInfo;
    key.Algorithm.pszObjId = record->algorithm.data();
    key.Algorithm.Parameters = {static_cast<DWORD>(record->parameters.size()), record->parameters.data()};
    key.PublicKey = {static_cast<DWORD>(record->publicKey.size()), record->publicKey.data(), 0};
    record->info.dwVersion = static_cast<DWORD>(X509_get_version(certificate.get()));
    record->context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    record->context.pbCertEncoded = record->encoded.data();
    record->context.cbCertEncoded = static_cast<DWORD>(record->encoded.size());
    record->context.pCertInfo = &record->info;
    const CERT_CONTEXT* context = &record->context;
    std::lock_guard lock(RecordsMutex());
    Records().emplace(context, std::move(record));
    return context;
}

}  // namespace host::winhttp

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    std::lock_guard lock(host::winhttp::RecordsMutex());
    auto& records = host::winhttp::Records();
    const auto found = records.find(pCertContext);
    if (found == records.end()) return nullptr;
    ++found->second->references;
    return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (!pCertContext) return TRUE;
    std::lock_guard lock(host::winhttp::RecordsMutex());
    auto& records = host::winhttp::Records();
    const auto found = records.find(pCertContext);
    if (found == records.end()) return host::Fail(ERROR_INVALID_PARAMETER);
    if (--found->second->references == 0) records.erase(found);
    return TRUE;
}

BOOL CryptHashPublicKeyInfo(HCRYPTPROV_LEGACY /*hCryptProv*/, ALG_ID Algid, DWORD /*dwFlags*/,
                            DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo, BYTE* pbComputedHash,
                            DWORD* pcbComputedHash) {
    if (!pInfo || !pcbComputedHash || !(dwCertEncodingType & X509_ASN_ENCODING)) {
        return host::Fail(ERROR_INVALID_PARAMETER);
    }
    const EVP_MD* digest = Algid == CALG_SHA_256 ? EVP_sha256() : (Algid == 0 || Algid == CALG_SHA1) ? EVP_sha1()
                                                                                                   : nullptr;
    if (!digest) return host::Fail(NTE_BAD_ALGID);
    const DWORD size = static_cast<DWORD>(EVP_MD_get_size(digest));
    if (!pbComputedHash) {
        *pcbComputedHash = size;
        return TRUE;
    }
    if (*pcbComputedHash < size) {
        *pcbComputedHash = size;
        return host::Fail(ERROR_MORE_DATA);
    }
    std::vector<BYTE> encoded;
    if (!host::winhttp::EncodePublicKeyInfo(*pInfo, encoded)) return host::Fail(ERROR_INVALID_PARAMETER);
    unsigned int length = 0;
    if (!EVP_Digest(encoded.data(), encoded.size(), pbComputedHash, &length, digest, nullptr)) {
        return host::Fail(NTE_FAIL);
    }
    *pcbComputedHash = length;
    return TRUE;
}
