// Fuzzes what the build cache service parses of a request: the route of a method and path, a
// manifest body, and a recorded-output blob. Nothing may crash or hang; a manifest that parses
// must survive writing and reading again unchanged, and so must a recorded output.

#include "CacheProtocol.h"
#include "CacheServer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qz::buildcache;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first line is "METHOD PATH", the rest the body.
    std::size_t lineEnd = input.find('\n');
    std::string_view line = input.substr(0, lineEnd);
    std::string_view body =
        lineEnd == std::string_view::npos ? std::string_view() : input.substr(lineEnd + 1);
    std::size_t blank = line.find(' ');
    std::string_view method = line.substr(0, blank);
    std::string_view path =
        blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    int status = 0;
    std::string why;
    std::optional<Route> route = ParseRoute(method, path, status, why);
    if (route) {
        if (route->kind != RouteKind::Stats && !IsDigest(route->name)) {
            std::abort();
        }
    } else if (status < 400 || status > 499 || why.empty()) {
        std::abort();
    }
    std::optional<Manifest> manifest = ParseManifest(body, why);
    if (manifest) {
        std::string text = ManifestToText(*manifest);
        std::optional<Manifest> again = ParseManifest(text, why);
        if (!again || ManifestToText(*again) != text) {
            std::abort();
        }
    }
    std::optional<RecordedOutput> output = DecodeOutput(body);
    if (output && EncodeOutput(*output) != body) {
        std::abort();
    }
    return 0;
}
