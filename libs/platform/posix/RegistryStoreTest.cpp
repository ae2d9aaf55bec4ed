#include "platform/RegistryStore.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

namespace qz::platform {
namespace {

class RegistryStoreTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_.path()};
};

std::string ParseError(const std::string& text) {
    auto parsed = RegistryDocument::Parse(text, "HKLM.reg");
    EXPECT_FALSE(parsed) << text;
    return parsed ? std::string() : parsed.error().context;
}

TEST(RegistryDocument, GrammarRoundTrip) {
    const std::string text = "REGEDIT4\n"
                             "; written by hand\n"
                             "\n"
                             "  [SOFTWARE\\Tamrel\\Orvane\\Builder]  \r\n"
                             "\"Folder\"=\"/opt/orvane\"\n"
                             "\"Quote\"=\"say \\\"hi\\\" C:\\\\x\"\n"
                             "\"Path\"=str(2):\"$HOME/x\"\n"
                             "\"Count\"=DWORD:0000000C\n"
                             "\"Blob\"=hex:de,AD,be,ef\n"
                             "\"Empty\"=hex:\n"
                             "@=\"default\"\n"
                             "[SOFTWARE\\Other]\n";
    auto parsed = RegistryDocument::Parse(text, "HKLM.reg");
    ASSERT_TRUE(parsed) << parsed.error().context;
    RegistryDocument& document = *parsed;
    const std::string key = "software\\TAMREL\\orvane\\builder";
    ASSERT_NE(document.FindValue(key, "FOLDER"), nullptr);
    EXPECT_EQ(document.FindValue(key, "folder")->data, "/opt/orvane");
    EXPECT_EQ(document.FindValue(key, "Quote")->data, "say \"hi\" C:\\x");
    EXPECT_EQ(document.FindValue(key, "Path")->type, RegistryValueType::ExpandString);
    EXPECT_EQ(document.FindValue(key, "Count")->number, 12u);
    EXPECT_EQ(document.FindValue(key, "Blob")->data, "\xde\xad\xbe\xef");
    EXPECT_EQ(document.FindValue(key, "Empty")->data, "");
    EXPECT_EQ(document.FindValue(key, "")->data, "default");
    EXPECT_TRUE(document.KeyExists("SOFTWARE\\Tamrel"));
    EXPECT_TRUE(document.KeyExists("\\SOFTWARE\\"));
    EXPECT_FALSE(document.KeyExists("SOFTWARE\\Tam"));
    EXPECT_EQ(document.SubKeyNames("software"), (std::vector<std::string>{"Other", "Tamrel"}));

    std::string written = document.Serialise();
    auto again = RegistryDocument::Parse(written, "x");
    ASSERT_TRUE(again) << again.error().context;
    EXPECT_EQ(again->Serialise(), written);
    EXPECT_EQ(again->Values(key).size(), 7u);
    EXPECT_NE(written.find("\"Count\"=dword:0000000c\n"), std::string::npos);
    EXPECT_NE(written.find("\"Quote\"=\"say \\\"hi\\\" C:\\\\x\"\n"), std::string::npos);
}

TEST(RegistryDocument, BadLinesNameFileAndLine) {
    EXPECT_EQ(ParseError("REGEDIT4\n[A]\n\"x\"=dword:12\n"),
              "HKLM.reg, line 3: an integer needs exactly 8 hexadecimal digits");
    EXPECT_EQ(ParseError("\"x\"=\"1\"\n"),
              "HKLM.reg, line 1: a value line must follow a [key] line");
    EXPECT_EQ(ParseError("[A]\nFolder=1\n").substr(0, 17), "HKLM.reg, line 2:");
    EXPECT_EQ(ParseError("[A\\\\B]\n").substr(0, 17), "HKLM.reg, line 1:");
    EXPECT_EQ(ParseError("[A]\n\"x\"=\"a\\nb\"\n").substr(0, 17), "HKLM.reg, line 2:");
    EXPECT_EQ(ParseError("[A]\n\"x\"=hex:de,a\n").substr(0, 17), "HKLM.reg, line 2:");
    EXPECT_EQ(ParseError("[A]\n\"x\"=hex:de,\n").substr(0, 17), "HKLM.reg, line 2:");
    EXPECT_EQ(ParseError("[A]\n\"x\"=\"a\" junk\n").substr(0, 17), "HKLM.reg, line 2:");
    EXPECT_EQ(ParseError("[A]\n\"x\"=qword:1\n").substr(0, 17), "HKLM.reg, line 2:");
    // REGEDIT4 only counts as the first line.
    EXPECT_EQ(ParseError("[A]\nREGEDIT4\n").substr(0, 17), "HKLM.reg, line 2:");
}

