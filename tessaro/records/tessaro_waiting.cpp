#include <tessaro/records/tessaro_waiting.hpp>

namespace tessaro {

std::string TessaroWaiting::message() const {
    if (phase.isAuthorize()) return "等你在 Tessaro 里确认授权";
    if (waitingOn == "user") {
        if (waitingReason == "approval") return "等你在 Tessaro 里批准这次使用";
        if (waitingReason == "input") return "等你在 Tessaro 的安全卡里填写并保存";
        if (waitingReason == "pick") return "等你在 Tessaro 里选一个条目";
        if (waitingReason == "review") return "等你在 Tessaro 里确认修改";
    }
    if (waitingOn == "device") return "已批准，等你的任一设备解锁 Tessaro 后执行";
    return "等待 Tessaro 处理";
}

}  // namespace tessaro
