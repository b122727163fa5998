#include <tessaro/sandbox/account.hpp>

namespace tessaro::sandbox {

nlohmann::json Vault::toJSON() const { return {{"vault_id", id}, {"name", name}, {"kind", kind}, {"mode", mode}}; }

nlohmann::json ItemRecord::toJSON() const {
    return {
        {"title", title}, {"username", username}, {"password", password}, {"url", url},
        {"notes", notes}, {"kind", kind},         {"extra", extra},       {"updated_at", updatedAt},
    };
}

nlohmann::json Item::summaryJSON() const {
    return {{"id", id}, {"title", record.title}, {"url", record.url}, {"kind", record.kind}};
}

const Vault* Account::vault(const std::string& vaultID) const {
    for (const Vault& v : vaults) {
        if (v.id == vaultID) return &v;
    }
    return nullptr;
}

Item* Account::item(const std::string& itemID) {
    for (Item& i : items) {
        if (i.id == itemID) return &i;
    }
    return nullptr;
}

const Item* Account::item(const std::string& itemID) const { return const_cast<Account*>(this)->item(itemID); }

Account Account::seed() {
    const std::string seeded = "2024-06-01T08:00:00Z";
    Account account;
    account.id = "acct_demo";
    account.vaults = {
        {"vlt_family", "家庭", "shared", 2, true},
        {"vlt_personal", "个人", "personal", 1, true},
        {"vlt_work", "工作", "business", 1, false},
    };
    account.items = {
        {"itm_wifi",
         "vlt_family",
         3,
         {"家里的 Wi-Fi", "", "tessaro-home-2024", "", "网络名：Tessaro-Home", "secure_note", {}, seeded}},
        {"itm_bank",
         "vlt_personal",
         1,
         {"示例银行",
          "demo@bank.example",
          "Demo-Bank-Pass-1",
          "https://bank.example",
          "",
          "login",
          {{"login_url", "https://bank.example/login"}},
          seeded}},
        {"itm_card",
         "vlt_personal",
         2,
         {"示例信用卡",
          "张三",
          "123",
          "",
          "",
          "credit_card",
          {{"number", "4111 1111 1111 1111"}, {"expiry", "12/29"}},
          seeded}},
        {"itm_mail",
         "vlt_work",
         1,
         {"公司邮箱",
          "zhangsan@work.example",
          "Work-Mail-Pass-1",
          "https://mail.work.example",
          "",
          "login",
          {},
          seeded}},
    };
    return account;
}

}  // namespace tessaro::sandbox
