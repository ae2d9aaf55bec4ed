// qzdump timeline as a user runs it, and its page in a real headless browser (Debian's
// chromium, always offline: every request would go to a closed local port and every host name
// is unresolvable).

#include "CM/EnvUtils.h"
#include "CM/Packets.h"
#include "TestSupport.h"
#include "timeline/SampleBuild.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace {

using qz::test::RunProgram;
using qz::test::TempDir;
using testing::HasSubstr;

const bool g_registered = (qz::RegisterAllPacketClasses(), true);

// A small build with a failed task, output, an unfinished-looking worker name and hostile text
// wherever the build's texts reach the page.
qz::timeline::SampleBuild SampleBuild() {
    qz::timeline::SampleBuild build;
    build.caption = "</script><script>document.title='pwned'</script> sample";
    build.workers = {"builder (slot 1)", "builder (slot 2)", "<img src=x onerror=alert(1)>"};
    auto task = [&](int worker, int begin, int end, std::string name, int exitCode) {
        qz::timeline::SampleTask t;
        t.worker = worker;
        t.beginMs = begin;
        t.endMs = end;
        t.name = std::move(name);
        t.cmdLine = "/usr/bin/c++ -c " + t.name + " -o " + t.name + ".o";
        t.exitCode = exitCode;
        build.tasks.push_back(t);
    };
    task(0, 0, 4000, "core/strings.cpp", 0);
    task(1, 0, 2500, "core/lists.cpp", 0);
    task(2, 100, 3000, "net/<b>socket</b>.cpp", 0);
    task(1, 2600, 7000, "net/broken.cpp", 1);
    build.tasks.back().errOutput = "net/broken.cpp:3:1: error: '</script>' unexpected\r\n";
    task(0, 4100, 9000, "app/main.cpp", 0);
    task(2, 3100, 8000, "app/view.cpp", 0);
    build.tasks.back().output = "app/view.cpp: note: <!-- not a comment -->\r\n";
    return build;
}

std::string Chromium() {
    for (std::string path : {"/usr/bin/chromium", "/usr/lib/chromium/chromium"}) {
        if (qz::FileIsPresent(path)) {
            return path;
        }
    }
    return {};
}

// Runs the browser on a page with a fresh profile and no network.
qz::test::RunResult Browse(const std::string& chromium, const TempDir& dir,
                           std::vector<std::string> args) {
    std::filesystem::remove_all(dir / "profile");
    std::vector<std::string> argv = {chromium,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--user-data-dir=" + dir / "profile",
                                     "--proxy-server=127.0.0.1:9",
                                     "--host-resolver-rules=MAP * ~NOTFOUND",
                                     "--hide-scrollbars",
                                     "--force-device-scale-factor=1"};
    argv.insert(argv.end(), args.begin(), args.end());
    qz::test::RunOptions options;
    options.timeout = std::chrono::seconds(120);
    options.env["HOME"] = dir.path();
    return RunProgram(argv, options);
}

// The page's own report of what it drew (the "#selftest" element of the dumped DOM).
nlohmann::json SelfTest(const std::string& dom) {
    std::string open = "<pre id=\"selftest\">";
    std::size_t start = dom.find(open);
    if (start == std::string::npos) {
        return nullptr;
    }
    start += open.size();
    std::string text = dom.substr(start, dom.find("</pre>", start) - start);
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 4, "&lt;") == 0) {
            plain += '<', i += 3;
        } else if (text.compare(i, 4, "&gt;") == 0) {
            plain += '>', i += 3;
        } else if (text.compare(i, 5, "&amp;") == 0) {
            plain += '&', i += 4;
        } else if (text.compare(i, 6, "&nbsp;") == 0) {
            plain += "\xC2\xA0", i += 5;
        } else {
            plain += text[i];
        }
    }
    return nlohmann::json::parse(plain);
}

