#pragma once

// The agent service program: its command line, the one-instance rule, starting in the
// background, stopping a running instance, and the service's run from start-up to a clean stop.
//
//   qzagentd --foreground   serve until SIGTERM or SIGINT (development, tests, CI, systemd)
//   qzagentd --background   start a detached --foreground copy and wait until it serves
//   qzagentd --stop         ask the running instance to stop and wait until it has
//   qzagentd --status       tell whether an instance runs
//
// Exit codes: 0 done, 1 failure, 2 bad command line, 3 another instance already runs (for
// --foreground and --background: "--background" with a running instance is success), 4 no
// instance runs (--stop, --status).

#include <string>

namespace qz::agent {

/// The program entry: runs the command line and returns the exit code.
int AgentProgramMain(int argc, char** argv);

/// The state file whose lock one running instance holds: in the named-object folder, so that
/// instances that cannot see each other's objects do not exclude each other either.
std::string InstanceLockPath();

} // namespace qz::agent
