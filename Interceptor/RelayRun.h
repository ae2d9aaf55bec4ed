#pragma once

// What qzrelay does: it stands in for a caught start of a tool, asks the build's broker where the
// tool runs (RelayProtocol.h), runs it there and ends exactly as the tool ended. When the broker
// cannot be reached or answers nonsense, the tool runs here as a plain start would have run it:
// the build never fails because of interception. Nothing of the relay's own reaches the tool's
// standard output or error. docs/interception.md describes the exchange.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::intercept {

/// The name qzrelay has; started under another name it is in masquerade mode.
inline constexpr std::string_view kRelayName = "qzrelay";

/// What a caught start asked for.
struct RelayRequest {
    std::string program;           ///< absolute path of the tool
    std::vector<std::string> argv; ///< its argument vector, argv[0] as the caller gave it
    bool throughLink = false;      ///< reached through a masquerade link, not from the library
};

/// The tool's environment: entries without QZ_INTERCEPT_*, PATH without the masquerade folder,
/// LD_PRELOAD without the interception library (the variable dropped when nothing is left), so
/// that what the tool starts (cc1, as) is not caught again.
std::vector<std::string> ToolEnvironment(const std::vector<std::string>& entries);

/// The value of name in "name=value" entries; std::nullopt when absent.
std::optional<std::string> EntryValue(const std::vector<std::string>& entries,
                                      std::string_view name);

/// The request of qzrelay's arguments: "qzrelay <program> <argv0> <args...>", or, started
/// through a masquerade link, "<name> <args...>" (the tool is the next <name> in PATH beyond
/// the masquerade folder). std::nullopt for too few arguments or a tool that cannot be found.
std::optional<RelayRequest> RequestOf(const std::vector<std::string>& arguments,
                                      const std::vector<std::string>& environment,
                                      const std::string& cwd, const std::string& self);

/// Whether name is one of the ','-separated names of list. A name of exactly 15 bytes (the
/// system's short process names are cut there) also matches a longer entry that begins with it.
bool InNameList(std::string_view list, std::string_view name);

/// Whether a shell of this name counts as the process above it.
bool IsShellName(std::string_view name);

/// Whether the starts of the process starterPid are examined under the ','-separated list of
/// parents (QZ_INTERCEPT_PARENTS; empty: every process's are): its short name is on the list, or
/// it is a shell and the first process above it that is no shell is (ninja runs its commands
/// through /bin/sh -c, make its recipe lines with shell syntax).
bool StartsExamined(std::string_view parents, int starterPid);

/// Runs the request through the broker (or locally) and ends this process as the tool ended. A
/// request through a masquerade link whose starter (our parent) is not one of the parents whose
/// starts are examined is a plain start: the tool replaces us with the environment unchanged.
[[noreturn]] void Relay(const RelayRequest& request, const std::vector<std::string>& environment,
                        const std::string& cwd);

} // namespace qz::intercept
