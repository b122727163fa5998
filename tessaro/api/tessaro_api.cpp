// Request framing, signing, sending and the sorting of answers; the seven endpoints.

#include <tessaro/api/tessaro_api.hpp>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include <tessaro/crypto/primitives.hpp>
#include <tessaro/records/internal/json_support.hpp>

namespace tessaro {

namespace {

constexpr std::string_view tokenPath = "/api/oauth/token";
constexpr std::string_view accountPath = "/api/oauth/account";
constexpr std::string_view revokePath = "/api/oauth/revoke";
constexpr std::string_view requestsPath = "/api/oauth/requests";

// "/api/oauth/requests/<id><suffix>". The identifier is one path segment of visible ASCII: no
// separator, no dot segment and no percent-escape, so that the path the server routes is exactly
// the path signed (a server may decode "%2F" or collapse "..", and libcurl would escape bytes
// beyond ASCII after signing).
std::string requestPath(const std::string& requestID, std::string_view suffix) {
    if (!TessaroAPI::isValidRequestID(requestID)) throw TessaroError::protocol("invalid_path");
    std::string path(requestsPath);
    path += '/';
    path += requestID;
    path += suffix;
    return path;
}

}  // namespace

bool TessaroAPI::isValidRequestID(const std::string& requestID) noexcept {
    const bool dotSegment = requestID == "." || requestID == "..";
    const bool plain = std::all_of(requestID.begin(), requestID.end(), [](char c) {
        return c > 0x20 && c < 0x7F && c != '/' && c != '\\' && c != '?' && c != '#' && c != '%';
    });
    return !requestID.empty() && !dotSegment && plain;
}

namespace {

std::string describe(TessaroAPI::APIError::Kind kind, int status, const std::string& code) {
    if (kind == TessaroAPI::APIError::Kind::decoding) return "decoding";
    return "http(" + std::to_string(status) + ", " + code + ")";
}

}  // namespace

// The payload every copy of an error shares: copying an exception must not allocate.
struct TESSARO_NO_EXPORT TessaroAPI::APIError::Impl {
    Kind kind;
    int status;
    std::string code;
    std::string description;
};

TessaroAPI::APIError::APIError(std::shared_ptr<const Impl> impl) noexcept : impl_(std::move(impl)) {}
TessaroAPI::APIError::APIError(const APIError& other) noexcept = default;
TessaroAPI::APIError& TessaroAPI::APIError::operator=(const APIError& other) noexcept = default;
TessaroAPI::APIError::~APIError() = default;

TessaroAPI::APIError TessaroAPI::APIError::http(int status, std::string code) {
    std::string description = describe(Kind::http, status, code);
    return APIError(std::make_shared<const Impl>(Impl{Kind::http, status, std::move(code), std::move(description)}));
}

TessaroAPI::APIError TessaroAPI::APIError::decoding() {
    return APIError(std::make_shared<const Impl>(Impl{Kind::decoding, 0, {}, describe(Kind::decoding, 0, {})}));
}

TessaroAPI::APIError::Kind TessaroAPI::APIError::kind() const noexcept { return impl_->kind; }
int TessaroAPI::APIError::status() const noexcept { return impl_->status; }
const std::string& TessaroAPI::APIError::code() const noexcept { return impl_->code; }
const char* TessaroAPI::APIError::what() const noexcept { return impl_->description.c_str(); }
const char* TessaroAPI::APIError::family() const noexcept { return "APIError"; }
const char* TessaroAPI::APIError::caseName() const noexcept { return impl_->kind == Kind::http ? "http" : "decoding"; }
const char* TessaroAPI::APIError::message() const noexcept { return what(); }

bool TessaroAPI::APIError::operator==(const APIError& other) const noexcept {
    return impl_->kind == other.impl_->kind && impl_->status == other.impl_->status && impl_->code == other.impl_->code;
}

// Fixed at construction (held as const) and never changed: read by every thread without a lock.
struct TESSARO_NO_EXPORT TessaroAPI::Impl {
    URL origin;
    std::string clientID;
    URL redirectURL;
    std::shared_ptr<HTTPTransport> transport;
};

std::shared_ptr<TessaroAPI> TessaroAPI::create(URL origin, std::string clientID, URL redirectURL,
                                               std::shared_ptr<HTTPTransport> transport) {
    return std::make_shared<TessaroAPI>(CreateKey{}, std::move(origin), std::move(clientID), std::move(redirectURL),
                                        std::move(transport));
}

TessaroAPI::TessaroAPI(CreateKey, URL origin, std::string clientID, URL redirectURL,
                       std::shared_ptr<HTTPTransport> transport)
    : impl_(std::make_unique<const Impl>(Impl{std::move(origin), std::move(clientID), std::move(redirectURL),
                                              transport ? std::move(transport) : std::make_shared<CurlTransport>()})) {}

TessaroAPI::~TessaroAPI() = default;

const URL& TessaroAPI::origin() const noexcept { return impl_->origin; }
const std::string& TessaroAPI::clientID() const noexcept { return impl_->clientID; }
const URL& TessaroAPI::redirectURL() const noexcept { return impl_->redirectURL; }
const std::shared_ptr<HTTPTransport>& TessaroAPI::transport() const noexcept { return impl_->transport; }

std::string TessaroAPI::writeJSON(const nlohmann::json& body) {
    // Numbers exactly as the body holds them (5.0 stays 5.0); the signed digest covers these bytes.
    // The body is the caller's: text the writer refuses (invalid UTF-8) is the caller's error, and
    // no exception of the JSON library leaves the kit.
    try {
        return detail::compactText(body);
    } catch (const nlohmann::json::type_error& error) {
        throw InvalidArgument(std::string("a request body cannot be written as JSON: ") + error.what());
    }
}

nlohmann::json TessaroAPI::readJSONObject(const Bytes& bytes) {
    nlohmann::json parsed = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!parsed.is_object()) throw APIError::decoding();
    return parsed;
}

