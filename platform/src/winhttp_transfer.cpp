// The curl side of a request: setting up the easy handle from the request's settings,
// driving the multi handle on the caller's thread, pause-based body buffering, streamed
// uploads, redirects and the mapping of curl results to WinHTTP codes.
#include "platform/src/winhttp_transfer.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/src/internal.h"
#include "platform/win/errors.h"

namespace host::winhttp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kCurlBufferSize = 128 * 1024;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool Unlimited(DWORD milliseconds) { return milliseconds == 0 || milliseconds == INFINITE; }

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool HasHeader(const std::vector<HeaderLine>& headers, std::string_view name) {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return SameName(h.name, name); });
}

// SECURE_PROTOCOLS bits as curl's version range; false when no TLS version is allowed.
bool TlsVersionRange(DWORD protocols, long& range) {
    struct Version {
        DWORD flag;
        long min;
        long max;
    };
    static constexpr Version kVersions[] = {
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1, CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0},
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1, CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1},
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2},
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3},
    };
    long low = -1, high = -1;
    for (const auto& version : kVersions) {
        if (!(protocols & version.flag)) continue;
        if (low < 0) low = version.min;
        high = version.max;
    }
    if (low < 0) return false;
    range = low | high;
    return true;
}

}  // namespace

DWORD MapCurlError(CURLcode code) {
    switch (code) {
    case CURLE_OK: return ERROR_SUCCESS;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_WINHTTP_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_WINHTTP_TIMEOUT;
    case CURLE_URL_MALFORMAT: return ERROR_WINHTTP_INVALID_URL;
    // A reply that is not HTTP/1.x at all reaches curl as "HTTP/0.9", which it refuses.
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    // A server that closes the connection before its head is complete (here: without a byte)
    // gave no valid response, as Windows' WinHTTP reports it; a reset stays 12030.
    case CURLE_GOT_NOTHING:
    case CURLE_BAD_CONTENT_ENCODING: return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    case CURLE_TOO_MANY_REDIRECTS: return ERROR_WINHTTP_REDIRECT_FAILED;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED: return ERROR_WINHTTP_SECURE_FAILURE;
    case CURLE_ABORTED_BY_CALLBACK: return ERROR_WINHTTP_OPERATION_CANCELLED;
    case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_WINHTTP_CONNECTION_ERROR;  // reset, short body
    }
}

void BodyBuffer::Append(const char* data, size_t length) {
    if (end_ + length > capacity_) {
        const size_t held = Held();
        if (held + length <= capacity_) {
            std::memmove(storage_.get(), storage_.get() + start_, held);
        } else {
            const size_t capacity = std::max(held + length, Transfer::kBufferLimit);
            auto larger = std::make_unique_for_overwrite<BYTE[]>(capacity);
            if (held) std::memcpy(larger.get(), storage_.get() + start_, held);
            storage_ = std::move(larger);
            capacity_ = capacity;
        }
        start_ = 0;
        end_ = held;
    }
    std::memcpy(storage_.get() + end_, data, length);
    end_ += length;
}

void BodyBuffer::Consume(size_t length) {
    start_ += length;
    if (start_ == end_) start_ = end_ = 0;
}

Transfer::Transfer(Request& request) : request_(request) {}

Transfer::~Transfer() {
    Stop();
    if (multi_) curl_multi_cleanup(multi_);
}

void Transfer::Stop() {
    if (easy_) {
        curl_multi_remove_handle(multi_, easy_);
        curl_easy_cleanup(easy_);
        easy_ = nullptr;
    }
    if (headerList_) {
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }
    chunk_ = nullptr;
    chunkLeft_ = 0;
}

DWORD Transfer::Fail(DWORD error) {
    Stop();
    phase_ = Phase::Failed;
    return error;
}

