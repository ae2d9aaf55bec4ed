// The console's side of a build: build slots and their retries, the refusal under /NOWAIT, and
// the build's events and the Tasksmith exit that end the run.

#include "BuildFlags.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/Format.h"
#include "CM/LocalComm.h"
#include "CM/MonitorPackets.h"
#include "CM/NotifyQueue.h"
#include "CM/ServicePackets.h"
#include "GridConsoleCore.h"
#include "platform/ChildProcess.h"

#include <algorithm>

namespace qz::nv {

namespace {

using Req = TBuildCommandPacket;

constexpr std::int32_t kRetryInterval = 1000;

bool HasBit(std::uint64_t flags, int bit) {
    return (flags >> bit) & 1;
}

// Build output arrives as UTF-8; the console writes the system's ANSI code page. Plain ASCII is
// the same in every code page the system converts to, and most build output is plain ASCII.
std::string ToAnsi(const std::string& utf8) {
    bool ascii = std::all_of(utf8.begin(), utf8.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        return utf8;
    }
    return WideToCodePage(CodePageToWide(utf8, kCodePageUtf8), SystemAnsiCodePage());
}

int BiIssuerCode(const std::string& issuer) {
    if (SameTextAscii(issuer, "Eclipse")) {
        return 5;
    }
    if (SameTextAscii(issuer, "CLion")) {
        return 6;
    }
    if (SameTextAscii(issuer, "VSCode")) {
        return 7;
    }
    return 2;
}

} // namespace

void TGridConsole::DispatchBuild() {
    retryClock_ = TClock::CreateClock(kRetryInterval, false, [this](TClock&) { RetryBuildSlot(); });
    RequestBuildSlot();
}

std::unique_ptr<TBuildProxy> TGridConsole::NewBuildProxy() {
    return std::make_unique<TBuildProxy>(title_, "", pfWaitForTasksmith,
                                         [this](TPacket& event) { BuildEvent(event); });
}

std::string TGridConsole::ServiceHostName() const {
    if (!serviceStatus_) {
        return {};
    }
    return serviceStatus_->Nested(TQueryServiceStatusReplyPacket::StaticPacket)
        .Str(TStaticPacket::Host);
}

void TGridConsole::CreateBuildProxy() {
    buildProxy_.reset();
    buildProxy_ = NewBuildProxy();
    buildProxy_->SetOnProcessExit([this](TProcess& sender) { TasksmithExit(sender); });
    buildProxy_->SetOnEventsRead([this](bool reading) {
        gatherStandard_ = reading;
        if (!reading) {
            FlushStandard();
        }
    });
}

void TGridConsole::RequestBuildSlot() {
    // Processes of the build that lose Tasksmith come to us rather than to init (TasksmithExit).
    if (reapBuildProcesses_) {
        platform::BecomeChildSubreaper();
    }
    CreateBuildProxy();
    int result = buildProxy_->StartBuild(buildCommand_, exitCodeBaseSwitch_, 0);
    if (result == sjGranted) {
        ClearProgressLine();
        return;
    }
    std::string reason;
    int code = 0;
    switch (result) {
    case sjMaxBuildsReached:
        reason = "Maximum number of concurrent builds reached.";
        code = 4;
        break;
    case sjNotEnoughCores:
        reason = "Not enough CPU cores available for new build.";
        code = 5;
        break;
    case sjUpdatePending:
        reason = "Agent version update is pending.";
        code = 6;
        break;
    default:
        break;
    }
    if (wait_) {
        ShowWaitingLine(reason);
        ShowProgressLine(buildProxy_->Progress());
        if (retryClock_) {
            retryClock_->SetEnabled(true);
        }
        return;
    }

    auto activity = std::make_unique<TCoordBuildActivityInfo>();
    activity->SetInt(TCoordBuildActivityInfo::BuildStatusId, code == 4   ? 8
                                                             : code == 5 ? 16
                                                             : code == 6 ? 32
                                                                         : 0);
    activity->SetStr(TCoordBuildActivityInfo::BuildGuid, GuidToText(NewGuid()));
    activity->SetStr(TCoordBuildActivityInfo::BuildTitle, buildCommand_.Str(Req::Caption));
    activity->SetStr(TCoordBuildActivityInfo::AgentId, ServiceHostName());
    activity->SetStr(TCoordBuildActivityInfo::Command,
                     buildCommand_.Str(Req::SlnConsoleCommandLine));
    std::uint64_t flags = buildCommand_.Bits(Req::Flags);
    activity->SetInt(TCoordBuildActivityInfo::BuildTypeId, HasBit(flags, bfRebuild) ? 3
                                                           : HasBit(flags, bfClean) ? 2
                                                                                    : 1);
    activity->SetStr(TCoordBuildActivityInfo::BuildsetVersion, buildCommand_.Str(Req::BuildClass));
    activity->SetInt(TCoordBuildActivityInfo::BiIssuer,
                     BiIssuerCode(buildCommand_.Str(Req::BiIssuer)));
    ServicePost(std::move(activity));

    // A refusal the console has no words for is still a refusal: name the agent's result and
    // end as a failure, never with 0.
    if (code == 0) {
        reason = Format("The agent service refused the build slot (result %d).", result);
        code = 3;
    }
    WriteLine(reason);
    Finish(code);
}

void TGridConsole::RetryBuildSlot() {
    if (retryClock_) {
        retryClock_->SetEnabled(false);
    }
    // A service that has gone away is reported by its pipe's notification, which follows
    // shortly; another attempt would only hide it behind a failure to start the build.
    if (servicePipe_) {
        servicePipe_->Poll();
        if (servicePipe_->State() == psTerminated) {
            return;
        }
    }
    try {
        RequestBuildSlot();
    } catch (...) {
        Fatal(ExceptionMessage(std::current_exception()));
    }
}

void TGridConsole::BuildEvent(TPacket& event) {
    const TPacketClass& cls = event.Class();
    if (cls.InheritsFrom(TMonitorEventOutputPacket::StaticClass())) {
        const std::string& text = event.Str(TMonitorEventOutputPacket::Text);
        const std::string& errText = event.Str(TMonitorEventOutputPacket::ErrText);
        if (!text.empty()) {
            WriteLine(ToAnsi(text));
        }
        if (!errText.empty()) {
            WriteLine(ToAnsi(errText), true);
        }
    } else if (cls.InheritsFrom(TMonitorEventCompletePacket::StaticClass())) {
        if (++completionCount_ > 1) {
            TNotifyQueue::Main().StopLoop();
        }
    }
}

void TGridConsole::TasksmithExit(TProcess& sender) {
    SetExitCode(static_cast<int>(sender.ExitCode()));
    // A build whose events could not be read has lost its output here, whatever Tasksmith's own
    // result: it must not end as a success, and the reason is shown.
    if (sender.ExitCode() == 0 && buildProxy_ && !buildProxy_->Failure().empty()) {
        WriteLine(buildProxy_->Failure(), true);
        SetExitCode(3);
    }
    // Tasksmith ends every process of its build itself. Killed, it cannot: its tasks die with it,
    // and what they started comes to us (we are their reaper while a build runs) and ends here.
    // Each is asked first: the holder of a cluster allocation gives it back when asked, not when
    // killed.
    if (reapBuildProcesses_) {
        platform::KillRemainingChildren(2000, 3000);
    }
    if (++completionCount_ > 1) {
        TNotifyQueue::Main().StopLoop();
    }
}

} // namespace qz::nv
