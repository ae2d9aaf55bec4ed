#pragma once

// Turning a child's captured output into lines as a terminal shows them: a carriage return alone
// lets the next line overwrite the last one (progress counters), CR LF ends a line once, and a
// line that ends with the terminate marker ends the capture.

#include <string>
#include <string_view>
#include <vector>

namespace qz {

/// The marker a child writes at the end of a line to end the capture of its output.
inline constexpr std::string_view kTerminateOutputMarker = "___TamrelTerminateOutput___";

class TOutputLineCollector {
public:
    /// Adds a chunk of output. Returns false once the terminate marker was seen; later chunks
    /// are then ignored.
    bool Feed(std::string_view bytes);

    /// The end of the output: a non-empty unfinished line becomes the last line.
    void Finish();

    const std::vector<std::string>& Lines() const { return lines_; }
    bool Terminated() const { return terminated_; }

private:
    void AddLine(std::string_view line, bool endedByLoneCr);

    std::vector<std::string> lines_;
    std::string carry_;
    bool overwriteNext_ = false;
    bool terminated_ = false;
};

} // namespace qz
