// Build classes of job files and the build title.

#include "BuildClass.h"

#include "CM/Exceptions.h"

#include <gtest/gtest.h>

namespace qz::nv {
namespace {

TEST(BuildClass, ExtensionsGiveTheirClassesWithoutRegardToCase) {
    EXPECT_EQ(BuildClassOf("/x/JOB.XML"), "xml");
    EXPECT_EQ(BuildClassOf("job.Xpx"), "xml");
    EXPECT_EQ(BuildClassOf("build.CMD"), "wrap");
    EXPECT_EQ(BuildClassOf("run.bat"), "wrap");
    EXPECT_EQ(BuildClassOf("p.dsp"), "vc6");
    EXPECT_EQ(BuildClassOf("w.DSW"), "vc6");
    EXPECT_EQ(BuildClassOf("p.vcp"), "evc4");
    EXPECT_EQ(BuildClassOf("w.vcw"), "evc4");
    for (const char* name : {"a.sln", "a.vcproj", "a.icproj", "a.VCXPROJ", "a.proj"}) {
        EXPECT_TRUE(IsSolutionClass(BuildClassOf(name))) << name;
        EXPECT_TRUE(IsSolutionClass(BuildClassOf(name, "14", true, true))) << name;
    }
    EXPECT_EQ(BuildClassOf("a.sln", "14"), "vc14");
}

TEST(BuildClass, UnknownTypesNameTheFile) {
    for (const char* name : {"/j/job.txt", "/j/job", "/j.d/job", "/j/job."}) {
        try {
            BuildClassOf(name);
            ADD_FAILURE() << name;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), std::string("Unknown file type: ") + name);
        }
    }
}

TEST(BuildClass, Predicates) {
    for (const char* cls : {"vc6", "VC7", "vc14", "evc4", "EVC4x"}) {
        EXPECT_TRUE(IsSolutionClass(cls)) << cls;
    }
    for (const char* cls : {"xml", "wrap", "test", "v", "", "evc"}) {
        EXPECT_FALSE(IsSolutionClass(cls)) << cls;
    }
    EXPECT_TRUE(IsCustomToolsClass("XML"));
    EXPECT_TRUE(IsCustomToolsClass("Wrap"));
    EXPECT_FALSE(IsCustomToolsClass("test"));
    EXPECT_FALSE(IsCustomToolsClass("xmlx"));
}

TEST(BuildTitle, CaptionThenJobName) {
    TBuildCommandPacket request;
    EXPECT_EQ(BuildTitle(request), "");
    request.SetStr(TBuildCommandPacket::PrimaryFilename, "/w/nightly.build.xml");
    EXPECT_EQ(BuildTitle(request), "Nightly.build");
    request.SetStr(TBuildCommandPacket::PrimaryFilename, "/w/_x.xml");
    EXPECT_EQ(BuildTitle(request), "_x");
    // A non-ASCII character anywhere in the path keeps the name as it is.
    request.SetStr(TBuildCommandPacket::PrimaryFilename, "/w\xC3\xA9/nightly.xml");
    EXPECT_EQ(BuildTitle(request), "nightly");
    request.SetStr(TBuildCommandPacket::Caption, "Given");
    EXPECT_EQ(BuildTitle(request), "Given");
}

} // namespace
} // namespace qz::nv
