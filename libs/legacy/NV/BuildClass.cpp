#include "BuildClass.h"

#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/Format.h"

#include <algorithm>

namespace qz::nv {

std::string BuildClassOf(std::string_view fileName, std::string_view vsVersion, bool useMSBuild,
                         bool useEnv) {
    // The Visual Studio classes are told apart by the solution console, which reads the files;
    // here any class beginning with "vc" leads to the refusal.
    (void)useMSBuild;
    (void)useEnv;
    if (PathHasAnyExtension(fileName, {".dsp", ".dsw"})) {
        return "vc6";
    }
    if (PathHasAnyExtension(fileName, {".vcp", ".vcw"})) {
        return "evc4";
    }
    if (PathHasAnyExtension(fileName, {".sln", ".vcproj", ".icproj", ".vcxproj", ".proj"})) {
        return vsVersion.empty() ? std::string("VC7") : "vc" + std::string(vsVersion);
    }
    if (PathHasAnyExtension(fileName, {".xml", ".xpx"})) {
        return "xml";
    }
    if (PathHasAnyExtension(fileName, {".bat", ".cmd"})) {
        return "wrap";
    }
    Raise(Format("Unknown file type: %s", std::string(fileName)));
}

bool IsSolutionClass(std::string_view buildClass) {
    return TextStartsAt(buildClass, 1, "evc4", false) || TextStartsAt(buildClass, 1, "vc", false);
}

bool IsCustomToolsClass(std::string_view buildClass) {
    return SameTextAscii(buildClass, "xml") || SameTextAscii(buildClass, "wrap");
}

std::string BuildTitle(const TBuildCommandPacket& request) {
    const std::string& caption = request.Str(TBuildCommandPacket::Caption);
    if (!caption.empty()) {
        return caption;
    }
    const std::string& path = request.Str(TBuildCommandPacket::PrimaryFilename);
    std::string title = PathBaseName(path);
    bool ascii = std::all_of(path.begin(), path.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii && !title.empty() && title[0] >= 'a' && title[0] <= 'z') {
        title[0] = static_cast<char>(title[0] - 'a' + 'A');
    }
    return title;
}

} // namespace qz::nv
