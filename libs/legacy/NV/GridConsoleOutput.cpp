// The console's output: WriteLine and its three sinks, the banner, the build log and its
// header, title macros, and the waiting and progress lines.

#include "BuildClass.h"
#include "BuildFlags.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/Format.h"
#include "CM/NotifyQueue.h"
#include "CM/StreamUtils.h"
#include "CmdLine.h"
#include "GridConsoleCore.h"
#include "WinVersions.h"
#include "platform/Console.h"
#include "platform/ProcessInfo.h"

#include <array>
#include <cstdio>

namespace qz::nv {

namespace {

// The folder part of a path typed relative to the start directory.
std::string ResolvedFolder(const std::string& startDirectory, const std::string& path) {
    return PathFolder(PathResolve(startDirectory, path));
}

} // namespace

void TGridConsole::WriteLine(const std::string& text, bool toStdErr) {
    std::string line = text + "\r\n";
    if (logStream_) {
        logStream_->WriteBuffer(line.data(), static_cast<std::int64_t>(line.size()));
    }
    if (silent_) {
        return;
    }
    if (outEnabled_ && !outPath_.empty()) {
        if (!outStream_) {
            outStream_ = std::make_unique<TFileStreamEx>(outPath_, FileMode::Create);
        }
        outStream_->Seek(0, SeekOrigin::End);
        outStream_->WriteBuffer(line.data(), static_cast<std::int64_t>(line.size()));
        return;
    }
    WriteStandard(line, toStdErr);
}

void TGridConsole::WriteStandard(const std::string& line, bool toStdErr) {
    // While build events are relayed, lines are gathered and written once per pass of the
    // reader (or per MiB); a change of stream writes what came before, so the order holds.
    if (!pendingStandard_.empty() && pendingToStdErr_ != toStdErr) {
        FlushStandard();
    }
    pendingToStdErr_ = toStdErr;
    pendingStandard_ += line;
    if (!gatherStandard_ || pendingStandard_.size() >= kGatherLimit) {
        FlushStandard();
    }
}

void TGridConsole::FlushStandard() {
    if (pendingStandard_.empty()) {
        return;
    }
    platform::WriteStdHandle(pendingToStdErr_ ? platform::StdHandle::Error
                                              : platform::StdHandle::Output,
                             pendingStandard_);
    pendingStandard_.clear();
}

void TGridConsole::ExpandTitleMacros(std::string& path) const {
    QZ_ASSERT(titleReady_);
    static constexpr std::array<std::string_view, 3> kMacros{"$(Title)", "$[Title]", "${Title}"};
    const std::string title = BuildTitle(buildCommand_);
    std::string result;
    size_t i = 0;
    while (i < path.size()) {
        bool replaced = false;
        for (std::string_view macro : kMacros) {
            if (TextStartsAt(path, i + 1, macro, false)) {
                result += title;
                i += macro.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            result += path[i++];
        }
    }
    path = std::move(result);
}

void TGridConsole::ShowWaitingLine(const std::string& reason) {
    if (waitingShown_) {
        return;
    }
    WriteLine("\r\n" + reason + "\r\nWaiting for a build to complete...");
    waitingShown_ = true;
}

void TGridConsole::ShowProgressLine(int percent) {
    if (!stdOutIsConsole_ || silent_) {
        return;
    }
    std::fputs(Format("Progress: %3d%%\r", percent).c_str(), stdout);
    std::fflush(stdout);
}

void TGridConsole::ClearProgressLine() {
    if (waitingShown_) {
        WriteLine(std::string(25, ' ') + "\r\n");
    }
}

void TGridConsole::ShowBanner() {
    const std::string copyright = "Copyright (C) Tamrel. All rights reserved.";
    std::string dashes(std::max(title_.size(), copyright.size()), '-');
    std::string banner =
        "\r\n" + dashes + "\r\n" + title_ + "\r\n" + copyright + "\r\n" + dashes + "\r\n\r\n\n";
    std::fputs(banner.c_str(), stdout);
    std::fflush(stdout);
}

void TGridConsole::OpenBuildLog() {
    std::string path = options_.ValueOf("log");
    if (path.empty() && !TakeBareSwitch("log")) {
        return;
    }
    options_.RemoveName("log");
    if (path.empty()) {
        path = "NV_" + PathChangeExtension(PathFileName(PrimaryFilename()), ".log");
    } else {
        path = PathResolve(startDirectory_, path);
    }
    if (PathExtension(path).empty()) {
        path += ".log";
    }
    ExpandTitleMacros(path);
    logPath_ = path;

    std::string folder = ResolvedFolder(startDirectory_, path);
    try {
        ForceFolders(folder);
    } catch (const Exception&) {
        RaiseWithContext("Unable to create log file directory: " + folder);
    }
    // Created empty first, then held for writing while other processes may read it.
    TFileStreamEx(path, FileMode::Create);
    logStream_ = std::make_unique<TFileStreamEx>(path, FileMode::Write | FileMode::ShareDenyWrite);
    WriteLogHeader();
}

void TGridConsole::WriteLogHeader() {
    const std::string stamp = NowText();
    const int length = static_cast<int>(title_.size());
    const std::string dashes(title_.size(), '-');
    const int blanks = length - 9 - static_cast<int>(stamp.size());
    std::string header = dashes + "\r\n" + title_ + "\r\n" + dashes + "\r\n" + "Build Log" +
                         std::string(blanks > 0 ? static_cast<size_t>(blanks) : 0, ' ') + stamp +
                         "\r\n" + dashes + "\r\n\r\n";
    logStream_->WriteBuffer(header.data(), static_cast<std::int64_t>(header.size()));
}

} // namespace qz::nv
