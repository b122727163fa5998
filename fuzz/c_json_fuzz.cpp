// The C interface's JSON inputs: the first byte picks the form (hint, prefill or patch), the rest up
// to its first NUL is the form's text, passed to tessaro_client_pick_item, _create_item or
// _update_item of one client with a memory store and no grant. The verdict is made here, from the
// documented forms, without the kit's reader: text that is no JSON object, or has a member of the
// wrong type or an unknown one, is TESSARO_INVALID_ARGUMENT; a form of known members of the right
// types reaches the client, which refuses it with TESSARO_NOT_AUTHORIZED (or TESSARO_PROTOCOL).
// Whatever the status, the error object agrees with it, its JSON names it, and the outputs are NULL.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include <tessaro/c/tessaro.h>

namespace {

using nlohmann::json;

tessaro_client* client() {
    static tessaro_client* const made = [] {
        tessaro_client_options* options = tessaro_client_options_new();
        tessaro_client* c = nullptr;
        if (!options || tessaro_client_options_set_store(options, TESSARO_STORE_MEMORY, nullptr) != TESSARO_OK ||
            tessaro_client_new("https://tessaro.example", "pmc_fuzz", "http://127.0.0.1:8123/tessaro/callback", options,
                               &c, nullptr) != TESSARO_OK) {
            __builtin_trap();
        }
        tessaro_client_options_free(options);
        return c;
    }();
    return made;
}

enum class Form { hint, prefill, patch };

bool isText(const json& value) { return value.is_string() || value.is_null(); }

bool oneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    for (const auto known : names) {
        if (name == known) return true;
    }
    return false;
}

// Whether the form takes `text`; nullopt where the documentation leaves it open (null entries of
// extra_hint, a patch's empty field name).
std::optional<bool> verdict(Form form, std::string_view text) {
    if (!json::accept(text)) return false;
    const json parsed = json::parse(text);
    if (!parsed.is_object()) return false;
    std::optional<bool> result = true;
    for (const auto& [name, value] : parsed.items()) {
        switch (form) {
            case Form::hint:
                if (name == "kind" && value.is_string()) {
                    if (!oneOf(value.get<std::string>(),
                               {"login", "credit_card", "bank_card", "api_key", "server", "secure_note"})) {
                        return false;
                    }
                } else if (!oneOf(name, {"url", "title", "kind"}) || !isText(value)) {
                    return false;
                }
                break;
            case Form::prefill:
                if (name == "extra_hint" && !value.is_null()) {
                    if (!value.is_object()) return false;
                    for (const auto& [field, entry] : value.items()) {
                        if (entry.is_null()) {
                            result = std::nullopt;
                        } else if (!entry.is_string()) {
                            return false;
                        }
                    }
                } else if (!oneOf(name, {"title", "url", "username_hint", "extra_hint"}) || !isText(value)) {
                    return false;
                }
                break;
            case Form::patch:
                if (!isText(value)) return false;
                if (name.empty()) result = std::nullopt;
                break;
        }
    }
    return result;
}

tessaro_status call(Form form, const char* text, char** out, tessaro_secret** password, tessaro_error** error) {
    switch (form) {
        case Form::hint:
            return tessaro_client_pick_item(client(), text, "fuzz", nullptr, nullptr, out, password, error);
        case Form::prefill:
            return tessaro_client_create_item(client(), nullptr, text, "fuzz", nullptr, nullptr, out, password, error);
        case Form::patch:
            return tessaro_client_update_item(client(), "itm_1", "vlt_1", text, "fuzz", nullptr, out, error);
    }
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto form = static_cast<Form>(data[0] % 3);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);  // c_str() ends it with a NUL
    const std::string_view seen(text.c_str());                                  // what the C side reads

    // Non-NULL outputs: a failing call must clear them.
    static char stale[] = "stale";
    static tessaro_secret staleSecret{stale, 5};
    char* out = stale;
    tessaro_secret* password = form == Form::patch ? nullptr : &staleSecret;
    tessaro_error* error = nullptr;
    const tessaro_status status = call(form, text.c_str(), &out, form == Form::patch ? nullptr : &password, &error);

    const auto expected = verdict(form, seen);
    const bool reachedClient = status == TESSARO_NOT_AUTHORIZED || status == TESSARO_PROTOCOL;
    if (expected == false && status != TESSARO_INVALID_ARGUMENT) __builtin_trap();
    if (expected == true && !reachedClient) __builtin_trap();
    if (!expected && status != TESSARO_INVALID_ARGUMENT && !reachedClient) __builtin_trap();

    if (out != nullptr || password != nullptr || error == nullptr || tessaro_error_code(error) != status) {
        __builtin_trap();
    }
    if (tessaro_error_message(error)[0] == '\0') __builtin_trap();
    if ((tessaro_error_protocol_code(error) != nullptr) != (status == TESSARO_PROTOCOL)) __builtin_trap();
    char* described = tessaro_error_json(error);
    if (described == nullptr) __builtin_trap();
    const json parsed = json::parse(described, nullptr, false);
    if (!parsed.is_object() || parsed.value("error", "") != tessaro_status_name(status)) __builtin_trap();
    tessaro_free(described);
    tessaro_error_free(error);
    return 0;
}
