#include "OutputLines.h"

namespace qz {

void TOutputLineCollector::AddLine(std::string_view line, bool endedByLoneCr) {
    if (overwriteNext_ && !lines_.empty()) {
        std::string& last = lines_.back();
        if (line.size() >= last.size()) {
            last.assign(line);
        } else {
            last.replace(0, line.size(), line);
        }
    } else {
        lines_.emplace_back(line);
    }
    overwriteNext_ = endedByLoneCr;
}

bool TOutputLineCollector::Feed(std::string_view bytes) {
    if (terminated_) {
        return false;
    }
    carry_.append(bytes);
    std::string_view text(carry_);
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        size_t end = i;
        bool loneCr = false;
        if (c == '\r') {
            size_t j = i;
            while (j < text.size() && text[j] == '\r') {
                ++j;
            }
            if (j == text.size()) {
                break; // an LF may still follow in the next chunk
            }
            if (text[j] == '\n') {
                i = j + 1;
            } else {
                loneCr = true;
                i = j;
            }
        } else {
            i = i + 1;
        }
        std::string_view line = text.substr(start, end - start);
        start = i;
        if (line.size() >= kTerminateOutputMarker.size() &&
            line.substr(line.size() - kTerminateOutputMarker.size()) == kTerminateOutputMarker) {
            line.remove_suffix(kTerminateOutputMarker.size());
            if (!line.empty()) {
                AddLine(line, false);
            }
            terminated_ = true;
            carry_.clear();
            return false;
        }
        AddLine(line, loneCr);
    }
    carry_.erase(0, start);
    return true;
}

void TOutputLineCollector::Finish() {
    if (terminated_) {
        return;
    }
    std::string_view rest(carry_);
    while (!rest.empty() && rest.back() == '\r') {
        rest.remove_suffix(1);
    }
    if (!rest.empty()) {
        AddLine(rest, false);
    }
    carry_.clear();
}

} // namespace qz