DWORD Transfer::Send(const std::vector<HeaderLine>& extraHeaders, const BYTE* body, DWORD bodyLength,
                     DWORD totalLength, DWORD_PTR context) {
    Stop();
    phase_ = Phase::Idle;
    context_ = context;
    serverCertificate_.clear();
    extraHeaders_ = extraHeaders;
    url_ = request_.Url();
    method_ = request_.verb;
    redirects_ = 0;
    totalLength_ = totalLength;
    written_ = 0;
    // WinHTTP callers may free the optional data once the send returns; keep a copy.
    optional_.assign(body, body + bodyLength);
    chunk_ = optional_.data();
    chunkLeft_ = optional_.size();
    provided_ = optional_.size();
    tunnel_ = {};

    if (!UrlHost(request_.connection->host)) return Fail(ERROR_WINHTTP_INVALID_URL);
    if (const DWORD error = Start()) return Fail(error);

    // Return once the connection is up and the request is on its way, so that name,
    // connect and TLS failures surface here.
    for (;;) {
        Run([&] { return requestGoingOut_; }, 0);
        if (requestGoingOut_ || !ended_) break;
        if (tunnel_.statusCode < 300) return Fail(EndedError());
        if (CanAnswerProxyChallenge(tunnel_)) {
            // Nothing has reached the server yet: ask for the tunnel again, with credentials.
            RememberProxyChallenge();
            tunnel_ = {};
            Stop();
            if (const DWORD error = Start()) return Fail(error);
            continue;
        }
        // The proxy refused the tunnel: its answer is the response (a 407 stays a 407).
        current_ = tunnel_;
        current_.complete = true;
        result_ = CURLE_OK;
        break;
    }
    phase_ = Phase::Sent;
    return ERROR_SUCCESS;
}

DWORD Transfer::Start() {
    GlobalInit();
    if (!multi_ && !(multi_ = curl_multi_init())) return ERROR_NOT_ENOUGH_MEMORY;
    if (!(easy_ = curl_easy_init())) return ERROR_NOT_ENOUGH_MEMORY;
    ended_ = false;
    result_ = CURLE_OK;
    requestGoingOut_ = false;
    current_ = {};
    headerBytes_ = 0;
    headerOverflow_ = false;
    decision_ = Redirect::None;
    followUrl_.clear();
    buffer_.Clear();
    receivePaused_ = false;
    sendPaused_ = false;

    const Connection& connection = *request_.connection;
    const Session& session = *connection.session;
    std::string userAgent;
    DWORD secureProtocols;
    bool proxyChallenged;
    {
        std::lock_guard lock(request_.connection->session->mutex);
        userAgent = session.userAgent;
        secureProtocols = session.secureProtocols;
        proxyChallenged = session.proxyChallenged;
    }

    CURL* easy = easy_;
    curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);  // the object name goes out as given
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // The caller asks for gzip itself and decodes it itself.
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kCurlBufferSize);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kCurlBufferSize);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::OnPrerequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    if (!userAgent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.c_str());
    if (!Unlimited(request_.timeouts.connect)) {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request_.timeouts.connect));
    }
    if (request_.disableKeepAlive) curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);

    const bool hasBody = method_ == "POST" || method_ == "PUT" || totalLength_ > 0;
    if (method_ == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (hasBody) {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(totalLength_));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::OnUpload);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        if (method_ != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method_.c_str());
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        if (method_ != "GET") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method_.c_str());
    }

    // Only the caller's headers go out: curl's own Accept, Expect and form Content-Type
    // are switched off by naming them without a value.
    std::vector<HeaderLine> all = request_.headers;
    all.insert(all.end(), extraHeaders_.begin(), extraHeaders_.end());
    std::vector<std::string> lines;
    if (!HasHeader(all, "Accept")) {
        lines.push_back(request_.acceptTypes.empty() ? "Accept:" : "Accept: " + request_.acceptTypes);
    }
    if (!HasHeader(all, "Expect")) lines.push_back("Expect:");
    if (hasBody && !HasHeader(all, "Content-Type")) lines.push_back("Content-Type:");
    for (const auto& header : all) {
        // curl's way of sending a header with an empty value is "Name;".
        lines.push_back(header.value.empty() ? header.name + ";" : header.name + ": " + header.value);
    }
    for (const auto& line : lines) {
        curl_slist* next = curl_slist_append(headerList_, line.c_str());
        if (!next) return ERROR_NOT_ENOUGH_MEMORY;
        headerList_ = next;
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList_);

    // Proxy: decided here from the session's list and bypass rules; the environment's
    // proxy variables never apply.
    const bool secure = url_.starts_with("https:");
    INTERNET_PORT port = connection.port;
    if (!port) port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    const std::string proxy = ChooseProxy(session, secure ? "https" : "http", connection.host, port);
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    viaProxy_ = !proxy.empty();
    // As WinHTTP: the credentials go out only once the proxy has asked for them.
    proxyCredentialsSent_ = viaProxy_ && !request_.proxyUser.empty() && proxyChallenged;
    if (proxyCredentialsSent_) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, request_.proxyUser.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, request_.proxyPassword.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }

    if (secure) {
        const DWORD flags = request_.securityFlags;
        const bool ignoreChain = flags & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                          SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, ignoreChain ? 0L : 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, (flags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
        if (secureProtocols) {
            long range = 0;
            if (!TlsVersionRange(secureProtocols, range)) return ERROR_WINHTTP_SECURE_FAILURE;
            curl_easy_setopt(easy, CURLOPT_SSLVERSION, range);
            // OpenSSL refuses TLS 1.0 and 1.1 at its default security level; a caller that
            // names them gets them, as from Windows.
            if (secureProtocols & (WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1)) {
                curl_easy_setopt(easy, CURLOPT_SSL_CIPHER_LIST, "DEFAULT:@SECLEVEL=0");
            }
        }
        if (const std::string roots = MachineTrustStore(); !roots.empty()) {
            curl_blob blob{const_cast<char*>(roots.data()), roots.size(), CURL_BLOB_COPY};
            curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        }
    }

    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) return ERROR_WINHTTP_INTERNAL_ERROR;
    return ERROR_SUCCESS;
}

