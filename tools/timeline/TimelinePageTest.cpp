#include "TimelinePage.h"

#include "CM/Exceptions.h"
#include "SampleBuild.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace qz::timeline {
namespace {

const bool g_registered = (RegisterAllPacketClasses(), true);

std::string Json(std::string_view text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
}

TEST(TimelineJsonString, EscapesWhatCouldEndTheScriptElementOrTheString) {
    EXPECT_EQ(Json("</script><!--&"), R"("\u003c/script\u003e\u003c!--\u0026")");
    EXPECT_EQ(Json("a\"b\\c\r\n\t\x01\x7f"), R"("a\"b\\c\r\n\t\u0001\u007f")");
    EXPECT_EQ(Json("\xE2\x80\xA8|\xE2\x80\xA9"), R"("\u2028|\u2029")");
    EXPECT_EQ(Json(std::string("nul\0end", 7)), R"("nul\u0000end")");
}

TEST(TimelineJsonString, KeepsGoodUtf8AndReplacesEachBadSequenceKeepingWhatFollows) {
    EXPECT_EQ(Json("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "\"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80\"");
    EXPECT_EQ(Json("\xC3"
                   "A"),
              R"("\ufffdA")");                                    // cut short
    EXPECT_EQ(Json("\xC0\xAF"), R"("\ufffd\ufffd")");             // overlong "/"
    EXPECT_EQ(Json("\xED\xA0\x80x"), R"("\ufffd\ufffd\ufffdx")"); // surrogate
    EXPECT_EQ(Json("\xF4\x90\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd")");
    EXPECT_EQ(Json("end\xE2\x82"), R"("end\ufffd\ufffd")");
}

// The page's string table decoded as the page does it.
std::vector<std::string> Strings(const nlohmann::json& json) {
    std::vector<std::string> strings;
    for (const auto& entry : json["strings"]) {
        if (entry.is_array()) {
            strings.push_back(strings.back().substr(0, entry[0].get<std::size_t>()) +
                              entry[1].get<std::string>());
        } else {
            strings.push_back(entry.get<std::string>());
        }
    }
    return strings;
}

SampleBuild HostileBuild() {
    SampleBuild build;
    build.caption = "</script><script>alert('caption')</script>";
    build.workers = {"<img src=x onerror=alert(1)>"};
    SampleTask task;
    task.name = "<b>bold</b> & \"quoted\"";
    task.cmdLine = "cc '</SCRIPT >' <!-- \xE2\x80\xA8 \xFF";
    task.beginMs = 1;
    task.endMs = 9;
    task.exitCode = 2;
    task.errOutput = "</script><script>alert('output')</script>\r\n";
    build.tasks.push_back(task);
    return build;
}

class TimelinePageTest : public testing::Test {
protected:
    BuildTimeline Read(const SampleBuild& build) {
        WriteSampleMonitorFile(m_dir / "b.nv_mon", build);
        return ReadBuildTimeline(m_dir / "b.nv_mon");
    }
    test::TempDir m_dir;
};

TEST_F(TimelinePageTest, HostileTextsStayInsideTheDataAndComeBackUnchanged) {
    BuildTimeline timeline = Read(HostileBuild());
    std::string page = TimelinePageText(timeline, "b.nv_mon");

    // The data sits between the data element's tags, and nothing in it closes an element.
    std::string open = R"(<script type="application/json" id="timeline-data">)";
    std::size_t start = page.find(open);
    ASSERT_NE(start, std::string::npos);
    start += open.size();
    std::size_t end = page.find("</script>", start);
    ASSERT_NE(end, std::string::npos);
    std::string data = page.substr(start, end - start);
    EXPECT_EQ(data.find('<'), std::string::npos);
    EXPECT_EQ(data.find('>'), std::string::npos);
    EXPECT_EQ(data, TimelineJson(timeline, "b.nv_mon"));

    nlohmann::json json = nlohmann::json::parse(data);
    std::vector<std::string> strings = Strings(json);
    EXPECT_EQ(json["build"]["caption"], HostileBuild().caption);
    EXPECT_EQ(json["workers"]["caption"][0], HostileBuild().workers[0]);
    EXPECT_EQ(strings[json["tasks"]["name"][0].get<int>()], HostileBuild().tasks[0].name);
    EXPECT_EQ(strings[json["tasks"]["cmdLine"][0].get<int>()],
              "cc '</SCRIPT >' <!-- \xE2\x80\xA8 \xEF\xBF\xBD");
    EXPECT_EQ(strings[json["outputs"]["errText"][0].get<int>()], HostileBuild().tasks[0].errOutput);
    EXPECT_EQ(json["tasks"]["state"][0], static_cast<int>(TaskState::Failed));
    EXPECT_EQ(json["tasks"]["exitCode"][0], 2);
}

TEST_F(TimelinePageTest, SharedTextsAreStoredOnceAndMissingExitCodesAreNull) {
    SampleBuild build = GeneratedBuild(50, 2);
    for (SampleTask& task : build.tasks) {
        task.cmdLine = "make -C lib";
    }
    nlohmann::json json = nlohmann::json::parse(TimelineJson(Read(build), "b"));
    const auto& cmd = json["tasks"]["cmdLine"];
    EXPECT_EQ(std::count(cmd.begin(), cmd.end(), cmd[0]), 50);
    EXPECT_EQ(Strings(json)[cmd[0].get<int>()], "make -C lib");

    TimelineBuilder builder;
    auto begin = FindPacketClassByName("TMonitorEventBeginStepPacket")->Create();
    builder.AddEvent(*begin);
    nlohmann::json open = nlohmann::json::parse(TimelineJson(builder.Finish(), "b"));
    EXPECT_TRUE(open["tasks"]["exitCode"][0].is_null());
    EXPECT_EQ(open["build"]["state"], "unfinished");
}

TEST_F(TimelinePageTest, TextsSharingTheirStartComeBackWhole) {
    // Shared starts count ASCII only: the page counts UTF-16 characters, the writer bytes.
    SampleBuild build = GeneratedBuild(4, 1);
    build.tasks[0].cmdLine = "/usr/bin/c++ -O2 -DNAME=\"Gr\xC3\xBC\xC3\x9F\" -c one.cpp -o one.o";
    build.tasks[1].cmdLine = "/usr/bin/c++ -O2 -DNAME=\"Gr\xC3\xBC\xC3\x9F\" -c two.cpp -o two.o";
    build.tasks[2].cmdLine = "/usr/bin/c++ -O2 -DNAME=\"Gr\xC3\xBC\xC3\x9F\" -c two.cpp -o two.o";
    build.tasks[3].cmdLine =
        "/usr/bin/c++ -O2 -DNAME=\"Gr\xC3\xBC\xC3\x9F\" -c fo\xC3\xBC.cpp -o x";
    nlohmann::json json = nlohmann::json::parse(TimelineJson(Read(build), "b"));
    std::vector<std::string> strings = Strings(json);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(strings[json["tasks"]["cmdLine"][i].get<std::size_t>()],
                  build.tasks[static_cast<std::size_t>(i)].cmdLine);
    }
    std::string text = json["strings"].dump();
    EXPECT_THAT(text, testing::HasSubstr("[27,"));
}

TEST_F(TimelinePageTest, TheTemplateIsCompleteAndFetchesNothing) {
    std::string page = TimelinePageText(Read(GeneratedBuild(3, 1)), "b");
    EXPECT_THAT(page, testing::StartsWith("<!DOCTYPE html>"));
    EXPECT_THAT(page, testing::HasSubstr("default-src 'none'"));
    EXPECT_THAT(page, testing::EndsWith("</html>\n"));
    EXPECT_EQ(page.find("http://"), std::string::npos);
    EXPECT_EQ(page.find("https://"), std::string::npos);
    EXPECT_EQ(page.find("@TIMELINE_DATA@"), std::string::npos);
    EXPECT_EQ(page.find("/*@SCRIPT@*/"), std::string::npos);
}

TEST_F(TimelinePageTest, AFailedWriteLeavesNoPage) {
    BuildTimeline timeline = Read(GeneratedBuild(3, 1));
    EXPECT_THROW(WriteTimelinePage(m_dir / "missing/folder/page.html", timeline, "b"), Exception);
    EXPECT_FALSE(test::ReadFile(m_dir / "missing/folder/page.html").has_value());
    WriteTimelinePage(m_dir / "page.html", timeline, "b");
    EXPECT_EQ(*test::ReadFile(m_dir / "page.html"), TimelinePageText(timeline, "b"));
}

TEST_F(TimelinePageTest, TwentyThousandTasksMakeAPageUnderTenMegabytes) {
    BuildTimeline timeline = Read(GeneratedBuild(20000, 16));
    ASSERT_EQ(timeline.tasks.size(), 20000u);
    EXPECT_LT(TimelinePageText(timeline, "b.nv_mon").size(), 10'000'000u);
}

} // namespace
} // namespace qz::timeline
