#pragma once

// Build classes: the short word of a request that tells the build system what kind of job it
// runs and tells the consoles which of them may run it, derived from the job file's extension.
// Also the build title that names a build in title macros.

#include "CM/BuildCommandPackets.h"

#include <string>
#include <string_view>

namespace qz::nv {

/// The class of a job file by its extension (ASCII letters without case): ".dsp"/".dsw" "vc6",
/// ".vcp"/".vcw" "evc4", ".sln"/".vcproj"/".icproj"/".vcxproj"/".proj" a Visual Studio class
/// ("vc" + vsVersion when a version is given, else "VC7"), ".xml"/".xpx" "xml", ".bat"/".cmd"
/// "wrap". useMSBuild and useEnv only choose among Visual Studio classes, which this console
/// refuses anyway. Any other extension or none raises Exception "Unknown file type: <name>".
std::string BuildClassOf(std::string_view fileName, std::string_view vsVersion = {},
                         bool useMSBuild = false, bool useEnv = false);

/// The class begins with "evc4" or "vc" (ASCII letters without case): a job of the solution
/// console.
bool IsSolutionClass(std::string_view buildClass);

/// The class is "xml" or "wrap" (without case): a class this console builds.
bool IsCustomToolsClass(std::string_view buildClass);

/// The request's Caption when it is not empty; otherwise the job file name without folder and
/// extension, its first letter in upper case when the whole job path is ASCII. Empty without
/// caption and job file.
std::string BuildTitle(const TBuildCommandPacket& request);

} // namespace qz::nv