template <typename Condition>
Transfer::Drive Transfer::Run(Condition condition, DWORD inactivityLimit) {
    const bool limited = !Unlimited(inactivityLimit);
    const auto limit = std::chrono::milliseconds(inactivityLimit);
    auto deadline = Clock::now() + limit;
    auto seen = progress_;
    for (;;) {
        if (condition()) return Drive::Condition;
        if (ended_ || !easy_) return Drive::Ended;
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            ended_ = true;
            result_ = CURLE_OUT_OF_MEMORY;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                ended_ = true;
                result_ = message->data.result;
            }
        }
        if (condition()) return Drive::Condition;
        if (ended_) return Drive::Ended;
        const auto now = Clock::now();
        if (progress_ != seen) {
            seen = progress_;
            deadline = now + limit;
        }
        if (limited && now >= deadline) return Drive::TimedOut;
        int wait = 1000;
        if (limited) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
            wait = static_cast<int>(std::min<long long>(wait, left));
        }
        curl_multi_poll(multi_, nullptr, 0, wait, nullptr);
    }
}

DWORD Transfer::EndedError() const {
    if (result_ == CURLE_OK) return ERROR_SUCCESS;
    if (headerOverflow_) return ERROR_WINHTTP_HEADER_SIZE_OVERFLOW;
    // A tunnel the proxy refused with a status is a response, handled by the caller;
    // here only transport failures remain.
    return MapCurlError(result_);
}

DWORD Transfer::Write(const BYTE* data, DWORD length, DWORD& written) {
    written = 0;
    if (phase_ != Phase::Sent) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (provided_ + length > totalLength_) return ERROR_INVALID_PARAMETER;  // past the declared length
    if (length == 0) return ERROR_SUCCESS;
    if (chunkLeft_ > 0) {
        // The body given to the send goes out first.
        const Drive outcome = Run([&] { return chunkLeft_ == 0; }, request_.timeouts.send);
        if (outcome == Drive::TimedOut) return Fail(ERROR_WINHTTP_TIMEOUT);
    }
    if (ended_) return Fail(result_ == CURLE_OK ? ERROR_WINHTTP_CONNECTION_ERROR : EndedError());
    provided_ += length;
    chunk_ = data;
    chunkLeft_ = length;
    if (sendPaused_) {
        sendPaused_ = false;
        curl_easy_pause(easy_, receivePaused_ ? CURLPAUSE_RECV : CURLPAUSE_CONT);
    }
    const Drive outcome = Run([&] { return chunkLeft_ == 0; }, request_.timeouts.send);
    written = length - static_cast<DWORD>(chunkLeft_);
    chunk_ = nullptr;  // the caller's buffer is not ours after this call
    chunkLeft_ = 0;
    if (outcome == Drive::Condition) return ERROR_SUCCESS;
    if (outcome == Drive::TimedOut) return Fail(ERROR_WINHTTP_TIMEOUT);
    return Fail(result_ == CURLE_OK ? ERROR_WINHTTP_CONNECTION_ERROR : EndedError());
}

bool Transfer::HeadersFinal() const {
    return current_.complete && current_.statusCode >= 200 && decision_ != Redirect::Follow &&
           decision_ != Redirect::Authenticate;
}