TEST(RegistryDocument, TruncatedAnywhereIsRefusedOrAPrefix) {
    RegistryDocument document;
    ASSERT_TRUE(document.SetValue("SOFTWARE\\Tamrel\\Orvane\\Builder",
                                  {"Folder", RegistryValueType::String, "/opt/orvane", 0}));
    ASSERT_TRUE(document.SetValue("SOFTWARE\\Tamrel\\Orvane\\Builder",
                                  {"Level", RegistryValueType::Integer, "", 0x1234abcd}));
    ASSERT_TRUE(document.SetValue("SOFTWARE\\Tamrel\\Orvane\\Builder",
                                  {"Blob", RegistryValueType::Binary, "\x01\x02", 0}));
    std::string text = document.Serialise();
    // A cut inside a line never yields a different value: either the line is refused, or what
    // remains parses to the same values (a cut just after a closing quote).
    for (size_t cut = 1; cut < text.size(); ++cut) {
        if (text[cut - 1] == '\n') {
            continue;
        }
        auto partial = RegistryDocument::Parse(text.substr(0, cut), "HKLM.reg");
        if (!partial) {
            const std::string& error = partial.error().context;
            EXPECT_EQ(error.rfind("HKLM.reg, line ", 0), 0u) << error;
            continue;
        }
        for (const RegistryValue& value : partial->Values("SOFTWARE\\Tamrel\\Orvane\\Builder")) {
            const RegistryValue* full =
                document.FindValue("SOFTWARE\\Tamrel\\Orvane\\Builder", value.name);
            ASSERT_NE(full, nullptr);
            EXPECT_EQ(value.data, full->data) << "cut at " << cut;
            EXPECT_EQ(value.number, full->number) << "cut at " << cut;
        }
    }
}

TEST(RegistryDocument, RefusesTextThatWouldBreakTheFile) {
    RegistryDocument document;
    EXPECT_FALSE(document.SetValue("A", {"x", RegistryValueType::String, "two\nlines", 0}));
    EXPECT_FALSE(document.SetValue("A", {"x\r", RegistryValueType::String, "", 0}));
    EXPECT_FALSE(document.CreateKey("A\nB"));
    EXPECT_TRUE(document.SetValue("A", {"x", RegistryValueType::Binary, "two\nlines", 0}));
}

TEST(RegistryDocument, NamesCompareWithoutCaseAndKeepFirstSpelling) {
    RegistryDocument document;
    ASSERT_TRUE(document.SetValue("Software\\Tamrel", {"Folder", RegistryValueType::String, "a"}));
    ASSERT_TRUE(
        document.SetValue("SOFTWARE\\TAMREL", {"FOLDER", RegistryValueType::Integer, "", 3}));
    auto values = document.Values("software\\tamrel");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "Folder");
    EXPECT_EQ(values[0].type, RegistryValueType::Integer);
    EXPECT_NE(document.Serialise().find("[Software\\Tamrel]"), std::string::npos);
    EXPECT_TRUE(document.DeleteKey("SOFTWARE"));
    EXPECT_FALSE(document.KeyExists("Software\\Tamrel"));
}

TEST_F(RegistryStoreTest, RootFilesFollowTheOverride) {
    EXPECT_EQ(RegistryStore::RootFile(RegistryRoot::LocalMachine), dir_ / "HKLM.reg");
    EXPECT_EQ(RegistryStore::RootFile(RegistryRoot::CurrentUser), dir_ / "HKCU.reg");
    test::ScopedEnv noRoot("TamrelRegistryRoot", std::nullopt);
    test::ScopedEnv config("XDG_CONFIG_HOME", "/home/u/cfg");
    EXPECT_EQ(RegistryStore::RootFile(RegistryRoot::LocalMachine), "/etc/tamrel/registry/HKLM.reg");
    EXPECT_EQ(RegistryStore::RootFile(RegistryRoot::CurrentUser),
              "/home/u/cfg/tamrel/registry/HKCU.reg");
}

