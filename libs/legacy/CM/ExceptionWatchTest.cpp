#include "ExceptionWatch.h"

#include "CallTraceUtils.h"
#include "DiagLog.h"
#include "EventLog.h"
#include "TestSupport.h"
#include "platform/Diagnostics.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace qz {
namespace {

class ExceptionWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        DiagLogReset();
        InstallExceptionWatch();
        DiagLogSetUp(file_, DiagLogSettings{});
    }
    void TearDown() override {
        SetExceptionEventLog(nullptr);
        DiagLogReset();
    }
    std::string Contents() { return test::ReadFile(file_).value_or(""); }
    static int Count(const std::string& text, const std::string& what) {
        int count = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++count;
        }
        return count;
    }

    test::TempDir dir_;
    std::string file_ = dir_ / "Logs/test.log";
};

void RaiseAndCatch(const std::function<void()>& raise) {
    try {
        raise();
    } catch (const Exception&) {
    }
}

TEST_F(ExceptionWatchTest, RaisedExceptionLeavesOneEntry) {
    RaiseAndCatch([] { throw ERangeError("index 7 out of bounds"); });
    std::string text = Contents();
    EXPECT_EQ(Count(text, "Raised Exception"), 1);
    std::string pattern = R"(^-{10}Raised Exception-{14}.{23}-{16}\r\n)"
                          R"(ERangeError PID=)" +
                          std::to_string(platform::diag::ProcessId()) +
                          " TID=" + std::to_string(platform::diag::ThreadId()) +
                          R"( Build=14861\r\n\r\nindex 7 out of bounds\r\n\r\n)"
                          R"(\(\$CALLTRACE:[0-9A-F]{16}:[0-9A-F][^)]*\)\r\n\r\n\r\n$)";
    EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << text;
}

