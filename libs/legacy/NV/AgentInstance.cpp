#include "AgentInstance.h"

#include "platform/AsciiText.h"
#include "platform/NamedObjects.h"
#include "platform/ServiceProcess.h"

#include <optional>
#include <string_view>

namespace qz::nv {

namespace {

constexpr const char* kAnswersPrefix = "answers ";

} // namespace

std::string AgentInstanceLockPath() {
    return platform::ObjectDirectory() + "/qzagentd-" + platform::ObjectPrefix() + ".lock";
}

std::string AgentAnswersLine(const std::vector<std::uint32_t>& uids) {
    std::string line = kAnswersPrefix;
    for (std::size_t i = 0; i < uids.size(); ++i) {
        line += (i == 0 ? "" : ",") + std::to_string(uids[i]);
    }
    return line + "\n";
}

bool AgentAnswersUser(const std::string& lockText, std::uint32_t uid) {
    std::string_view text = lockText;
    const std::string_view prefix = kAnswersPrefix;
    // Only whole lines count: a line cut short (a very long list) could name another number.
    for (std::size_t end = text.find('\n'); end != std::string_view::npos;
         text.remove_prefix(end + 1), end = text.find('\n')) {
        std::string_view line = text.substr(0, end);
        if (!line.starts_with(prefix)) {
            continue;
        }
        std::string_view list = line.substr(prefix.size());
        if (list.empty()) {
            return true;
        }
        while (true) {
            std::size_t comma = list.find(',');
            std::optional<std::uint32_t> item =
                platform::ParseInteger<std::uint32_t>(list.substr(0, comma));
            if (!item) {
                return true; // damaged: no grounds to refuse
            }
            if (*item == uid) {
                return true;
            }
            if (comma == std::string_view::npos) {
                return false;
            }
            list.remove_prefix(comma + 1);
        }
    }
    return true;
}

std::string AgentRefusalMessage() {
    platform::Result<std::string> text =
        platform::InstanceLock::ReadHolderState(AgentInstanceLockPath());
    if (!text) {
        return {};
    }
    const std::uint32_t uid = platform::EffectiveUserId();
    if (AgentAnswersUser(*text, uid)) {
        return {};
    }
    return "The agent service does not answer the requests of this user (user id " +
           std::to_string(uid) +
           "): it answers only its own user, root and the users listed in its "
           "TamrelObjectOwners setting (/etc/default/qzagentd for the installed service), then "
           "restarted.";
}

} // namespace qz::nv
