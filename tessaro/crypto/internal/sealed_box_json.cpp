#include <tessaro/crypto/internal/sealed_box_json.hpp>

#include <charconv>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

#include <tessaro/records/exception.hpp>

namespace tessaro {

using TessaroCrypto::CryptoError;
using TessaroCrypto::SealedBox;

namespace {

[[noreturn]] void invalid() { throw CryptoError(CryptoError::Code::invalidSealedBox); }

const nlohmann::json& member(const nlohmann::json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) invalid();
    return *it;
}

std::string stringMember(const nlohmann::json& object, const char* name) {
    const nlohmann::json& value = member(object, name);
    if (!value.is_string()) invalid();
    return value.get<std::string>();
}

// Integers only (1.0 is not one); values beyond int64 cannot be a valid format anyway.
std::int64_t integerMember(const nlohmann::json& object, const char* name) {
    const nlohmann::json& value = member(object, name);
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) invalid();
        return static_cast<std::int64_t>(v);
    }
    if (!value.is_number_integer()) invalid();
    return value.get<std::int64_t>();
}

// Printable ASCII that JSON carries without escaping.
bool writtenVerbatim(std::string_view text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
    }
    return true;
}

void appendInteger(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
    out.append(digits, result.ptr);
}

bool take(std::string_view json, std::size_t& at, std::string_view literal) {
    if (json.substr(at, literal.size()) != literal) return false;
    at += literal.size();
    return true;
}

// A run of base64url characters, then the closing quote (not consumed).
std::optional<std::string_view> takeToken(std::string_view json, std::size_t& at) {
    const std::size_t start = at;
    while (at < json.size()) {
        const char c = json[at];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            break;
        }
        ++at;
    }
    if (at >= json.size() || json[at] != '"') return std::nullopt;
    return json.substr(start, at - start);
}

// A non-negative integer without leading zeros, at most 18 digits so that it fits.
std::optional<std::int64_t> takeInteger(std::string_view json, std::size_t& at) {
    const std::size_t start = at;
    std::int64_t value = 0;
    while (at < json.size() && json[at] >= '0' && json[at] <= '9') {
        if (at - start == 18) return std::nullopt;
        value = value * 10 + (json[at] - '0');
        ++at;
    }
    const std::size_t digits = at - start;
    if (digits == 0 || (digits > 1 && json[start] == '0')) return std::nullopt;
    return value;
}

}  // namespace

namespace detail {

std::optional<SealedBox> decodeCanonicalSealedBox(std::string_view json) {
    SealedBox box;
    std::size_t at = 0;
    std::optional<std::string_view> ciphertext, nonce, epk;
    std::optional<std::int64_t> envelopeFormat, format;
    if (!take(json, at, R"({"envelope":{"ciphertext":")") || !(ciphertext = takeToken(json, at)) ||
        !take(json, at, R"(","format":)") || !(envelopeFormat = takeInteger(json, at)) ||
        !take(json, at, R"(,"nonce":")") || !(nonce = takeToken(json, at)) || !take(json, at, R"("},"epk":")") ||
        !(epk = takeToken(json, at)) || !take(json, at, R"(","format":)") || !(format = takeInteger(json, at)) ||
        !take(json, at, "}") || at != json.size()) {
        return std::nullopt;
    }
    box.format = *format;
    box.epk = std::string(*epk);
    box.envelope.format = *envelopeFormat;
    box.envelope.nonce = std::string(*nonce);
    box.envelope.ciphertext = std::string(*ciphertext);
    return box;
}

SealedBox decodeGeneralSealedBox(std::string_view json) {
    const nlohmann::json root = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) invalid();
    const nlohmann::json& envelope = member(root, "envelope");
    if (!envelope.is_object()) invalid();

    SealedBox box;
    box.format = integerMember(root, "format");
    box.epk = stringMember(root, "epk");
    box.envelope.format = integerMember(envelope, "format");
    box.envelope.nonce = stringMember(envelope, "nonce");
    box.envelope.ciphertext = stringMember(envelope, "ciphertext");
    return box;
}

}  // namespace detail

namespace TessaroCrypto {

std::string SealedBox::encodedJSON() const {
    if (!writtenVerbatim(epk) || !writtenVerbatim(envelope.nonce) || !writtenVerbatim(envelope.ciphertext)) {
        // Texts that need escaping go through the JSON library; its objects keep their keys
        // sorted and dump() is compact with "/" unescaped.
        const nlohmann::json box = {
            {"envelope", {{"ciphertext", envelope.ciphertext}, {"format", envelope.format}, {"nonce", envelope.nonce}}},
            {"epk", epk},
            {"format", format},
        };
        try {
            return box.dump();
        } catch (const nlohmann::json::exception&) {
            throw InvalidArgument("SealedBox: a text field is not valid UTF-8");
        }
    }
    // The usual case, base64url texts, written directly with the keys in ascending order.
    std::string out;
    out.reserve(80 + envelope.ciphertext.size() + envelope.nonce.size() + epk.size());
    out += R"({"envelope":{"ciphertext":")";
    out += envelope.ciphertext;
    out += R"(","format":)";
    appendInteger(out, envelope.format);
    out += R"(,"nonce":")";
    out += envelope.nonce;
    out += R"("},"epk":")";
    out += epk;
    out += R"(","format":)";
    appendInteger(out, format);
    out += '}';
    return out;
}

SealedBox SealedBox::decode(std::string_view json) {
    // The exact form this kit and its peers write is read without a general JSON parse.
    if (auto box = detail::decodeCanonicalSealedBox(json)) return std::move(*box);
    return detail::decodeGeneralSealedBox(json);
}

}  // namespace TessaroCrypto
}  // namespace tessaro
