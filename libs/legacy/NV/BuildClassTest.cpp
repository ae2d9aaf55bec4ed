// Build classes of job files and the build title.

#include "BuildClass.h"

#include "CM/Exceptions.h"

#include <gtest/gtest.h>

namespace qz::nv {
namespace {

TEST(BuildClass, ExtensionsAndPredicates) {
    const std::vector<std::pair<const char*, const char*>> rows = {
        {"/x/JOB.XML", "xml"}, {"job.Xpx", "xml"},  {"build.CMD", "wrap"}, {"r.bat", "wrap"},
        {"p.dsp", "vc6"},      {"w.DSW", "vc6"},    {"p.vcp", "evc4"},     {"w.vcw", "evc4"},
        {"a.sln", "VC7"},      {"a.vcproj", "VC7"}, {"a.icproj", "VC7"},   {"a.VCXPROJ", "VC7"},
        {"a.proj", "VC7"}};
    for (const auto& [name, cls] : rows) {
        EXPECT_EQ(BuildClassOf(name), cls) << name;
        EXPECT_NE(IsSolutionClass(cls), IsCustomToolsClass(cls)) << name;
    }
    EXPECT_EQ(BuildClassOf("a.sln", "14"), "vc14");
    EXPECT_FALSE(IsSolutionClass("test") || IsSolutionClass("evc") || IsCustomToolsClass("test"));
    for (const char* name : {"/j/job.txt", "/j/job", "/j.d/job"}) {
        try {
            BuildClassOf(name);
            ADD_FAILURE() << name;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), std::string("Unknown file type: ") + name);
        }
    }
}

TEST(BuildTitle, CaptionThenJobName) {
    TBuildCommandPacket request;
    EXPECT_EQ(BuildTitle(request), "");
    request.SetStr(TBuildCommandPacket::PrimaryFilename, "/w/nightly.build.xml");
    EXPECT_EQ(BuildTitle(request), "Nightly.build");
    request.SetStr(TBuildCommandPacket::PrimaryFilename, "/w\xC3\xA9/nightly.xml");
    EXPECT_EQ(BuildTitle(request), "nightly"); // non-ASCII path: unchanged
    request.SetStr(TBuildCommandPacket::Caption, "Given");
    EXPECT_EQ(BuildTitle(request), "Given");
}

} // namespace
} // namespace qz::nv
