#include "SrunOutput.h"

namespace qz::intercept {
namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace

bool IsStepEndReport(std::string_view line) {
    constexpr std::string_view kPrefix = "srun: error: ";
    if (!line.starts_with(kPrefix)) {
        return false;
    }
    line.remove_prefix(kPrefix.size());
    std::size_t colon = line.find(": task ");
    if (colon == 0 || colon == std::string_view::npos ||
        line.substr(0, colon).find(' ') != std::string_view::npos) {
        return false;
    }
    line.remove_prefix(colon + 7);
    std::size_t end = line.find(": ");
    if (end == std::string_view::npos || !AllDigits(line.substr(0, end))) {
        return false;
    }
    line.remove_prefix(end + 2);
    constexpr std::string_view kExited = "Exited with exit code ";
    return line == "Killed" || line == "Terminated" ||
           (line.starts_with(kExited) && AllDigits(line.substr(kExited.size())));
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