TEST_F(RegistryStoreTest, MissingFileIsEmptyAndCorruptFileIsRefused) {
    Result<RegistryDocument> document = RegistryStore::Load(RegistryRoot::LocalMachine);
    ASSERT_TRUE(document);
    EXPECT_FALSE(document->KeyExists("SOFTWARE"));

    test::WriteFile(dir_ / "HKLM.reg", "REGEDIT4\n\n[SOFTWARE\\Tamrel]\n\"Folder\"=\"/opt/orv");
    document = RegistryStore::Load(RegistryRoot::LocalMachine);
    ASSERT_FALSE(document);
    EXPECT_EQ(document.error().code, RegistryCorruptCode());
    EXPECT_EQ(document.error().Text(),
              dir_ / "HKLM.reg" + ", line 4: the closing quote is missing");
    // An update never overwrites a store it cannot read.
    Result<> status = RegistryStore::Update(RegistryRoot::LocalMachine,
                                            [](RegistryDocument&) { return Result<>{}; });
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().code, RegistryCorruptCode());
    EXPECT_EQ(*test::ReadFile(dir_ / "HKLM.reg"),
              "REGEDIT4\n\n[SOFTWARE\\Tamrel]\n\"Folder\"=\"/opt/orv");
}

TEST_F(RegistryStoreTest, UpdateCreatesFolderAndFailedChangeWritesNothing) {
    test::ScopedEnv nested("TamrelRegistryRoot", dir_ / "a/b");
    auto status = RegistryStore::Update(RegistryRoot::CurrentUser, [](RegistryDocument& d) {
        d.SetValue("K", {"v", RegistryValueType::String, "1", 0});
        return Result<>{};
    });
    ASSERT_TRUE(status) << status.error().Text();
    status = RegistryStore::Update(RegistryRoot::CurrentUser, [](RegistryDocument& d) {
        d.SetValue("K", {"v", RegistryValueType::String, "2", 0});
        return Result<>(Fail(EINVAL));
    });
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().code, EINVAL);
    EXPECT_EQ(*test::ReadFile(dir_ / "a/b/HKCU.reg"), "REGEDIT4\n\n[K]\n\"v\"=\"1\"\n");
    EXPECT_TRUE(RegistryStore::CanWrite(RegistryRoot::CurrentUser));
}

TEST_F(RegistryStoreTest, ALinkedStoreStaysLinked) {
    test::WriteFile(dir_ / "real.reg", "[A]\n");
    ASSERT_EQ(symlink((dir_ / "real.reg").c_str(), (dir_ / "HKLM.reg").c_str()), 0);
    auto status = RegistryStore::Update(RegistryRoot::LocalMachine, [](RegistryDocument& d) {
        d.SetValue("A", {"v", RegistryValueType::String, "1", 0});
        return Result<>{};
    });
    ASSERT_TRUE(status) << status.error().Text();
    char target[256] = {};
    EXPECT_GT(readlink((dir_ / "HKLM.reg").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(*test::ReadFile(dir_ / "real.reg"), "REGEDIT4\n\n[A]\n\"v\"=\"1\"\n");
}

TEST_F(RegistryStoreTest, ConcurrentWritersFromSeveralProcessesLoseNothing) {
    constexpr int kProcesses = 4;
    constexpr int kWrites = 40;
    auto codes = test::ForkChildren(kProcesses, [](int index) {
        for (int i = 0; i < kWrites; ++i) {
            auto status =
                RegistryStore::Update(RegistryRoot::LocalMachine, [&](RegistryDocument& d) {
                    std::string name = "p" + std::to_string(index) + "_" + std::to_string(i);
                    d.SetValue("SOFTWARE\\Test", {name, RegistryValueType::Integer, "",
                                                  static_cast<std::uint32_t>(i)});
                    return Result<>{};
                });
            if (!status) {
                return 1;
            }
        }
        return 0;
    });
    EXPECT_EQ(codes, std::vector<int>(kProcesses, 0));
    Result<RegistryDocument> document = RegistryStore::Load(RegistryRoot::LocalMachine);
    ASSERT_TRUE(document);
    EXPECT_EQ(document->Values("SOFTWARE\\Test").size(), static_cast<size_t>(kProcesses * kWrites));
}

} // namespace
} // namespace qz::platform
