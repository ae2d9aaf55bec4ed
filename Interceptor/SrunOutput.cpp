#include "SrunOutput.h"

#include <charconv>
#include <iterator>
#include <optional>
#include <string>

namespace qz::intercept {
namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The texts srun gives for the signals that end a task (the C library's descriptions, as the
// nodes print them), by signal number.
constexpr std::string_view kSignalTexts[] = {
    "",
    "Hangup",
    "Interrupt",
    "Quit",
    "Illegal instruction",
    "Trace/breakpoint trap",
    "Aborted",
    "Bus error",
    "Floating point exception",
    "Killed",
    "User defined signal 1",
    "Segmentation fault",
    "User defined signal 2",
    "Broken pipe",
    "Alarm clock",
    "Terminated",
    "Stack fault",
    "Child exited",
    "Continued",
    "Stopped (signal)",
    "Stopped",
    "Stopped (tty input)",
    "Stopped (tty output)",
    "Urgent I/O condition",
    "CPU time limit exceeded",
    "File size limit exceeded",
    "Virtual timer expired",
    "Profiling timer expired",
    "Window changed",
    "I/O possible",
    "Power failure",
    "Bad system call",
};
constexpr int kFirstRealTimeSignal = 34;
constexpr int kLastSignal = 64;

// The signal a report's text names ("Segmentation fault", "Killed (core dumped)",
// "Real-time signal 3"); 0 for any other text.
int SignalOfText(std::string_view text) {
    constexpr std::string_view kCore = " (core dumped)";
    if (text.ends_with(kCore)) {
        text.remove_suffix(kCore.size());
    }
    for (int signal = 1; signal < static_cast<int>(std::size(kSignalTexts)); ++signal) {
        if (text == kSignalTexts[signal]) {
            return signal;
        }
    }
    constexpr std::string_view kRealTime = "Real-time signal ";
    if (text.starts_with(kRealTime)) {
        std::string_view digits = text.substr(kRealTime.size());
        int offset = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), offset);
        if (AllDigits(digits) && error == std::errc() && end == digits.data() + digits.size() &&
            offset <= kLastSignal - kFirstRealTimeSignal) {
            return kFirstRealTimeSignal + offset;
        }
    }
    return 0;
}

// A report line split: the node it names and its end text ("Exited with exit code 3",
// "Killed").
struct Report {
    std::string_view node;
    std::string_view text;
};

// The parts of a report of a step's end; std::nullopt for a line that is none.
std::optional<Report> ReportOf(std::string_view line) {
    constexpr std::string_view kPrefix = "srun: error: ";
    if (!line.starts_with(kPrefix)) {
        return std::nullopt;
    }
    line.remove_prefix(kPrefix.size());
    std::size_t colon = line.find(": task ");
    if (colon == 0 || colon == std::string_view::npos ||
        line.substr(0, colon).find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view node = line.substr(0, colon);
    line.remove_prefix(colon + 7);
    std::size_t end = line.find(": ");
    if (end == std::string_view::npos || !AllDigits(line.substr(0, end))) {
        return std::nullopt;
    }
    return Report{node, line.substr(end + 2)};
}

} // namespace

int StepEndSignal(std::string_view lines, std::string_view node, std::string_view separator) {
    int signal = 0;
    std::size_t begin = 0;
    while (begin < lines.size()) {
        std::size_t end = lines.find(separator, begin);
        if (end == std::string_view::npos) {
            end = lines.size();
        }
        auto report = ReportOf(lines.substr(begin, end - begin));
        if (report && report->node == node) {
            signal = SignalOfText(report->text);
        }
        begin = end + separator.size();
    }
    return signal;
}

bool IsStepEndReport(std::string_view line) {
    auto report = ReportOf(line);
    if (!report) {
        return false;
    }
    constexpr std::string_view kExited = "Exited with exit code ";
    return SignalOfText(report->text) != 0 ||
           (report->text.starts_with(kExited) && AllDigits(report->text.substr(kExited.size())));
}

std::string FilterStepOutput(std::string_view lines, std::string_view separator) {
    std::string kept;
    std::size_t begin = 0;
    bool first = true;
    while (begin <= lines.size()) {
        std::size_t end = lines.find(separator, begin);
        if (end == std::string_view::npos) {
            end = lines.size();
        }
        std::string_view line = lines.substr(begin, end - begin);
        if (!IsStepEndReport(line)) {
            if (!first) {
                kept.append(separator);
            }
            kept.append(line);
            first = false;
        }
        begin = end + separator.size();
    }
    return kept;
}

bool IsSlurmFailureLine(std::string_view line) {
    if (!line.starts_with("srun: error: ")) {
        return false;
    }
    for (std::string_view sign :
         {"Unable to create step", "Task launch for", "Communication connection failure",
          "Node failure", "Unable to contact", "Job step aborted", "step creation"}) {
        if (line.find(sign) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

bool HasSlurmFailureLine(std::string_view lines, std::string_view separator) {
    std::size_t begin = 0;
    while (begin <= lines.size()) {
        std::size_t end = lines.find(separator, begin);
        if (end == std::string_view::npos) {
            end = lines.size();
        }
        if (IsSlurmFailureLine(lines.substr(begin, end - begin))) {
            return true;
        }
        begin = end + separator.size();
    }
    return false;
}

} // namespace qz::intercept