TEST_F(ExceptionWatchTest, ClassesAbortsAndAssertions) {
    RaiseAndCatch([] { throw EOSError("os", 2); });
    RaiseAndCatch([] { throw EAbort(); });
    RaiseAndCatch([] { QZ_ASSERT(1 + 1 == 3); });
    RaiseAndCatch([] {
        try {
            throw Exception("inner");
        } catch (...) {
            RaiseWithContext("outer");
        }
    });
    std::string text = Contents();
    EXPECT_EQ(Count(text, "Raised Exception"), 4);
    EXPECT_NE(text.find("\r\nEOSError PID="), std::string::npos);
    EXPECT_EQ(text.find("EAbort"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nAssertion failure: 1 + 1 == 3\r\n\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nouter\r\ninner\r\n\r\n"), std::string::npos);
}

TEST_F(ExceptionWatchTest, QuietAndUnloggedScopesArePerThread) {
    {
        QuietScope quiet;
        RaiseAndCatch([] { throw Exception("quiet one"); });
        std::thread other([] { RaiseAndCatch([] { throw Exception("other thread"); }); });
        other.join();
    }
    {
        UnloggedExceptionsScope unlogged;
        RaiseAndCatch([] { throw Exception("unlogged one"); });
    }
    RaiseAndCatch([] { throw Exception("logged again"); });
    std::string text = Contents();
    EXPECT_EQ(text.find("quiet one"), std::string::npos);
    EXPECT_EQ(text.find("unlogged one"), std::string::npos);
    EXPECT_NE(text.find("other thread"), std::string::npos);
    EXPECT_NE(text.find("logged again"), std::string::npos);
    EXPECT_EQ(CurrentThreadLogState().quiet, 0);
    EXPECT_EQ(CurrentThreadLogState().exceptionLogging, 0);
}

TEST_F(ExceptionWatchTest, NamedThreadsAndLogOff) {
    RegisterThreadName(platform::diag::ThreadId(), "Main Thread");
    RaiseAndCatch([] { throw Exception("named"); });
    EXPECT_NE(Contents().find(" TID=Main Thread Build=14861"), std::string::npos);
    DiagLogReset();
    RaiseAndCatch([] { throw Exception("log is off"); });
    EXPECT_EQ(Contents().find("log is off"), std::string::npos);
}

class RecordingLog : public TEventLog {
public:
    void WriteEntry(const std::string& format, const std::vector<std::string>& args, int category,
                    int, const std::string&) override {
        if (fail) {
            fail = false;
            throw Exception("sink broken");
        }
        entries.push_back(format + "|" + (args.empty() ? "" : args[0]) + "|" +
                          std::to_string(category));
    }
    bool fail = false;
    std::vector<std::string> entries;
};

TEST_F(ExceptionWatchTest, EntriesAreCopiedToTheEventLog) {
    RecordingLog log;
    SetExceptionEventLog(&log);
    RaiseAndCatch([] { throw Exception("to the sink"); });
    ASSERT_GE(log.entries.size(), 5u);
    EXPECT_EQ(log.entries[1].substr(0, 10), "%s|Excepti");
    EXPECT_EQ(log.entries[3], "%s|to the sink|-1");
    log.fail = true;
    RaiseAndCatch([] { throw Exception("second"); });
    EXPECT_NE(Contents().find("Error writing exception to event log: sink broken\r\n"),
              std::string::npos);
}

TEST(EventLog, ViewsAndPermanence) {
    RecordingLog log;
    auto view = log.CreateView("Build");
    view->WriteEntry("f", {"a"}, -1, 0, "");
    view->WriteEntry("f", {"b"}, 4, 0, "");
    EXPECT_EQ(log.entries, (std::vector<std::string>{"f|a|-1", "f|b|4"}));
    log.Write("x\r\ny", true, 2, "src:");
    log.Write("z", false, 2, "src:");
    EXPECT_EQ(log.entries.back(), "src:%s|z|2");
    EXPECT_EQ(log.entries.size(), 5u);
    log.SetActive(false);
    EXPECT_THROW(log.CreateView("x"), Exception);
    std::unique_ptr<TEventLog> owned = std::make_unique<TEventLog>();
    owned->SetPermanent(true);
    try {
        FreeEventLog(owned);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Attempt to free a permanent event log object");
    }
    owned->SetPermanent(false);
    FreeEventLog(owned);
    EXPECT_EQ(owned, nullptr);
}

TEST(CallTrace, FoldsRepeatsAndDropsSharedPrefixes) {
    auto entries = FoldCallSites({0x00401234, 0x00401256, 0x00401256});
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(FormatCallTrace(0xABC, entries, 0), "($CALLTRACE:0000000000000ABC:401234,56*2)");
    EXPECT_EQ(FormatCallTrace(0xABC, entries, kCallTraceNoMarker), "0000000000000ABC:401234,56*2");
    // Equal neighbours that are not adjacent are separate entries; the last digit is always kept.
    EXPECT_EQ(FormatCallTrace(1, FoldCallSites({0x10, 0x10, 0x20, 0x10}), kCallTraceNoMarker),
              "0000000000000001:10*2,20,10");
    std::vector<std::uintptr_t> many(300);
    for (size_t i = 0; i < many.size(); ++i) {
        many[i] = 0x1000 + i;
    }
    EXPECT_EQ(FoldCallSites(many).size(), kCallTraceMaxEntries);
    std::vector<std::uintptr_t> same(kCallTraceMaxRepeat + 5, 0x42);
    EXPECT_EQ(FoldCallSites(same)[0].count, kCallTraceMaxRepeat);
}

TEST(CallTrace, FindsTheCallersOfTheCurrentFrame) {
    std::string trace = CallTrace(0, 0, kCallTraceNoMarker);
    std::string prefix = FormatCallTrace(CallTraceReference(), {}, kCallTraceNoMarker);
    ASSERT_EQ(trace.substr(0, prefix.size()), prefix);
    EXPECT_GT(trace.size(), prefix.size()) << trace; // at least the test runner's call sites
    EXPECT_EQ(CallTrace(0x1234, 0, 0).substr(29, 5), "1234,");
}

} // namespace
} // namespace qz
