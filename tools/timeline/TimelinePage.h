#pragma once

// The timeline page: one self-contained HTML file (inline style and script, nothing fetched)
// that draws a BuildTimeline. The page's markup, style and script are the files timeline.html,
// timeline.css and timeline.js of this folder, embedded at build time; only the build's data is
// put in, as one JSON object inside a non-executable script element. Every text of the build
// (captions, command lines, output) travels as a JSON string with "<", ">" and "&" escaped, so
// no text can close the element or become markup, and the page shows texts only as text.

#include "BuildTimeline.h"

#include <string>
#include <string_view>

namespace qz::timeline {

/// Appends text as a JSON string literal that is also safe inside an HTML script element:
/// quotes, backslashes and control characters are escaped, "<", ">", "&", U+2028 and U+2029
/// become \u escapes, and each malformed UTF-8 sequence becomes U+FFFD (the text after it is
/// kept).
void AppendJsonString(std::string& out, std::string_view text);

/// The build's data as one JSON object (the page's input), safe inside a script element.
std::string TimelineJson(const BuildTimeline& timeline, const std::string& sourceName);

/// The whole page.
std::string TimelinePageText(const BuildTimeline& timeline, const std::string& sourceName);

/// Writes the page to fileName. When writing fails, the partly written file is removed and the
/// error raised.
void WriteTimelinePage(const std::string& fileName, const BuildTimeline& timeline,
                       const std::string& sourceName);

} // namespace qz::timeline
