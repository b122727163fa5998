#pragma once
/// @file
/// The sandbox's account data: vaults and items with their records and revisions, and the seed
/// data set every sandbox starts with. Plain values; not thread-safe on their own (the sandbox
/// guards its copy with its own lock). Nothing here blocks; members throw only std::bad_alloc.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/sandbox_export.hpp>

namespace tessaro::sandbox {

/// A vault of the account with its mode and whether the default grant covers it.
struct TESSARO_SANDBOX_EXPORT Vault {
    std::string id;    ///< the vault's identifier ("vlt_...")
    std::string name;  ///< the display name
    std::string kind;  ///< free text: "personal", "shared", "business"
    /// 1: items may be created and changed through a grant; any other mode is read-only.
    std::int64_t mode = 1;
    /// Granted by an approved authorization unless the policy names the vaults itself.
    bool inDefaultGrant = true;

    /// {"vault_id","name","kind","mode"}
    nlohmann::json toJSON() const;
    /// Member-wise equality.
    friend bool operator==(const Vault&, const Vault&) = default;
};

/// The secret contents of an item, as sealed results carry them.
struct TESSARO_SANDBOX_EXPORT ItemRecord {
    std::string title;                         ///< the item's title
    std::string username;                      ///< the user name
    std::string password;                      ///< the password
    std::string url;                           ///< the site
    std::string notes;                         ///< free text
    std::string kind = "login";                ///< the raw kind ("login", "secure_note", ...)
    std::map<std::string, std::string> extra;  ///< further fields by name
    std::string updatedAt;                     ///< time of last change, ISO 8601 text

    /// {"title","username","password","url","notes","kind","extra","updated_at"}
    nlohmann::json toJSON() const;
    /// Member-wise equality.
    friend bool operator==(const ItemRecord&, const ItemRecord&) = default;
};

/// An item: its identifier, vault, revision (raised by every applied patch) and record.
struct TESSARO_SANDBOX_EXPORT Item {
    std::string id;             ///< the item's identifier ("itm_...")
    std::string vaultID;        ///< the vault holding it
    std::int64_t revision = 1;  ///< raised by every applied patch
    ItemRecord record;          ///< the secret contents

    /// {"id","title","url","kind"}: the summary a request status shows.
    nlohmann::json summaryJSON() const;
    /// Member-wise equality.
    friend bool operator==(const Item&, const Item&) = default;
};

/// The signed-in account: its vaults and items. Lookups return null for an unknown ID.
struct TESSARO_SANDBOX_EXPORT Account {
    std::string id;             ///< the account's identifier
    std::vector<Vault> vaults;  ///< in display order
    std::vector<Item> items;    ///< in creation order

    /// The vault `vaultID`; null when there is none. Valid until `vaults` changes.
    const Vault* vault(const std::string& vaultID) const;
    /// The item `itemID`; null when there is none. Valid until `items` changes.
    Item* item(const std::string& itemID);
    /// The item `itemID`; null when there is none. Valid until `items` changes.
    const Item* item(const std::string& itemID) const;

    /// The demo account "acct_demo":
    ///
    ///     vlt_family   "家庭"  shared    mode 2  granted by default  itm_wifi (secure_note)
    ///     vlt_personal "个人"  personal  mode 1  granted by default  itm_bank (login for
    ///                  https://bank.example, login page https://bank.example/login), itm_card
    ///     vlt_work     "工作"  business  mode 1  not granted         itm_mail (login)
    static Account seed();
};

}  // namespace tessaro::sandbox
