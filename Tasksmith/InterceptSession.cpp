#include "InterceptSession.h"

#include "BuildReporter.h"
#include "CM/Exceptions.h"
#include "RemoteTasks.h"
#include "platform/FileSystem.h"
#include "platform/FolderTree.h"
#include "platform/LocalSocket.h"
#include "platform/NamedObjects.h"
#include "platform/ProgramFile.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <cerrno>

namespace qz::tasksmith {

namespace {

// A shell's own search when PATH is unset.
constexpr const char* kShellDefaultPath = "/usr/local/bin:/usr/bin:/bin";

std::optional<std::string> FindValue(const std::vector<std::string>& environment,
                                     const std::string& name) {
    for (auto it = environment.rbegin(); it != environment.rend(); ++it) {
        if (it->starts_with(name + "=")) {
            return it->substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

std::string ValueOf(const std::vector<std::string>& environment, const std::string& name) {
    return FindValue(environment, name).value_or("");
}

// The folder goes first where the named objects live (a memory file system, /dev/shm, in an
// installed agent): making it, its links and its socket, and removing them at the end, are
// metadata writes that a disk file system journals, which costs the start and end of every
// intercepted build. The agent's temporary folder and the system's come next. The socket's path
// must fit the system's limit; a folder may be too deep.
std::string MakeFolder(const std::string& tempFolder, std::string& problem) {
    // A socket address holds 107 bytes of path.
    const std::size_t room = 107 - 1 - kBrokerSocketName.size();
    std::vector<std::string> prefixes;
    const std::string objects = platform::ObjectDirectory();
    if (!objects.empty() && platform::QueryPathKind(objects) == platform::PathKind::Folder) {
        prefixes.push_back(objects + "/qz-icept-");
    }
    const std::string temp = tempFolder + "/icept-";
    if (!tempFolder.empty() && platform::QueryPathKind(tempFolder) == platform::PathKind::Folder) {
        prefixes.push_back(temp);
    }
    prefixes.push_back(platform::SystemTempFolder() + "/qz-icept-");
    for (const std::string& prefix : prefixes) {
        if (prefix.size() + 6 > room) {
            continue;
        }
        auto folder = platform::MakeUniquePrivateFolder(prefix);
        if (folder) {
            return *folder;
        }
        problem = "cannot create a folder " + prefix +
                  "...: " + platform::SystemErrorText(folder.error().code);
    }
    if (problem.empty()) {
        problem = "the temporary folder's path is too long for a socket";
    }
    return {};
}

void RemoveInterceptFolder(const std::string& folder) {
    platform::DeleteMatchingEntries(folder, [](std::string_view) { return true; });
    platform::RemoveFolderOrLink(folder);
}

bool IsAssignment(std::string_view word) {
    std::size_t equals = word.find('=');
    if (equals == 0 || equals == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i < equals; ++i) {
        const char c = word[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string CommandProgramName(const std::string& command) {
    // Plain words only: anything a shell would expand or treat specially makes the first program
    // unknown here.
    constexpr std::string_view kSpecial = "\"'`$\\;&|<>(){}*?[]~#!";
    std::vector<std::string_view> words;
    std::string_view rest = command;
    while (!rest.empty()) {
        std::size_t begin = rest.find_first_not_of(" \t");
        if (begin == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(begin);
        std::size_t end = rest.find_first_of(" \t\n");
        std::string_view word = rest.substr(0, end);
        words.push_back(word);
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end);
        if (rest[0] == '\n') {
            break; // the first command ends with its line
        }
    }
    std::size_t at = 0;
    bool afterEnv = false;
    while (at < words.size()) {
        std::string_view word = words[at];
        if (IsAssignment(word) || (at == 0 && word == "exec") || (!afterEnv && word == "env")) {
            afterEnv = afterEnv || word == "env";
            ++at;
            continue;
        }
        if (word.find_first_of(kSpecial) != std::string_view::npos || word.starts_with("-") ||
            word == "if" || word == "while" || word == "until" || word == "for" || word == "case") {
            return {};
        }
        return std::string(word);
    }
    return {};
}

void RemoveStaleInterceptFolders(const std::string& ownFolder) {
    constexpr long long kStaleNs = 60LL * 1000 * 1000 * 1000;
    constexpr std::size_t kUniqueLength = 6; // the characters that make the name unique
    const std::size_t slash = ownFolder.rfind('/');
    if (slash == std::string::npos || ownFolder.size() - slash - 1 <= kUniqueLength) {
        return;
    }
    const std::string parent = ownFolder.substr(0, slash);
    const std::string name = ownFolder.substr(slash + 1);
    const std::string prefix = name.substr(0, name.size() - kUniqueLength);
    // Our folder was made just now: its time is the file system's present.
    auto now = platform::FileModificationTime(ownFolder);
    auto entries = platform::ListFolder(parent);
    if (!now || !entries) {
        return;
    }
    for (const platform::FolderEntry& entry : *entries) {
        if (entry.kind != platform::PathKind::Folder || entry.name == name ||
            entry.name.size() != name.size() || !entry.name.starts_with(prefix)) {
            continue;
        }
        const std::string folder = parent + "/" + entry.name;
        const std::string socket = folder + "/" + std::string(kBrokerSocketName);
        auto made = platform::FileModificationTime(socket);
        if (!made || *made + kStaleNs > *now) {
            continue; // no socket (yet), or a build that may be about to listen on it
        }
        auto connection = platform::ConnectLocalSocket(socket);
        if (connection) {
            platform::CloseHandle(*connection); // a live build's broker
            continue;
        }
        // Refused: the socket is there and nobody listens (its build's Tasksmith was killed).
        // Another user's folder cannot be entered (EACCES) and is left alone.
        if (connection.error().code == ECONNREFUSED) {
            RemoveInterceptFolder(folder);
        }
    }
}

std::string InterceptedPath(const std::optional<std::string>& path, const std::string& masquerade) {
    // An empty value is searched as the working folder, as is an empty entry after ours.
    return masquerade + ":" + path.value_or(kShellDefaultPath);
}

std::vector<std::string> UncatchableBuildToolLines(const std::string& command,
                                                   const std::vector<std::string>& parents,
                                                   const std::string& folder,
                                                   const std::string& pathValue) {
    std::vector<std::string> names;
    if (std::string first = CommandProgramName(command); !first.empty()) {
        names.push_back(first);
    }
    names.insert(names.end(), parents.begin(), parents.end());
    std::string_view searched = pathValue;
    if (searched.empty()) {
        searched = kShellDefaultPath;
    }
    std::vector<std::string> seen;
    std::vector<std::string> lines;
    for (const std::string& name : names) {
        std::string path = platform::FindProgramInPath(name, searched, {.startFolder = folder});
        if (path.empty() || std::find(seen.begin(), seen.end(), path) != seen.end()) {
            continue;
        }
        seen.push_back(path);
        auto loading = platform::ProgramLoadingOf(path);
        if (!loading || (*loading != platform::ProgramLoading::Static &&
                         *loading != platform::ProgramLoading::SetId)) {
            continue;
        }
        const char* kind = *loading == platform::ProgramLoading::Static
                               ? "a static program"
                               : "a set-user-id or set-group-id program";
        lines.push_back(path + " is " + kind +
                        ", which the interception library cannot enter: of the tool runs it "
                        "starts, only those it starts by name through PATH are distributed; the "
                        "others run here");
    }
    return lines;
}

InterceptProfile ProfileOfRequest(const TBuildCommandPacket& request,
                                  const std::string& agentFolder) {
    std::string path = request.Str(TBuildCommandPacket::ProfileFilename);
    if (path.empty()) {
        path = agentFolder + "/" + kDefaultProfileName;
    }
    InterceptProfile profile = LoadInterceptProfile(path);
    ApplyAllowRemote(profile, request.Strings(TBuildCommandPacket::AllowRemote).Strings());
    return profile;
}

bool ProfileWantsRemote(const InterceptProfile& profile) {
    return std::any_of(profile.tools.begin(), profile.tools.end(),
                       [](const InterceptTool& tool) { return tool.remote; });
}

std::unique_ptr<InterceptedBuild>
InterceptedBuild::Start(InterceptProfile profile, const TBuildCommandPacket& request, JobTask& task,
                        const std::vector<std::string>& baseEnvironment,
                        const std::string& agentFolder, const std::string& tempFolder,
                        int localSlots, SlurmRemote* remote, BuildReporter& reporter) {
    const std::string library = agentFolder + "/" + kPreloadLibraryName;
    const std::string relay = agentFolder + "/" + kRelayProgramName;
    for (const std::string& part : {library, relay}) {
        if (!platform::PathIsRegularFile(part)) {
            reporter.Message("Tool runs are not distributed: " + part +
                                 " is missing; the build runs as a plain command",
                             true);
            return nullptr;
        }
    }
    if (profile.tools.empty()) {
        return nullptr;
    }
    std::string problem;
    std::string folder = MakeFolder(tempFolder, problem);
    if (folder.empty()) {
        reporter.Message("Tool runs are not distributed: " + problem +
                             "; the build runs as a plain command",
                         true);
        return nullptr;
    }
    RemoveStaleInterceptFolders(folder);
    std::unique_ptr<InterceptedBuild> build(new InterceptedBuild(reporter, folder));
    build->showNotes_ = request.Int(TBuildCommandPacket::OverrideLogLevel) >= 3;

    // The masquerade folder: links named after the tools, first in PATH, for starts that the
    // preload library does not see (a static build tool, an environment without LD_PRELOAD).
    const std::string masquerade = folder + "/bin";
    if (platform::MakeFolder(masquerade)) {
        for (const std::string& name : MasqueradeNames(profile)) {
            platform::MakeSymbolicLink(relay, masquerade + "/" + name);
        }
    }
    const std::string tools = ToolListText(profile);

    BrokerSettings settings;
    settings.folder = folder;
    settings.profile = std::move(profile);
    settings.localSlots = std::max(1, localSlots);
    settings.sharedRoot = task.folder;
    if (remote != nullptr && remote->Slots() > 0) {
        settings.remoteNodes = remote->SlotNodes();
        settings.remotePrefix = [remote](int slot, const std::string& cwd,
                                         const std::string& name) {
            return remote->StepPrefix(slot, cwd, name);
        };
    }
    build->broker_ = std::make_unique<InterceptBroker>(std::move(settings));
    problem = build->broker_->Start();
    if (!problem.empty()) {
        reporter.Message("Tool runs are not distributed: " + problem +
                             "; the build runs as a plain command",
                         true);
        return nullptr;
    }

    std::string preload = ValueOf(baseEnvironment, "LD_PRELOAD");
    const std::optional<std::string> pathValue = FindValue(baseEnvironment, "PATH");
    const std::string path = pathValue.value_or("");
    std::string parents;
    for (const std::string& name : request.Strings(TBuildCommandPacket::AllowIntercept).Strings()) {
        parents += (parents.empty() ? "" : ",") + name;
    }
    task.environment.emplace_back("LD_PRELOAD",
                                  preload.empty() ? library : library + ":" + preload);
    task.environment.emplace_back("QZ_INTERCEPT_SOCKET", build->broker_->SocketPath());
    task.environment.emplace_back("QZ_INTERCEPT_RELAY", relay);
    task.environment.emplace_back("QZ_INTERCEPT_TOOLS", tools);
    task.environment.emplace_back("QZ_INTERCEPT_PARENTS", parents);
    task.environment.emplace_back("QZ_INTERCEPT_MASQ", masquerade);
    task.environment.emplace_back("PATH", InterceptedPath(pathValue, masquerade));
    // Said once, before the build tool's own output begins.
    for (const std::string& line : UncatchableBuildToolLines(
             request.Str(TBuildCommandPacket::Command),
             request.Strings(TBuildCommandPacket::AllowIntercept).Strings(), task.folder, path)) {
        reporter.Message(line, true);
    }
    return build;
}

void InterceptedBuild::Pump() {
    if (!broker_) {
        return;
    }
    for (const BrokerEvent& event : broker_->TakeEvents()) {
        // Row 0 is the build tool's own task.
        switch (event.kind) {
        case BrokerEvent::Kind::Began:
            reporter_.ToolStepBegan(event.step, event.slot + 1, event.caption, event.commandLine,
                                    event.program, event.folder, event.remote);
            break;
        case BrokerEvent::Kind::Ended:
            reporter_.ToolStepEnded(event.slot + 1, event.exitCode);
            break;
        case BrokerEvent::Kind::Line:
            reporter_.Message(event.text, true);
            break;
        case BrokerEvent::Kind::Note:
            if (showNotes_) {
                reporter_.Message("Relay: " + event.text, false);
            }
            break;
        }
    }
}

void InterceptedBuild::Finish() {
    if (broker_) {
        broker_->Stop();
        Pump();
        broker_.reset();
    }
}

InterceptedBuild::~InterceptedBuild() {
    Finish();
    RemoveInterceptFolder(folder_);
}

} // namespace qz::tasksmith