TEST(TimelineBlackBox, WritesThePageAndReportsWhatItDrew) {
    TempDir dir;
    qz::timeline::WriteSampleMonitorFile(dir / "build.nv_mon", SampleBuild());
    auto result = RunProgram({QZDUMP_PATH, "timeline", dir / "build.nv_mon", dir / "page.html"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("6 tasks on 3 workers"));
    std::string page = *qz::test::ReadFile(dir / "page.html");
    EXPECT_THAT(page, HasSubstr("\\u003c/script\\u003e\\u003cscript\\u003edocument.title"));
    EXPECT_EQ(page.find("</script><script>document.title"), std::string::npos);
}

TEST(TimelineBlackBox, TheConsolesMonCopyIsReadLikeAnyMonitorFile) {
    // /MON names any file; the copy has the monitor file's layout whatever its name.
    TempDir dir;
    qz::timeline::WriteSampleMonitorFile(dir / "copy.mon", SampleBuild());
    auto result = RunProgram({QZDUMP_PATH, "timeline", dir / "copy.mon", dir / "page.html"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(qz::test::ReadFile(dir / "page.html").has_value());
}

TEST(TimelineBlackBox, DamagedOrTruncatedFilesGiveAnErrorAndNoPage) {
    TempDir dir;
    qz::timeline::WriteSampleMonitorFile(dir / "build.nv_mon", SampleBuild());
    std::string whole = *qz::test::ReadFile(dir / "build.nv_mon");
    for (std::size_t cut : {std::size_t{5}, whole.size() / 2, whole.size() - 3}) {
        qz::test::WriteFile(dir / "cut.nv_mon", whole.substr(0, cut));
        auto result = RunProgram({QZDUMP_PATH, "timeline", dir / "cut.nv_mon", dir / "page.html"});
        EXPECT_EQ(result.exitCode, 1) << cut;
        EXPECT_THAT(result.err, HasSubstr("Failed to read monitor file " + dir / "cut.nv_mon"));
        EXPECT_FALSE(qz::test::ReadFile(dir / "page.html").has_value()) << cut;
    }
    auto result = RunProgram({QZDUMP_PATH, "timeline", dir / "none.nv_mon", dir / "page.html"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Cannot open file"));
    result = RunProgram({QZDUMP_PATH, "timeline", dir / "build.nv_mon"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, HasSubstr("qzdump timeline --last OUT.html"));
}

TEST(TimelineBlackBox, LastTakesTheNewestMonitorFileOfTheAgentsHistory) {
    TempDir dir;
    std::string agent = dir / "agent";
    std::filesystem::create_directories(agent + "/History/Local/46000");
    std::filesystem::create_directories(agent + "/History/Local/46001");
    qz::timeline::SampleBuild old = SampleBuild();
    old.caption = "older build";
    qz::timeline::WriteSampleMonitorFile(agent + "/History/Local/46000/{A}.nv_mon", old);
    qz::timeline::WriteSampleMonitorFile(agent + "/History/Local/46001/{B}.nv_mon",
                                         qz::timeline::GeneratedBuild(20, 2));
    std::filesystem::last_write_time(agent + "/History/Local/46000/{A}.nv_mon",
                                     std::filesystem::file_time_type::clock::now() -
                                         std::chrono::hours(1));
    qz::test::WriteFile(dir / "HKLM.reg", "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n"
                                          "\"Folder\"=\"" +
                                              agent + "\"\n");
    qz::test::RunOptions options;
    options.env["TamrelRegistryRoot"] = dir.path();
    auto result = RunProgram({QZDUMP_PATH, "timeline", "--last", dir / "page.html"}, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("{B}.nv_mon"));
    EXPECT_THAT(*qz::test::ReadFile(dir / "page.html"), HasSubstr("Generated build of 20 tasks"));

    // Without an agent folder the user learns why.
    qz::test::WriteFile(dir / "HKLM.reg", "REGEDIT4\n");
    result = RunProgram({QZDUMP_PATH, "timeline", "--last", dir / "other.html"}, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Agent"));
    EXPECT_FALSE(qz::test::ReadFile(dir / "other.html").has_value());
}

TEST(TimelineBrowser, DrawsTheBarsAndTheFailedTaskInTheFailureColourOffline) {
    std::string chromium = Chromium();
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it); the "
                        "page was not checked in a browser";
    }
    TempDir dir;
    qz::timeline::WriteSampleMonitorFile(dir / "build.nv_mon", SampleBuild());
    ASSERT_EQ(
        RunProgram({QZDUMP_PATH, "timeline", dir / "build.nv_mon", dir / "page.html"}).exitCode, 0);
    std::string url = "file://" + dir / "page.html";

    auto result = Browse(
        chromium, dir,
        {"--window-size=1200,800", "--virtual-time-budget=5000", "--dump-dom", url + "#selftest"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    nlohmann::json report = SelfTest(result.out);
    ASSERT_FALSE(report.is_null()) << "the page did not finish drawing:\n" << result.out;
    EXPECT_EQ(report["tasks"], 6);
    EXPECT_EQ(report["rows"], 3);
    EXPECT_EQ(report["drawnBars"], 6);
    EXPECT_EQ(report["resources"], 0) << "the page fetched something";
    ASSERT_EQ(report["failed"].size(), 1u);
    EXPECT_EQ(report["failed"][0]["name"], "net/broken.cpp");
    EXPECT_EQ(report["failed"][0]["colour"], report["failureColour"]);
    EXPECT_EQ(report["succeeded"]["colour"], report["successColour"]);
    EXPECT_NE(report["failureColour"], report["successColour"]);
    // The failed task ran on the second row, after 2.6 s of 9 s.
    EXPECT_GT(report["failed"][0]["y"].get<double>(), report["succeeded"]["y"].get<double>());
    EXPECT_GT(report["failed"][0]["x"].get<double>(), report["succeeded"]["x"].get<double>());
    // Hovering the failed bar names it with its command line; clicking it shows its output.
    const auto& interaction = report["interaction"];
    EXPECT_EQ(interaction["hit"], true);
    EXPECT_THAT(interaction["tip"].get<std::string>(),
                HasSubstr("net/broken.cppfailed, 4.40 s, exit code 1on builder (slot 2)"));
    EXPECT_THAT(interaction["tip"].get<std::string>(), HasSubstr("/usr/bin/c++ -c net/broken.cpp"));
    EXPECT_EQ(interaction["detailsTitle"], "net/broken.cpp");
    EXPECT_THAT(interaction["detailsOutput"].get<std::string>(),
                HasSubstr("net/broken.cpp:3:1: error: '</script>' unexpected"));
    // Hostile texts are shown as text: nothing ran and no element was injected.
    EXPECT_EQ(report["caption"], SampleBuild().caption);
    EXPECT_THAT(result.out, testing::Not(HasSubstr("<img src=\"x\"")));
    EXPECT_THAT(result.out, testing::Not(HasSubstr("pwned</title>")));

    result =
        Browse(chromium, dir, {"--window-size=1200,800", "--screenshot=" + dir / "shot.png", url});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    auto png = qz::test::ReadFile(dir / "shot.png");
    ASSERT_TRUE(png.has_value()) << result.err;
    EXPECT_EQ(png->substr(0, 8), "\x89PNG\r\n\x1A\n");
    std::string keep = qz::GetEnv("QZ_TIMELINE_SCREENSHOT");
    if (!keep.empty()) {
        qz::test::WriteFile(keep, *png);
    }
}

TEST(TimelineBrowser, AnEmptyOrUnfinishedRecordingStillMakesAPage) {
    std::string chromium = Chromium();
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    }
    TempDir dir;
    qz::timeline::SampleBuild build;
    build.complete = false;
    qz::timeline::WriteSampleMonitorFile(dir / "empty.nv_mon", build);
    ASSERT_EQ(
        RunProgram({QZDUMP_PATH, "timeline", dir / "empty.nv_mon", dir / "page.html"}).exitCode, 0);
    auto result = Browse(
        chromium, dir,
        {"--virtual-time-budget=5000", "--dump-dom", "file://" + dir / "page.html#selftest"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    nlohmann::json report = SelfTest(result.out);
    ASSERT_FALSE(report.is_null()) << result.out;
    EXPECT_EQ(report["tasks"], 0);
    EXPECT_EQ(report["drawnBars"], 0);
}

} // namespace
