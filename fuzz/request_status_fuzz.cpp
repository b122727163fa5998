// RequestStatus::fromJSON on arbitrary JSON text: the only exception that may escape is
// APIError::decoding, thrown exactly when "request_id" or "state" is not a string; a status that
// decodes carries those two members unchanged and is terminal exactly for the four final states.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <tessaro/api/tessaro_api.hpp>

using tessaro::TessaroAPI;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json object = nlohmann::json::parse(data, data + size, nullptr, false);
    if (object.is_discarded()) return 0;

    const bool readable = object.is_object() && object.contains("request_id") && object["request_id"].is_string() &&
                          object.contains("state") && object["state"].is_string();
    try {
        const auto status = TessaroAPI::RequestStatus::fromJSON(object);
        if (!readable) std::abort();
        if (status.requestID != object["request_id"].get<std::string>()) std::abort();
        if (status.state != object["state"].get<std::string>()) std::abort();
        const std::string_view state = status.state;
        const bool terminal = state == "completed" || state == "denied" || state == "expired" || state == "cancelled";
        if (status.isTerminal() != terminal) std::abort();
        // A summary exists only for an object whose "id" is a string, and carries that id.
        if (status.createdItem && status.createdItem->id != object.at("created_item").at("id").get<std::string>()) {
            std::abort();
        }
        if (status.updatedRevision && !object.at("updated_item").at("revision").is_number()) std::abort();
    } catch (const TessaroAPI::APIError& error) {
        if (readable || !(error == TessaroAPI::APIError::decoding())) std::abort();
    }
    return 0;
}
