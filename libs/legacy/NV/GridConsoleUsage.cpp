// The brief usage message of the console.

#include "CM/EnvUtils.h"
#include "GridConsoleCore.h"
#include "WinVersions.h"
#include "platform/ProcessInfo.h"

#include <algorithm>
#include <cctype>

namespace qz::nv {

namespace {

constexpr const char* kModeTag = " (XML only)";
constexpr const char* kDescriptionIndent = "                              "; // 30 blanks

std::string WinVersionList() {
    std::string list = "{";
    for (size_t i = 0; i < kWinVersionNames.size(); ++i) {
        if (i > 0) {
            list += ", ";
        }
        list += kWinVersionNames[i].name;
    }
    return std::string(kDescriptionIndent) + list + "}";
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

} // namespace

void TGridConsole::ShowUsage() {
    silent_ = false;
    const std::string program = PathBaseName(platform::ExecutablePath());
    const std::string indent = "        ";
    const std::string versions = WinVersionList();
    const std::string lines[] = {
        "Usage:",
        "",
        indent + program + " <job.xml>        [options]",
        indent + program + " <job.xpx>        [options]",
        indent + program + " <job.bat>        [options]",
        "",
        indent + program + " /COMMAND=\"<job command line>\"   [options]",
        "",
        "General Options:",
        "",
        "  @<command filename>         Specify an external SlnConsole option file",
        "  /NOLOGO                     Suppress copyright message",
        "  /NOMSGS                     Suppress build messages on the console",
        "  /SILENT                     Suppress all output",
        std::string("  /REBUILD                    Clean and build") + kModeTag,
        std::string("  /CLEAN                      Delete intermediate and output files") +
            kModeTag,
        "  /PROFILE=<filename.xml>     Intercepted job definition XML file",
        "  /KEEPORIGJOBSNUM            Keep original number of parallel jobs (Build tools only)",
        "  /SETENV=\"<name>=<value>\"    Set value of an environment variable",
        "  /OUT=<filename>             Redirect command line output to a file",
        "  /LOG[=<filename>]           Save build output to a file",
        "  /LOGLEVEL=<level>           Override logging level for this build",
        "                              {Minimal,Basic,Intermediate,Extended,Detailed}",
        "  /LIMITBVDATA[=0|1|2|3]      [EXPERIMENTAL] Limit Boardview data to display",
        "                              0 - all data is enabled to display, no limits",
        "                              1 - all data writing is disabled, do not display anything",
        "                              2 - disable only bars to display",
        "                              3 - disable only graphs to display",
        "  /" + Upper("exitcodebase") +
            "[=n]           Adds a base number to the exit code in case the build",
        "                              terminates due to an internal Orvane error or user",
        "                              cancellation. (Default value is " +
            std::to_string(kDefaultExitCodeBase) + ".)",
        "  /MON=<filename>             Save a copy of the Boardview file",
        "  /MAXCPUS=<n>                Override global max. CPUs/Cores in build setting",
        "  /AVOIDLOCAL=[ON|OFF]        Override 'avoid local execution' setting",
        "  /MINWINVER=<version>        Min. required Windows version of helper Agents",
        versions,
        "  /MAXWINVER=<version>        Max. allowed Windows version for helper Agents",
        versions,
        "  /ONLY64BITHELPERS           Only use helper Agents that run a 64-bit OS",
        "  /NO_DOTNET_VIRT             Disable .NET Framework virtualization",
        "  /NO_CRYPT_VIRT              Disable Cryptography Registry keys virtualization",
        "  /NO_WATCHDOG_THREAD         Do not create abnormal termination Monitor Thread in local "
        "tasks",
        "  /NO_UNC_SYNC                Remote tasks open UNC (network share) paths directly "
        "instead of going through the Initiator machine",
        "  /STOPONERRORS               Stop build immediately if an error is encountered",
        "  /ONLYFAILLOCALLY=[ON|OFF]   Distributed tasks should only fail on local machine",
        "  /USECLOUDHELPERS=[TRUE|FALSE]",
        "                              Use cloud helpers in the build",
        "  /SHOWTIME                   Show execution time of commands",
        "  /SHOWAGENT                  Show name of Agent executing a command",
        "  /OPENMONITOR                Open Boardview on build start",
        std::string("  /USEIDEMONITOR              Use integrated monitor of IDE that started "
                    "build") +
            kModeTag,
        "  /VIRTUALIZEDIRECTX          Allow to distribute DirectX utilizing tasks to remote "
        "agents that do not have the relevant DirectX version installed",
        "  /ENABLE                     Enable Agent",
        "  /DISABLE                    Disable Agent",
        "  /RESET                      Clears the Agent file cache contents",
        "  /WAIT                       Wait for previous build to complete (default)",
        "  /NOWAIT                     Fail if another build is already running",
        "  /STOP[=<build-id>]          Stop a running build. Provide <build-id> if more than one "
        "build is executing.",
        "  /STOPALL                    Stop all running builds.",
        "  /LIST                       Show <build-id> list of all currently running builds.",
        "  /BEEP                       Play a sound when the build completes",
        "  /TITLE=\"<text>\"             Adds a line of text to build output and log file",
        "  /QUERYAGENTSTATUS           Display all Agent services status",
        "  /CLEARBUILDCACHE            Clear all Build Cache data on this machine",
        "  /BUILDCACHEREMOTESERVER=server:port",
        "                              Use shared Build Cache endpoint",
        "  /BUILDCACHECLUSTER=<cluster_name>",
        "                              Use shared Build Cache cluster",
        "  /BUILDCACHELOCAL=[ON|OFF]   Use local Build Cache endpoint",
        "  /BUILDCACHEREADONLY=[ON|OFF]",
        "                              Use Build Cache in Read-Only mode",
        "  /BuildCacheProfile=<filename>",
        "                              Build Cache Profile path",
        "  /FREECOMPLETEDTASKS=[ON|OFF]",
        "                              Use with big projects to improve memory performance",
        "  /CLANGPATHCONVERT=1         When using Clang use this flag to convert file's path "
        "properly.",
        "  /MAXCONCURRENTPDBS          Limit concurrent PDB file instances ",
        "  /MAXFILESYNCTHREADS         The max number of threads that will be used for a single "
        "file transfer between an initiator and a helper",
        "  /MAXPARALLELLINKTARGETS     Max number of CPU/Cores for parallel linking",
        "  /NEEDEDHELPERSHISTORYTIMESEC=40",
        "                              The Initiator will check what was the max. number of "
        "helpers it needed, during the last number of seconds defined (example: last 40 seconds)",
        "",
        "  /ROOTTASKAWARE[=ON|OFF|TRUE|FALSE|1|0]",
        "                              Take into account (assuming build failed) only errors from "
        "the root task.",
        "                              This option is applicable for build tools only, i.e.: "
        "make, nant, msbuild, etc.",
        "",
        "  /HELP /?                    Display brief usage message",
        "",
        "Orvane Console Options:",
        "",
        "  /COMMAND=\"<command line>\"   Command line of job to intercept",
        "  /ALLOWINTERCEPT=<filename1[,filename2,...]>",
        "                              Names of tools to intercept (e.g. \"make\")",
        "  /ALLOWREMOTE=<filename1[,filename2,...]>",
        "                              Names of tools to be remotely executed",
        "  /TEST=<testframework>       Specify Unit Test Framewok. Check documentation for list of "
        "supported UnitTest frameworks",
        "",
        "",
    };
    for (const std::string& line : lines) {
        WriteLine(line);
    }
}

} // namespace qz::nv
