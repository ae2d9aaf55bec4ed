#pragma once

// The running agent service as its lock file tells it: the file in the named-object folder whose
// lock one instance holds, with the holder's pid, its state and the users whose consoles it
// answers. The agent answers a console through the reply channel the console created, and uses
// an existing object only when its owner is trusted (its own user, root, "TamrelObjectOwners"):
// a console of another user would wait the whole reply timeout for an answer that cannot come.
// The agent therefore writes the line "answers <uid>,<uid>,..." and the console reads it first.

#include <cstdint>
#include <string>
#include <vector>

namespace qz::nv {

/// The agent's lock file: "qzagentd-<object prefix>.lock" in the named-object folder.
std::string AgentInstanceLockPath();

/// The line that names the users the agent answers ("answers 0,1000\n").
std::string AgentAnswersLine(const std::vector<std::uint32_t>& uids);

/// Whether the agent whose lock-file text is given answers the user: true unless the text has
/// an "answers" line that does not list the uid (an agent that names nobody, or whose line is
/// damaged, is asked as before).
bool AgentAnswersUser(const std::string& lockText, std::uint32_t uid);

/// The console's check before it asks the running agent anything: empty when the agent answers
/// this process's user (or no agent runs, or it says nothing about it), else the message that
/// tells why it will not and what to change.
std::string AgentRefusalMessage();

} // namespace qz::nv
