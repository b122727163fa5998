// Requests: creation with body validation, status, patch upload, cancel, expiry, and the
// outcomes the simulated user brings about (sealed results, applied patches, refusals).

#include <algorithm>
#include <set>

#include <tessaro/sandbox/internal/backend.hpp>

namespace tessaro::sandbox::detail {

namespace {

constexpr std::size_t maxPatchLength = 64 * 1024;

const std::vector<std::string>& itemKinds() {
    static const std::vector<std::string> kinds = {"login",   "credit_card", "bank_card",
                                                   "api_key", "server",      "secure_note"};
    return kinds;
}

// A required string member: absent gives "missing_<key>", another type "invalid_<key>".
std::string requiredString(const nlohmann::json& body, const std::string& key) {
    const auto it = body.find(key);
    if (it == body.end()) throw Refusal(400, "missing_" + key);
    if (!it->is_string()) throw Refusal(400, "invalid_" + key);
    return it->get<std::string>();
}

void checkOptionalStrings(const nlohmann::json& object, std::initializer_list<const char*> keys,
                          const std::string& code) {
    for (const char* key : keys) {
        const auto it = object.find(key);
        if (it != object.end() && !it->is_string()) throw Refusal(400, code);
    }
}

std::string hostOf(const std::string& url) {
    const auto parts = parseURI(url);
    return parts ? parts->host : std::string();
}

}  // namespace

bool Backend::isOpen(const Request& request) {
    return request.state != "completed" && request.state != "denied" && request.state != "expired" &&
           request.state != "cancelled";
}

bool Backend::expireIfDue(Request& request) {
    if (isOpen(request) && now() >= request.expiresAt) {
        request.state = "expired";
        return true;
    }
    return false;
}

Backend::Request& Backend::ownedRequest(const std::string& grantID, const std::string& requestID) {
    const auto found = requests_.find(requestID);
    if (found == requests_.end() || found->second.grantID != grantID) throw Refusal(404, "request_not_found");
    expireIfDue(found->second);
    return found->second;
}

nlohmann::json Backend::statusJSON(const Request& request) const {
    nlohmann::json status = {
        {"request_id", request.id},
        {"state", request.state},
        {"op", request.op},
        {"expires_at", isoTime(request.expiresAt)},
        {"saved_out_of_scope", request.savedOutOfScope},
        {"existing", false},
    };
    if (request.vaultID) status["vault_id"] = *request.vaultID;
    if (request.itemID) status["item_id"] = *request.itemID;
    if (isOpen(request)) {
        status["waiting_on"] = request.waitingOn;
        status["waiting_reason"] = request.waitingReason;
    }
    if (request.resultEnc) status["result_enc"] = *request.resultEnc;
    if (!request.createdItem.is_null()) status["created_item"] = request.createdItem;
    if (!request.pickedItem.is_null()) status["picked_item"] = request.pickedItem;
    if (!request.updatedItem.is_null()) status["updated_item"] = request.updatedItem;
    if (request.denyReason) status["deny_reason"] = *request.denyReason;
    return status;
}

void Backend::validateCreation(const Grant& grant, const nlohmann::json& body, Request& request) const {
    if (!body.is_object()) throw Refusal(400, "invalid_request");
    request.op = requiredString(body, "op");
    const std::string& op = request.op;
    if (op != "pick_item" && op != "get_item" && op != "create_item" && op != "update_item") {
        throw Refusal(400, "unsupported_op");
    }
    if (const auto reason = body.find("reason"); reason != body.end() && !reason->is_string()) {
        throw Refusal(400, "invalid_reason");
    }

    // Vault: pick takes a vault or null; every other operation names one.
    const auto vault = body.find("vault_id");
    if (vault == body.end()) throw Refusal(400, "missing_vault_id");
    if (op == "pick_item" && vault->is_null()) {
        request.vaultID.reset();
    } else if (vault->is_string()) {
        request.vaultID = vault->get<std::string>();
    } else {
        throw Refusal(400, "invalid_vault_id");
    }
    if (request.vaultID && !isGranted(grant, *request.vaultID)) throw Refusal(400, "vault_not_granted");
    const bool writes = op == "create_item" || op == "update_item";
    if (writes && account_.vault(*request.vaultID)->mode != 1) throw Refusal(400, "vault_read_only");

    if (op == "pick_item") {
        if (const auto hint = body.find("hint"); hint != body.end()) {
            if (!hint->is_object()) throw Refusal(400, "invalid_hint");
            checkOptionalStrings(*hint, {"url", "title", "kind"}, "invalid_hint");
            request.hint = *hint;
        }
    }
    if (op == "get_item" || op == "update_item") {
        request.itemID = requiredString(body, "item_id");
        const Item* item = account_.item(*request.itemID);
        if (!item || item->vaultID != *request.vaultID) throw Refusal(400, "item_not_found");
    }
    if (op == "create_item") {
        request.kind = requiredString(body, "kind");
        if (std::find(itemKinds().begin(), itemKinds().end(), request.kind) == itemKinds().end()) {
            throw Refusal(400, "invalid_kind");
        }
        const auto prefill = body.find("prefill");
        if (prefill == body.end()) throw Refusal(400, "missing_prefill");
        if (!prefill->is_object()) throw Refusal(400, "invalid_prefill");
        checkOptionalStrings(*prefill, {"title", "url", "username_hint"}, "invalid_prefill");
        if (const auto extra = prefill->find("extra_hint"); extra != prefill->end()) {
            if (!extra->is_object()) throw Refusal(400, "invalid_prefill");
            for (const auto& value : *extra) {
                if (!value.is_string()) throw Refusal(400, "invalid_prefill");
            }
        }
        request.prefill = *prefill;
    }
    if (op == "update_item") {
        const auto fields = body.find("fields");
        if (fields == body.end()) throw Refusal(400, "missing_fields");
        if (!fields->is_array() || fields->empty()) throw Refusal(400, "invalid_fields");
        std::set<std::string> seen;
        for (const auto& field : *fields) {
            if (!field.is_string() || field.get<std::string>().empty() ||
                !seen.insert(field.get<std::string>()).second) {
                throw Refusal(400, "invalid_fields");
            }
            request.fields.push_back(field.get<std::string>());
        }
    }
}

Reply Backend::createRequest(const std::string& grantID, const nlohmann::json& body) {
    std::lock_guard lock(mutex_);
    const Grant& grant = grants_.at(grantID);
    Request request;
    validateCreation(grant, body, request);
    request.id = "req_" + randomToken(12);
    request.grantID = grantID;
    // Whole seconds, so that the expires_at text and the server's own expiry agree.
    request.expiresAt = std::chrono::time_point_cast<std::chrono::seconds>(now() + settings_.requestLifetime);
    const auto [it, inserted] = requests_.emplace(request.id, std::move(request));
    return {201, statusJSON(it->second)};
}

Reply Backend::readRequest(const std::string& grantID, const std::string& requestID) {
    std::lock_guard lock(mutex_);
    return {200, statusJSON(ownedRequest(grantID, requestID))};
}

Reply Backend::putPatch(const std::string& grantID, const std::string& requestID, const nlohmann::json& body) {
    std::lock_guard lock(mutex_);
    Request& request = ownedRequest(grantID, requestID);
    if (request.op != "update_item") throw Refusal(409, "not_an_update");
    if (!isOpen(request)) throw Refusal(409, "request_closed");
    if (request.patchEnc) throw Refusal(409, "patch_already_set");
    if (!body.is_object()) throw Refusal(400, "invalid_request");
    const auto patch = body.find("patch_enc");
    if (patch == body.end() || !patch->is_string() || patch->get<std::string>().empty()) {
        throw Refusal(400, "missing_patch_enc");
    }
    if (patch->get<std::string>().size() > maxPatchLength) throw Refusal(400, "patch_too_large");
    // The server only carries the sealed text; the application opens it.
    request.patchEnc = patch->get<std::string>();
    return {200, statusJSON(request)};
}

Reply Backend::cancelRequest(const std::string& grantID, const std::string& requestID) {
    std::lock_guard lock(mutex_);
    Request& request = ownedRequest(grantID, requestID);
    if (isOpen(request)) {
        request.state = "cancelled";
    } else if (request.state != "cancelled") {
        throw Refusal(409, "request_closed");
    }
    return {200, statusJSON(request)};
}

std::optional<RequestView> Backend::request(const std::string& requestID) {
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(requestID);
    if (found == requests_.end()) return std::nullopt;
    Request& request = found->second;
    expireIfDue(request);
    return RequestView{request.id, request.grantID, grants_.at(request.grantID).clientID,
                       request.op, request.state,   isOpen(request)};
}

bool Backend::setWaiting(const std::string& requestID, const std::string& waitingOn, const std::string& waitingReason) {
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(requestID);
    if (found == requests_.end()) return false;
    Request& request = found->second;
    if (expireIfDue(request) || !isOpen(request)) return false;
    request.state = waitingOn == "device" ? "approved" : "in_progress";
    request.waitingOn = waitingOn;
    request.waitingReason = waitingReason;
    return true;
}

bool Backend::hasPatch(const std::string& requestID) {
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(requestID);
    return found != requests_.end() && found->second.patchEnc.has_value();
}

void Backend::finishDenied(Request& request, std::string reason) {
    request.state = "denied";
    request.denyReason = std::move(reason);
}

void Backend::finishCompleted(Request& request) { request.state = "completed"; }

std::string Backend::deny(const std::string& requestID, const std::string& reason) {
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(requestID);
    if (found == requests_.end()) return {};
    Request& request = found->second;
    if (!expireIfDue(request) && isOpen(request)) finishDenied(request, reason);
    return request.state;
}

std::string Backend::complete(const std::string& requestID, const Policy& policy) {
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(requestID);
    if (found == requests_.end()) return {};
    Request& request = found->second;
    if (expireIfDue(request) || !isOpen(request)) return request.state;
    const Grant& grant = grants_.at(request.grantID);
    if (request.op == "pick_item") completePick(request, grant, policy);
    else if (request.op == "get_item") completeGet(request, grant);
    else if (request.op == "create_item") completeCreate(request, grant, policy);
    else completeUpdate(request, grant, policy);
    return request.state;
}

std::optional<std::string> Backend::sealResult(const Request& request, const Item& item) const {
    const nlohmann::json result = {
        {"item",
         {{"id", item.id}, {"vault_id", item.vaultID}, {"revision", item.revision}, {"record", item.record.toJSON()}}},
    };
    std::string text = result.dump();
    auto sealed = sealBox(grants_.at(request.grantID).sealKey, resultAAD(request.grantID, request.id),
                          {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    zeroFill(text);
    return sealed;
}

void Backend::completePick(Request& request, const Grant& grant, const Policy& policy) {
    std::vector<const Item*> candidates;
    for (const std::string& vaultID : grant.vaultIDs) {
        if (request.vaultID && *request.vaultID != vaultID) continue;
        for (const Item& item : account_.items) {
            if (item.vaultID == vaultID) candidates.push_back(&item);
        }
    }
    const Item* chosen = nullptr;
    if (policy.pick != "hint") {
        for (const Item* item : candidates) {
            if (item->id == policy.pick) chosen = item;
        }
        if (!chosen) return finishDenied(request, "item_not_available");
    } else {
        const std::string hintURL = request.hint.is_object() ? request.hint.value("url", "") : "";
        if (!hintURL.empty()) {
            for (const Item* item : candidates) {
                if (!chosen && item->record.url == hintURL) chosen = item;
            }
            const std::string host = hostOf(hintURL);
            for (const Item* item : candidates) {
                if (!chosen && !host.empty() && hostOf(item->record.url) == host) chosen = item;
            }
        }
        if (!chosen && !candidates.empty()) chosen = candidates.front();
        if (!chosen) return finishDenied(request, "no_items");
    }
    auto sealed = sealResult(request, *chosen);
    if (!sealed) return finishDenied(request, "seal_key_unusable");
    request.resultEnc = std::move(sealed);
    request.vaultID = chosen->vaultID;
    request.itemID = chosen->id;
    request.pickedItem = chosen->summaryJSON();
    finishCompleted(request);
}

void Backend::completeGet(Request& request, const Grant& grant) {
    const Item* item = account_.item(*request.itemID);
    if (!item || !isGranted(grant, item->vaultID)) return finishDenied(request, "item_not_available");
    auto sealed = sealResult(request, *item);
    if (!sealed) return finishDenied(request, "seal_key_unusable");
    request.resultEnc = std::move(sealed);
    finishCompleted(request);
}

void Backend::completeCreate(Request& request, const Grant& grant, const Policy& policy) {
    const Vault* target = nullptr;
    const bool inScope = policy.create == Policy::Create::inScope;
    if (inScope) {
        const Vault* requested = account_.vault(*request.vaultID);
        if (requested && requested->mode == 1 && isGranted(grant, requested->id)) target = requested;
        for (const std::string& id : grant.vaultIDs) {
            const Vault* vault = account_.vault(id);
            if (!target && vault && vault->mode == 1) target = vault;
        }
        if (!target) return finishDenied(request, "no_writable_vault");
    } else {
        for (const Vault& vault : account_.vaults) {
            if (!target && !isGranted(grant, vault.id)) target = &vault;
        }
        if (!target) return finishDenied(request, "no_vault_outside_grant");
    }

    // The user fills in the secure card: the prefill as proposed, a generated password.
    const nlohmann::json& prefill = request.prefill;
    Item item;
    item.id = "itm_" + randomToken(9);
    item.vaultID = target->id;
    item.revision = 1;
    item.record.url = prefill.value("url", "");
    item.record.title = prefill.value("title", item.record.url.empty() ? std::string("新条目") : item.record.url);
    item.record.username = prefill.value("username_hint", "");
    item.record.password = randomToken(12);
    item.record.kind = request.kind;
    if (const auto extra = prefill.find("extra_hint"); extra != prefill.end()) {
        for (const auto& [key, value] : extra->items())
            item.record.extra[key] = value.get<std::string>();
    }
    item.record.updatedAt = isoTime(now());

    if (inScope) {
        auto sealed = sealResult(request, item);
        if (!sealed) return finishDenied(request, "seal_key_unusable");
        request.resultEnc = std::move(sealed);
        request.vaultID = item.vaultID;
        request.itemID = item.id;
        request.createdItem = item.summaryJSON();
    } else {
        // Saved where the grant does not reach: nothing about the item goes back.
        request.savedOutOfScope = true;
    }
    account_.items.push_back(std::move(item));
    finishCompleted(request);
}

void Backend::completeUpdate(Request& request, const Grant& grant, const Policy& policy) {
    if (policy.update == Policy::Update::conflict) return finishDenied(request, "conflict");
    if (!request.patchEnc) return finishDenied(request, "patch_missing");
    const auto plaintext = openBox(*request.patchEnc, patchAAD(request.grantID, request.id), identity_.privateKey);
    if (!plaintext) return finishDenied(request, "patch_open_failed");
    nlohmann::json document = nlohmann::json::parse(plaintext->view(), nullptr, false);
    const auto patch = document.is_object() ? document.find("patch") : document.end();
    if (!document.is_object() || patch == document.end() || !patch->is_object() || patch->empty()) {
        return finishDenied(request, "patch_malformed");
    }
    std::set<std::string> patched;
    for (const auto& [field, value] : patch->items()) {
        if (!value.is_string()) return finishDenied(request, "patch_malformed");
        patched.insert(field);
    }
    // The sealed values must change exactly the fields the request announced.
    if (patched != std::set<std::string>(request.fields.begin(), request.fields.end())) {
        return finishDenied(request, "patch_fields_mismatch");
    }
    Item* item = account_.item(*request.itemID);
    if (!item || !isGranted(grant, item->vaultID)) return finishDenied(request, "item_not_available");

    for (const auto& [field, value] : patch->items()) {
        const std::string text = value.get<std::string>();
        if (field == "title") item->record.title = text;
        else if (field == "username") item->record.username = text;
        else if (field == "password") item->record.password = text;
        else if (field == "url") item->record.url = text;
        else if (field == "notes") item->record.notes = text;
        else item->record.extra[field] = text;
    }
    item->revision += 1;
    item->record.updatedAt = isoTime(now());
    request.updatedItem = {{"id", item->id}, {"revision", item->revision}};
    // Wipe the opened values held in the parsed document.
    for (auto& [field, value] : patch->items())
        zeroFill(value.get_ref<std::string&>());
    finishCompleted(request);
}

}  // namespace tessaro::sandbox::detail
