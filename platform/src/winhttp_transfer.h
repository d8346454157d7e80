// One request's exchange with the server over a curl easy handle in a multi handle of
// its own. Every call drives curl on the caller's thread until what it waits for has
// happened; nothing runs in the background, so no body byte is read before it is asked for.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/src/winhttp_internal.h"

namespace host::winhttp {

// Body bytes between curl and the caller: appended by the write callback, taken by reads.
// Plain memory (no per-byte work, no zero-filling): the buffer is on every byte's path.
class BodyBuffer {
public:
    size_t Held() const { return end_ - start_; }
    const BYTE* Data() const { return storage_.get() + start_; }
    void Clear() { start_ = end_ = 0; }
    void Append(const char* data, size_t length);
    void Consume(size_t length);

private:
    std::unique_ptr<BYTE[]> storage_;
    size_t capacity_ = 0;
    size_t start_ = 0;
    size_t end_ = 0;
};

class Transfer {
public:
    explicit Transfer(Request& request);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Each returns 0 on success or the WinHTTP error code. `context` is handed to the
    // request's status callback.
    DWORD Send(const std::vector<HeaderLine>& extraHeaders, const BYTE* body, DWORD bodyLength,
               DWORD totalLength, DWORD_PTR context);
    DWORD Write(const BYTE* data, DWORD length, DWORD& written);
    DWORD Receive();
    DWORD QueryAvailable(DWORD& available);
    DWORD Read(BYTE* buffer, DWORD length, DWORD& read);

    // The final response's headers once WinHttpReceiveResponse succeeded, else null.
    const ResponseHeaders* Response() const;
    // DER bytes of the server's certificate of the current exchange; empty before the
    // TLS handshake and for plain HTTP.
    const std::vector<BYTE>& ServerCertificate() const { return serverCertificate_; }
    // The URL the exchange is at (after redirects); empty before the first send.
    const std::string& CurrentUrl() const { return url_; }

    // Most body bytes one request holds at a time.
    static constexpr size_t kBufferLimit = 256 * 1024;
    // Most header bytes one exchange takes (interim heads, redirects and the final one).
    static constexpr size_t kHeaderLimit = 64 * 1024;

private:
    enum class Phase { Idle, Sent, Responded, Failed };
    enum class Drive { Condition, Ended, TimedOut };
    // What follows a complete response head that is not the final answer.
    enum class Redirect { None, Follow, TooMany, Authenticate };

    DWORD Start();
    void Stop();
    template <typename Condition>
    Drive Run(Condition condition, DWORD inactivityLimit);
    DWORD EndedError() const;
    DWORD Fail(DWORD error);
    bool HeadersFinal() const;
    Redirect Decide(std::string& target) const;
    void Unpause();
    // Delivers a status notification; false when the callback closed the request.
    bool Notify(DWORD status, LPVOID information, DWORD length);
    // A 407 this exchange can answer with the request's Basic credentials.
    bool CanAnswerProxyChallenge(const ResponseHeaders& head) const;
    void RememberProxyChallenge();
    // Puts a body given whole to the send back to its start; false for a streamed body.
    bool RewindBody();

    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static size_t OnUpload(char* data, size_t size, size_t count, void* self);
    static int OnPrerequest(void* self, char*, char*, int, int);

    Request& request_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    std::vector<HeaderLine> extraHeaders_;
    std::string url_;
    std::string method_;
    unsigned redirects_ = 0;
    DWORD_PTR context_ = 0;
    std::vector<BYTE> serverCertificate_;
    bool viaProxy_ = false;
    bool proxyCredentialsSent_ = false;

    Phase phase_ = Phase::Idle;
    bool ended_ = false;        // curl finished the current easy transfer
    CURLcode result_ = CURLE_OK;
    bool requestGoingOut_ = false;  // the connection is up and the request is being sent
    unsigned long long progress_ = 0;  // bytes moved either way; resets inactivity timers

    size_t headerBytes_ = 0;
    bool headerOverflow_ = false;
    ResponseHeaders tunnel_;    // answer of a proxy to CONNECT
    ResponseHeaders current_;   // response being received
    Redirect decision_ = Redirect::None;  // for the head in current_, once complete
    std::string followUrl_;

    // Upload: the body given to WinHttpSendRequest, then the chunk of each WinHttpWriteData.
    std::vector<BYTE> optional_;
    unsigned long long totalLength_ = 0;
    unsigned long long provided_ = 0;  // bytes the caller has handed over
    unsigned long long written_ = 0;   // bytes curl has taken
    const BYTE* chunk_ = nullptr;
    size_t chunkLeft_ = 0;
    bool sendPaused_ = false;

    // Download: one bounded buffer; a chunk refused while it is full stays with curl.
    BodyBuffer buffer_;
    bool receivePaused_ = false;
};

// The WinHTTP code for a curl result outside the TLS, proxy and response cases.
DWORD MapCurlError(CURLcode code);

// DER bytes of the peer certificate of the easy handle's TLS connection; empty when
// there is none.
std::vector<BYTE> PeerCertificate(CURL* easy);
// The certificates the machine trusts beyond the host's system store (the file
// "trusted-roots.pem" in the machine root) appended to the system store, as PEM text;
// empty when the machine adds none.
std::string MachineTrustStore();

}  // namespace host::winhttp
