// libcurl transport: a pool of (multi, easy) handle pairs, each keeping its own idle connection,
// plus a share handle for the DNS and TLS-session caches. Each transfer runs in its own multi
// handle so that a stop request can wake curl_multi_poll at once through curl_multi_wakeup.

#include <tessaro/api/http_transport.hpp>

#include <curl/curl.h>

#include <array>
#include <cstring>
#include <mutex>

#include <tessaro/api/internal/loopback.hpp>
#include <tessaro/records/tessaro_error.hpp>

namespace tessaro {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (result != CURLE_OK) {
        throw TessaroError::network(std::string("libcurl initialisation failed: ") + curl_easy_strerror(result));
    }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// RFC 9110 token characters, for methods and header names.
bool isToken(std::string_view text) noexcept {
    if (text.empty()) return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
        if (!ok || c == '\0') return false;
    }
    return true;
}

// A header value may not break out of its line.
bool isSafeHeaderValue(std::string_view text) noexcept {
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\0') return false;
    }
    return true;
}

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    void append(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (next == nullptr) throw std::bad_alloc();
        list = next;
    }
};

struct TransferState {
    HTTPResponse response;
    bool bodyTooLarge = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* state = static_cast<TransferState*>(user);
    const std::size_t n = size * count;
    if (state->response.body.size() + n > CurlTransport::maxResponseBytes) {
        state->bodyTooLarge = true;
        return 0;  // makes libcurl fail the transfer with CURLE_WRITE_ERROR
    }
    state->response.body.insert(state->response.body.end(), reinterpret_cast<std::uint8_t*>(data),
                                reinterpret_cast<std::uint8_t*>(data) + n);
    return n;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* state = static_cast<TransferState*>(user);
    const std::size_t n = size * count;
    std::string_view line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
        state->response.headers.clear();  // a new response (after a 1xx) starts its own header block
        return n;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    state->response.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    return n;
}

}  // namespace

std::optional<std::string> HTTPResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

struct TESSARO_NO_EXPORT CurlTransport::Impl {
    // One transfer slot: its multi handle owns the connection cache the easy handle reuses.
    struct Lane {
        CURLM* multi = nullptr;
        CURL* easy = nullptr;
        ~Lane() {
            if (easy != nullptr) curl_easy_cleanup(easy);
            if (multi != nullptr) curl_multi_cleanup(multi);
        }
    };

    explicit Impl(Options o) : options(std::move(o)) {
        initialiseCurlOnce();
        share = curl_share_init();
        if (share == nullptr) throw TessaroError::network("libcurl could not create a share handle");
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    ~Impl() {
        idle.clear();  // every easy handle leaves the share before it is cleaned up
        curl_share_cleanup(share);
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<Impl*>(user)->locks[static_cast<std::size_t>(data) % lockCount].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user) {
        static_cast<Impl*>(user)->locks[static_cast<std::size_t>(data) % lockCount].unlock();
    }

    std::unique_ptr<Lane> acquire() {
        {
            std::lock_guard guard(poolMutex);
            if (!idle.empty()) {
                auto lane = std::move(idle.back());
                idle.pop_back();
                return lane;
            }
        }
        auto lane = std::make_unique<Lane>();
        lane->multi = curl_multi_init();
        lane->easy = curl_easy_init();
        if (lane->multi == nullptr || lane->easy == nullptr) {
            throw TessaroError::network("libcurl could not create a transfer handle");
        }
        return lane;
    }

    void release(std::unique_ptr<Lane> lane) {
        std::lock_guard guard(poolMutex);
        if (idle.size() < options.maxIdleConnections) idle.push_back(std::move(lane));
        // otherwise the lane and its connection close here
    }

    const Options options;
    CURLSH* share = nullptr;
    static inline constexpr std::size_t lockCount = CURL_LOCK_DATA_LAST;
    std::array<std::mutex, lockCount> locks;
    std::mutex poolMutex;
    std::vector<std::unique_ptr<Lane>> idle;
};

namespace {

// One send from the checked request to the mapped answer. It lives in send()'s frame, so the
// pointers libcurl keeps into it (headers, error text, the state the callbacks fill) stay valid
// until the handle is reset.
struct Transfer {
    explicit Transfer(const HTTPRequest& r) : request(r) {}

    const HTTPRequest& request;
    bool loopback = false;
    HeaderList headers;
    TransferState state;
    char errorText[CURL_ERROR_SIZE] = {0};
    bool notStarted = false;
    std::optional<CURLcode> result;
    std::string multiFailure;
    bool cancelled = false;
    long status = 0;
};

// Everything that can refuse the request, checked before a handle is touched; builds the header
// lines on the way.
void validateRequest(Transfer& transfer) {
    const HTTPRequest& request = transfer.request;
    const URL& url = request.url;
    transfer.loopback = detail::isLoopbackHost(url.host());
    if (url.scheme() != "https" && url.scheme() != "http") {
        throw TessaroError::network("refused to send a request over the unsupported scheme \"" + url.scheme() + "\"");
    }
    if (url.scheme() == "http" && !transfer.loopback) {
        throw TessaroError::network("refused to send a request over plain http to \"" + url.host() +
                                    "\": only https is allowed, except to loopback hosts");
    }
    if (!isToken(request.method)) throw TessaroError::network("refused an invalid HTTP method");

    bool hasContentType = false;
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name) || !isSafeHeaderValue(value)) {
            throw TessaroError::network("refused a header with an invalid name or value");
        }
        if (equalsIgnoringCase(name, "Content-Type")) hasContentType = true;
        // "Name;" is libcurl's spelling of a header with an empty value.
        transfer.headers.append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (request.body && !hasContentType) transfer.headers.append("Content-Type:");  // no form-encoding default
    transfer.headers.append("Expect:");                                             // never wait for 100-continue
}

