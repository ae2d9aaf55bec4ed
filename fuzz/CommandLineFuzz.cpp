// Fuzzes the command-line readers with what a user controls: the command line itself, option
// files named with "@" (which may name each other), and the extra-parameters variable
// "qzConsoleParams". The input holds up to four parts separated by NUL bytes: the command line,
// the option files "a.opt" and "b.opt", and the variable's value.

#include "CM/EnvUtils.h"
#include "FuzzSupport.h"
#include "NV/CmdLine.h"
#include "NV/GridConsoleCore.h"
#include "platform/ProcessInfo.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A console that neither reaches a service nor writes anything.
class QuietConsole : public qz::nv::TGridConsole {
public:
    QuietConsole() : TGridConsole("Fuzz Console", qz::nv::CustomToolsMode) {}

protected:
    bool ConnectToService() override { return false; }
    void WriteStandard(const std::string&, bool) override {}
};

std::vector<std::string> Parts(std::string_view input) {
    std::vector<std::string> parts;
    while (parts.size() < 3) {
        std::size_t nul = input.find('\0');
        if (nul == std::string_view::npos) {
            break;
        }
        parts.emplace_back(input.substr(0, nul));
        input.remove_prefix(nul + 1);
    }
    parts.emplace_back(input);
    parts.resize(4);
    return parts;
}

void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << content;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool inScratch = chdir(qz::fuzz::ScratchFolder().c_str()) == 0;
    if (!inScratch) {
        std::abort();
    }
    std::vector<std::string> parts =
        Parts(std::string_view(reinterpret_cast<const char*>(data), size));
    WriteFile("a.opt", parts[1]);
    WriteFile("b.opt", parts[2]);

    try {
        std::vector<std::string> raw;
        std::vector<std::string> tokens = qz::SplitCommandLine(parts[0], &raw);
        if (raw.size() != tokens.size()) {
            qz::fuzz::Disagree("a token without its raw text");
        }
        (void)qz::nv::TokenizeCommandLine(parts[0]);
        qz::nv::TCmdLineParser parser(parts[0]);
        (void)parser.SwitchValue("TITLE");
    } catch (const qz::Exception& error) {
        qz::fuzz::Check(error);
    }

    try {
        std::vector<std::string> args = qz::SplitCommandLine(parts[0]);
        args.insert(args.begin(), "/usr/bin/qzConsole");
        qz::platform::SetProcessArguments(args);
        setenv("qzConsoleParams", parts[3].c_str(), 1);
        QuietConsole console;
        console.ParseCommandLine();
    } catch (const qz::Exception& error) {
        qz::fuzz::Check(error);
    }
    unsetenv("qzConsoleParams");
    return 0;
}