bool Transfer::CanAnswerProxyChallenge(const ResponseHeaders& head) const {
    if (head.statusCode != 407 || !viaProxy_ || proxyCredentialsSent_ || request_.proxyUser.empty()) return false;
    for (DWORD index = 0; const HeaderLine* challenge = head.Find("Proxy-Authenticate", index); ++index) {
        const std::string_view value = challenge->value;
        if (value.size() >= 5 && SameName(value.substr(0, 5), "Basic") && (value.size() == 5 || value[5] == ' ')) {
            return true;
        }
    }
    return false;
}

void Transfer::RememberProxyChallenge() {
    Session& session = *request_.connection->session;
    std::lock_guard lock(session.mutex);
    session.proxyChallenged = true;
}

bool Transfer::RewindBody() {
    if (totalLength_ > optional_.size()) return false;
    chunk_ = optional_.data();
    chunkLeft_ = optional_.size();
    provided_ = optional_.size();
    written_ = 0;
    return true;
}

bool Transfer::Notify(DWORD status, LPVOID information, DWORD length) {
    if (request_.callback && (request_.callbackFlags & status)) {
        request_.callback(request_.handle, context_, status, information, length);
    }
    return !request_.closed;
}

Transfer::Redirect Transfer::Decide(std::string& target) const {
    if (CanAnswerProxyChallenge(current_)) return Redirect::Authenticate;
    switch (current_.statusCode) {
    case 301: case 302: case 303: case 307: case 308: break;
    default: return Redirect::None;
    }
    // A streamed body cannot be sent twice, so uploads stop at the redirect.
    if (request_.redirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_NEVER || totalLength_ > 0) return Redirect::None;
    const HeaderLine* location = current_.Find("Location", 0);
    if (!location || location->value.empty()) return Redirect::None;
    CURLU* url = curl_url();
    if (!url) return Redirect::None;
    Redirect decision = Redirect::None;
    char* resolved = nullptr;
    char* scheme = nullptr;
    if (curl_url_set(url, CURLUPART_URL, url_.c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_URL, location->value.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_URL, &resolved, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
        const std::string_view to(scheme);
        const bool downgrade = url_.starts_with("https:") && to == "http";
        if ((to == "http" || to == "https") &&
            !(downgrade && request_.redirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP)) {
            decision = redirects_ >= request_.maxRedirects ? Redirect::TooMany : Redirect::Follow;
            target = resolved;
        }
    }
    curl_free(resolved);
    curl_free(scheme);
    curl_url_cleanup(url);
    return decision;
}

DWORD Transfer::Receive() {
    if (phase_ != Phase::Sent) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    // A request whose declared body was not written in full can never be answered.
    if (provided_ < totalLength_ && !(ended_ && current_.complete)) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    for (;;) {
        const Drive outcome = Run([&] { return HeadersFinal() || decision_ == Redirect::TooMany; },
                                  request_.timeouts.receive);
        if (outcome == Drive::TimedOut) return Fail(ERROR_WINHTTP_TIMEOUT);
        if (decision_ == Redirect::TooMany) return Fail(ERROR_WINHTTP_REDIRECT_FAILED);
        if (outcome == Drive::Condition) break;
        // The transfer ended before a final response head arrived.
        if (decision_ == Redirect::Authenticate && current_.complete) {
            RememberProxyChallenge();
            Stop();
            // A body handed over chunk by chunk cannot be sent again from here: the caller
            // sends the request again, and the credentials go with it.
            if (!RewindBody()) return Fail(ERROR_WINHTTP_RESEND_REQUEST);
            if (const DWORD error = Start()) return Fail(error);
            continue;
        }
        if (result_ == CURLE_OK && decision_ == Redirect::Follow) {
            ++redirects_;
            std::u16string wideUrl = Utf8ToUtf16(followUrl_);
            if (!Notify(WINHTTP_CALLBACK_STATUS_REDIRECT, wideUrl.data(), static_cast<DWORD>(wideUrl.size()))) {
                return Fail(ERROR_WINHTTP_OPERATION_CANCELLED);
            }
            url_ = followUrl_;
            // As browsers do: a 303, and a 301/302 of a POST, go on as GET without a body.
            if (current_.statusCode == 303 || (method_ == "POST" && current_.statusCode <= 302)) method_ = "GET";
            Stop();
            if (const DWORD error = Start()) return Fail(error);
            continue;
        }
        if (result_ == CURLE_OK && current_.complete) break;
        return Fail(result_ == CURLE_OK ? ERROR_WINHTTP_INVALID_SERVER_RESPONSE : EndedError());
    }
    phase_ = Phase::Responded;
    return ERROR_SUCCESS;
}

void Transfer::Unpause() {
    if (!receivePaused_ || !easy_) return;
    receivePaused_ = false;
    // May hand the chunk it held back to OnBody from inside this call.
    curl_easy_pause(easy_, sendPaused_ ? CURLPAUSE_SEND : CURLPAUSE_CONT);
}

DWORD Transfer::QueryAvailable(DWORD& available) {
    available = 0;
    if (phase_ != Phase::Responded) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    const auto held = [&] { return buffer_.Held(); };
    if (held() == 0 && !ended_) {
        Unpause();
        const Drive outcome = Run([&] { return held() > 0; }, request_.timeouts.receive);
        if (outcome == Drive::TimedOut) return Fail(ERROR_WINHTTP_TIMEOUT);
    }
    if (held() > 0) {
        available = static_cast<DWORD>(std::min<size_t>(held(), 0xFFFFFFFFu));
        return ERROR_SUCCESS;
    }
    return result_ == CURLE_OK ? ERROR_SUCCESS : Fail(EndedError());
}

DWORD Transfer::Read(BYTE* buffer, DWORD length, DWORD& read) {
    read = 0;
    if (phase_ != Phase::Responded) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (length == 0) return ERROR_SUCCESS;
    DWORD available = 0;
    if (const DWORD error = QueryAvailable(available)) return error;
    read = std::min(length, available);
    std::memcpy(buffer, buffer_.Data(), read);
    buffer_.Consume(read);
    return ERROR_SUCCESS;
}

const ResponseHeaders* Transfer::Response() const {
    return phase_ == Phase::Responded ? &current_ : nullptr;
}

size_t Transfer::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    const size_t length = size * count;
    transfer->progress_ += length;
    transfer->headerBytes_ += length;
    if (transfer->headerBytes_ > kHeaderLimit) {
        // A head that never ends would grow without bound; WinHTTP stops at 64 KiB too.
        transfer->headerOverflow_ = true;
        return 0;  // curl ends the transfer with a write error
    }
    const std::string_view line(data, length);
    // Before the request goes out, only a proxy answering CONNECT can be talking.
    if (!transfer->requestGoingOut_) {
        transfer->tunnel_.AddLine(line);
        return length;
    }
    const bool wasComplete = transfer->current_.complete;
    transfer->current_.AddLine(line);
    if (transfer->current_.complete && !wasComplete) {
        transfer->decision_ = transfer->Decide(transfer->followUrl_);
    } else if (!transfer->current_.complete) {
        transfer->decision_ = Redirect::None;  // a new head started
    }
    return length;
}

