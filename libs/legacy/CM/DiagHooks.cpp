#include "DiagHooks.h"

namespace qz::diag {

namespace {

void NoText(std::string_view) {}
void NoSection(std::string_view, std::string_view) {}
std::string NoTrace() {
    return {};
}
std::string NoName(std::uint32_t) {
    return {};
}

} // namespace

void (*LogWaitWarning)(std::string_view text) = NoText;
void (*LogSection)(std::string_view header, std::string_view text) = NoSection;
void (*LogText)(std::string_view text) = NoText;
std::string (*CallTrace)() = NoTrace;
std::string (*ThreadName)(std::uint32_t threadId) = NoName;
std::string (*BuildNumber)() = NoTrace;

} // namespace qz::diag