URL TessaroAPI::endpointURL(std::string_view path) const {
    try {
        return impl_->origin.resolvingPath(path);
    } catch (const std::invalid_argument&) {
        throw TessaroError::protocol("invalid_path");
    }
}

TessaroAPI::Response TessaroAPI::perform(const HTTPRequest& request, std::stop_token stop) const {
    HTTPResponse response = impl_->transport->send(request, std::move(stop));
    if (response.status >= 200 && response.status <= 299) return {response.status, std::move(response.body)};

    std::string code = "http_" + std::to_string(response.status);
    const nlohmann::json parsed = nlohmann::json::parse(response.body.begin(), response.body.end(), nullptr, false);
    if (parsed.is_object()) {
        const auto error = parsed.find("error");
        if (error != parsed.end() && error->is_string()) code = error->get<std::string>();
    }
    throw APIError::http(response.status, std::move(code));
}

TessaroAPI::Response TessaroAPI::signedRequest(std::string_view method, std::string_view path,
                                               const std::optional<nlohmann::json>& body,
                                               const Credentials& credentials, std::stop_token stop) const {
    HTTPRequest request{std::string(method), endpointURL(path), {}, std::nullopt};

    Bytes bodyBytes;
    if (body) {
        const std::string text = writeJSON(*body);
        bodyBytes.assign(text.begin(), text.end());
        request.headers.emplace_back("Content-Type", "application/json");
    }

    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t timestamp = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    const std::string nonce = TessaroCrypto::randomToken(18);
    const Bytes canonical = TessaroCrypto::canonicalString(method, path, timestamp, nonce, bodyBytes);

    request.headers.emplace_back("Authorization", "Bearer " + credentials.accessToken);
    request.headers.emplace_back("x-pm-timestamp", std::to_string(timestamp));
    request.headers.emplace_back("x-pm-nonce", nonce);
    request.headers.emplace_back("x-pm-signature", credentials.approvalKey.sign(canonical));
    request.headers.emplace_back("Accept", "application/json");
    if (body) request.body = std::move(bodyBytes);  // exactly the bytes the digest covers
    return perform(request, std::move(stop));
}

TessaroAPI::TokenResponse TessaroAPI::tokenRequest(const nlohmann::json& body, std::stop_token stop) const {
    const std::string text = writeJSON(body);
    HTTPRequest request{"POST", endpointURL(tokenPath), {}, Bytes(text.begin(), text.end())};
    request.headers.emplace_back("Content-Type", "application/json");
    request.headers.emplace_back("Accept", "application/json");
    const Response response = perform(request, std::move(stop));
    return TokenResponse::fromJSON(readJSONObject(response.body));
}

TessaroAPI::TokenResponse TessaroAPI::exchangeCode(const std::string& code, const std::string& codeVerifier,
                                                   std::stop_token stop) const {
    return tokenRequest({{"grant_type", "authorization_code"},
                         {"code", code},
                         {"client_id", clientID()},
                         {"redirect_uri", redirectURL().absoluteString()},
                         {"code_verifier", codeVerifier}},
                        std::move(stop));
}

TessaroAPI::TokenResponse TessaroAPI::refresh(const std::string& refreshToken, std::stop_token stop) const {
    return tokenRequest({{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}, {"client_id", clientID()}},
                        std::move(stop));
}

TessaroAPI::AccountInfo TessaroAPI::account(const Credentials& credentials, std::stop_token stop) const {
    const Response response = signedRequest("GET", accountPath, std::nullopt, credentials, std::move(stop));
    return AccountInfo::fromJSON(readJSONObject(response.body));
}

void TessaroAPI::revoke(const std::string& token, const Credentials& credentials, std::stop_token stop) const {
    signedRequest("POST", revokePath, nlohmann::json{{"token", token}, {"client_id", clientID()}}, credentials,
                  std::move(stop));
}

TessaroAPI::RequestStatus TessaroAPI::createRequest(const nlohmann::json& body, const Credentials& credentials,
                                                    std::stop_token stop) const {
    const Response response = signedRequest("POST", requestsPath, body, credentials, std::move(stop));
    return RequestStatus::fromJSON(readJSONObject(response.body));
}

TessaroAPI::RequestStatus TessaroAPI::putPatch(const std::string& requestID, const std::string& patchEnc,
                                               const Credentials& credentials, std::stop_token stop) const {
    const std::string path = requestPath(requestID, "/patch");
    const Response response =
        signedRequest("PUT", path, nlohmann::json{{"patch_enc", patchEnc}}, credentials, std::move(stop));
    return RequestStatus::fromJSON(readJSONObject(response.body));
}

TessaroAPI::RequestStatus TessaroAPI::getRequest(const std::string& requestID, const Credentials& credentials,
                                                 std::stop_token stop) const {
    const std::string path = requestPath(requestID, "");
    const Response response = signedRequest("GET", path, std::nullopt, credentials, std::move(stop));
    return RequestStatus::fromJSON(readJSONObject(response.body));
}

void TessaroAPI::cancelRequest(const std::string& requestID, const Credentials& credentials,
                               std::stop_token stop) const {
    const std::string path = requestPath(requestID, "/cancel");
    signedRequest("POST", path, nlohmann::json::object(), credentials, std::move(stop));
}

}  // namespace tessaro
