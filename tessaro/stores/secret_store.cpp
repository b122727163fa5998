#include <tessaro/stores/secret_store.hpp>

#include <tessaro/records/internal/utf8.hpp>

namespace tessaro {

std::optional<std::string> TessaroSecretStore::readString(const std::string& key) {
    auto value = read(key);
    if (!value) return std::nullopt;
    if (!detail::isValidUTF8(value->view())) return std::nullopt;
    return std::string(value->view());
}

TessaroSecretStore::Values TessaroSecretStore::readMany(std::span<const std::string> keys) {
    Values values;
    for (const auto& key : keys) {
        if (values.contains(key)) continue;
        if (auto value = read(key)) values.emplace(key, std::move(*value));
    }
    return values;
}

std::optional<std::string> TessaroSecretStore::lockName() const { return std::nullopt; }

void TessaroSecretStore::writeString(const std::string& key, std::string_view value) {
    write(key, std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
}

}  // namespace tessaro