size_t Transfer::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    const size_t length = size * count;
    if (transfer->decision_ != Redirect::None) {  // the body of a redirect nobody reads
        transfer->progress_ += length;
        return length;
    }
    auto& buffer = transfer->buffer_;
    if (buffer.Held() > 0 && buffer.Held() + length > kBufferLimit) {
        // Full: curl keeps this chunk and offers it again after the pause. It is not
        // stored here, or it would be delivered twice.
        transfer->receivePaused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    buffer.Append(data, length);
    transfer->progress_ += length;
    return length;
}

size_t Transfer::OnUpload(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    if (transfer->chunkLeft_ == 0) {
        if (transfer->written_ >= transfer->totalLength_) return 0;
        transfer->sendPaused_ = true;  // until the next WinHttpWriteData
        return CURL_READFUNC_PAUSE;
    }
    const size_t length = std::min(size * count, transfer->chunkLeft_);
    std::memcpy(data, transfer->chunk_, length);
    transfer->chunk_ += length;
    transfer->chunkLeft_ -= length;
    transfer->written_ += length;
    transfer->progress_ += length;
    return length;
}

int Transfer::OnPrerequest(void* self, char*, char*, int, int) {
    // The connection and its TLS handshake are done and nothing of the request has gone
    // out: the moment a status callback may look at the certificate and cancel.
    auto* transfer = static_cast<Transfer*>(self);
    transfer->serverCertificate_ =
        transfer->url_.starts_with("https:") ? PeerCertificate(transfer->easy_) : std::vector<BYTE>();
    if (!transfer->Notify(WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, nullptr, 0)) return CURL_PREREQFUNC_ABORT;
    transfer->requestGoingOut_ = true;
    return CURL_PREREQFUNC_OK;
}

}  // namespace host::winhttp