// Every option of the transfer, on a freshly reset easy handle.
void configureHandle(CURL* easy, CURLSH* share, const CurlTransport::Options& options, Transfer& transfer) {
    const HTTPRequest& request = transfer.request;
    const long timeoutMs = static_cast<long>(request.timeout.count());
    const std::string& urlText = request.url.absoluteString();

    curl_easy_setopt(easy, CURLOPT_URL, urlText.c_str());
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    // A stop or a timeout while the name is still being resolved returns at once instead of
    // waiting for the resolver thread's lookup to end; that thread frees its own state later.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer.state);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer.state);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers.list);
    // The path is sent as written, so that it is the path the request signed.
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    // An empty proxy turns off libcurl's reading of the proxy environment variables.
    curl_easy_setopt(easy, CURLOPT_PROXY, transfer.loopback ? "" : options.proxy.c_str());
    if (!options.caBundleFile.empty()) {
        // The bundle replaces the system's store: libcurl would otherwise still search its
        // compiled-in CA directory.
        curl_easy_setopt(easy, CURLOPT_CAINFO, options.caBundleFile.c_str());
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    }
    // libcurl silently re-sends a request whose reused connection closed before answering; only
    // GET and HEAD may take a reused connection, so nothing else can ever go out twice.
    const bool reusable = (request.method == "GET" || request.method == "HEAD") && !request.body;
    if (!reusable) curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);

    static const char emptyBody[] = "";
    if (request.method == "GET" && !request.body) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD" && !request.body) {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        const Bytes* body = request.body ? &*request.body : nullptr;
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body != nullptr ? body->size() : 0));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                         body != nullptr && !body->empty() ? reinterpret_cast<const char*>(body->data()) : emptyBody);
        if (request.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
}

// Runs the configured transfer until it ends, the multi interface fails or a stop is requested,
// and leaves the easy handle reset for the pool.
void runTransfer(CURLM* multi, CURL* easy, Transfer& transfer, const std::stop_token& stop) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        curl_easy_reset(easy);
        transfer.notStarted = true;
        return;
    }
    {
        // Wakes the poll below as soon as a stop is requested; destroyed before the lane is reused.
        std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
        for (;;) {
            if (stop.stop_requested()) {
                transfer.cancelled = true;
                break;
            }
            int running = 0;
            CURLMcode code = curl_multi_perform(multi, &running);
            if (code != CURLM_OK) {
                transfer.multiFailure = curl_multi_strerror(code);
                break;
            }
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                    transfer.result = message->data.result;
                }
            }
            if (transfer.result) break;
            if (running == 0) {
                transfer.multiFailure = "the transfer ended without a result";
                break;
            }
            code = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
            if (code != CURLM_OK) {
                transfer.multiFailure = curl_multi_strerror(code);
                break;
            }
        }
    }
    // Removing an unfinished transfer closes its connection; a finished one stays cached.
    curl_multi_remove_handle(multi, easy);

    if (transfer.result && *transfer.result == CURLE_OK) {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &transfer.status);
    }
    curl_easy_reset(easy);  // drops the pointers into this frame; the cached connection stays
}

// The response, or TessaroError::network saying why there is none.
HTTPResponse mapOutcome(Transfer& transfer) {
    if (transfer.notStarted) throw TessaroError::network("libcurl could not start the transfer");
    if (transfer.cancelled) throw TessaroError::network("the request was cancelled");
    if (!transfer.multiFailure.empty()) throw TessaroError::network(transfer.multiFailure);
    if (*transfer.result != CURLE_OK) {
        if (transfer.state.bodyTooLarge) {
            throw TessaroError::network("the response body is larger than " +
                                        std::to_string(CurlTransport::maxResponseBytes) + " bytes");
        }
        throw TessaroError::network(transfer.errorText[0] != '\0' ? std::string(transfer.errorText)
                                                                  : std::string(curl_easy_strerror(*transfer.result)));
    }
    transfer.state.response.status = static_cast<int>(transfer.status);
    return std::move(transfer.state.response);
}

}  // namespace

CurlTransport::CurlTransport() : CurlTransport(Options{}) {}

CurlTransport::CurlTransport(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

CurlTransport::~CurlTransport() = default;

HTTPResponse CurlTransport::send(const HTTPRequest& request, std::stop_token stop) {
    // Everything that can refuse the request is checked before a handle is touched.
    Transfer transfer(request);
    validateRequest(transfer);
    if (stop.stop_requested()) throw TessaroError::network("the request was cancelled");

    auto lane = impl_->acquire();
    curl_easy_reset(lane->easy);
    configureHandle(lane->easy, impl_->share, impl_->options, transfer);
    runTransfer(lane->multi, lane->easy, transfer, stop);
    impl_->release(std::move(lane));
    return mapOutcome(transfer);
}

}  // namespace tessaro
