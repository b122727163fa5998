#pragma once
// The sandbox's account data: vaults and items with their records and revisions, and the seed
// data set every sandbox starts with. Plain values; not thread-safe on their own (the sandbox
// guards its copy with its own lock).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/sandbox_export.hpp>

namespace tessaro::sandbox {

// A vault of the account with its mode and whether the default grant covers it.
struct TESSARO_SANDBOX_EXPORT Vault {
    std::string id;
    std::string name;
    std::string kind;
    // 1: items may be created and changed through a grant; any other mode is read-only.
    std::int64_t mode = 1;
    // Granted by an approved authorization unless the policy names the vaults itself.
    bool inDefaultGrant = true;

    // {"vault_id","name","kind","mode"}
    nlohmann::json toJSON() const;
    friend bool operator==(const Vault&, const Vault&) = default;
};

// The secret contents of an item, as sealed results carry them.
struct TESSARO_SANDBOX_EXPORT ItemRecord {
    std::string title;
    std::string username;
    std::string password;
    std::string url;
    std::string notes;
    std::string kind = "login";
    std::map<std::string, std::string> extra;
    std::string updatedAt;

    // {"title","username","password","url","notes","kind","extra","updated_at"}
    nlohmann::json toJSON() const;
    friend bool operator==(const ItemRecord&, const ItemRecord&) = default;
};

// An item: its identifier, vault, revision (raised by every applied patch) and record.
struct TESSARO_SANDBOX_EXPORT Item {
    std::string id;
    std::string vaultID;
    std::int64_t revision = 1;
    ItemRecord record;

    // {"id","title","url","kind"}: the summary a request status shows.
    nlohmann::json summaryJSON() const;
    friend bool operator==(const Item&, const Item&) = default;
};

// The signed-in account: its vaults and items. Lookups return null for an unknown ID.
struct TESSARO_SANDBOX_EXPORT Account {
    std::string id;
    std::vector<Vault> vaults;  // in display order
    std::vector<Item> items;

    const Vault* vault(const std::string& vaultID) const;
    Item* item(const std::string& itemID);
    const Item* item(const std::string& itemID) const;

    // The demo account "acct_demo":
    //   vlt_family   "家庭"  shared    mode 2  granted by default  itm_wifi (secure_note)
    //   vlt_personal "个人"  personal  mode 1  granted by default  itm_bank (login for
    //                https://bank.example, login page https://bank.example/login), itm_card
    //   vlt_work     "工作"  business  mode 1  not granted         itm_mail (login)
    static Account seed();
};

}  // namespace tessaro::sandbox
