// Arbitrary bytes as JSON text through the record decoders: they must never crash, and what they
// decode must survive a round trip through the record's own JSON form.
#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include <tessaro/records/exception.hpp>
#include <tessaro/records/records.hpp>

using nlohmann::json;
using namespace tessaro;

namespace {

// The record as an object of plain string members, the form fromJSON reads back unchanged.
json asJSON(const TessaroRecord& record) {
    return json{{"title", record.title}, {"username", record.username},   {"password", record.password},
                {"url", record.url},     {"notes", record.notes},         {"kind", record.kindRaw},
                {"extra", record.extra}, {"updated_at", record.updatedAt}};
}

void check(const json& value) {
    const TessaroRecord record = TessaroRecord::fromJSON(value);
    if (record.kind != itemKindFromRaw(record.kindRaw).value_or(TessaroItemKind::login)) __builtin_trap();
    if (!(TessaroRecord::fromJSON(asJSON(record)) == record)) __builtin_trap();

    if (const auto summary = TessaroItemSummary::fromJSON(&value)) {
        if (!value.is_object() || !value.at("id").is_string()) __builtin_trap();
    }

    const auto vaults = decodeVaultList(value);
    if (!vaults.empty() && decodeVaultList(encodeVaultList(vaults)) != vaults) __builtin_trap();
    if (value.is_object()) {
        try {
            const auto vault = value.get<TessaroVault>();
            if (json(vault).get<TessaroVault>() != vault) __builtin_trap();
        } catch (const DecodingError&) {}
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const json value = json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return 0;
    check(value);
    // Nested values too: decrypted results and statuses hand over members of larger objects.
    if (value.is_structured()) {
        for (const auto& member : value)
            check(member);
    }
    return 0;
}
