#include "CrossRegistry.h"

#include "CmTestSupport.h"
#include "Exceptions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

using test::MessageOf;

class CrossRegistryTest : public ::testing::Test {
protected:
    void Store(const std::string& text) { test::WriteFile(dir_ / "HKLM.reg", text); }
    std::string Stored() { return test::ReadFile(dir_ / "HKLM.reg").value_or(""); }

    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_.path()};
};

TEST_F(CrossRegistryTest, IntegerStringAndBinaryTypes) {
    Store("[SOFTWARE\\Tamrel\\Orvane\\Builder]\n"
          "\"Twelve\"=\"12\"\n\"Word\"=\"abc\"\n\"Blob\"=hex:01,02\n\"Count\"=dword:ffffffff\n"
          "\"Empty\"=\"\"\n\"Expand\"=str(2):\"$HOME\"\n");
    TCrossRegistry reg(kKeyRead);
    reg.SetRootKey(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("software\\TAMREL\\orvane\\builder", false));
    EXPECT_EQ(reg.ReadInteger("twelve", 5), 12);
    EXPECT_EQ(reg.ReadInteger("Missing", 5), 5);
    EXPECT_EQ(reg.ReadInteger("Count", 5), -1);
    EXPECT_TRUE(reg.ReadBool("Count", false));
    EXPECT_EQ(MessageOf([&] { reg.ReadInteger("Word", 0); }),
              "Invalid registry integer value at: software\\TAMREL\\orvane\\builder\\Word");
    EXPECT_EQ(MessageOf([&] { reg.ReadInteger("Blob", 0); }),
              "Unexpected registry value type at: software\\TAMREL\\orvane\\builder\\Blob");
    EXPECT_EQ(MessageOf([&] { reg.ReadString("Count"); }), "Invalid data type for 'Count'");
    EXPECT_EQ(reg.ReadString("Empty"), "");
    EXPECT_EQ(reg.ReadString("Missing"), "");
    EXPECT_EQ(reg.ReadString("EXPAND"), "$HOME");
    EXPECT_EQ(reg.ReadBinaryData("Blob"), "\x01\x02");
    EXPECT_TRUE(reg.ValueExists("BLOB"));
    EXPECT_FALSE(reg.ValueExists("Nope"));
    // Read access only: writes are refused with the value's name.
    EXPECT_EQ(MessageOf([&] { reg.WriteString("x", "1"); }), "Failed to set data for 'x'");
}

TEST_F(CrossRegistryTest, OpenKeyPathsAndMessages) {
    Store("[SOFTWARE\\Tamrel\\Orvane\\Builder]\n[SOFTWARE\\Tamrel\\Orvane\\Log]\n");
    TCrossRegistry reg;
    reg.SetRootKey(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Tamrel", false));
    ASSERT_TRUE(reg.OpenKey("Orvane", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Tamrel\\Orvane");
    std::vector<std::string> names;
    reg.GetKeyNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"Builder", "Log"}));
    EXPECT_FALSE(reg.OpenKey("Missing", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Tamrel\\Orvane");
    EXPECT_EQ(MessageOf([&] { reg.OpenKey("\\SOFTWARE\\Missing", false, true); }),
              "Cannot open registry key: HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing: No such file or "
              "directory");
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\New\\Key", true));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\New\\Key");
    reg.WriteString("Name", "va\"l\\ue");
    reg.WriteInteger("Number", 12);
    EXPECT_NE(Stored().find("[SOFTWARE\\New\\Key]\n\"Name\"=\"va\\\"l\\\\ue\"\n"
                            "\"Number\"=dword:0000000c\n"),
              std::string::npos);
    EXPECT_EQ(MessageOf([&] { reg.WriteString("Bad", "two\nlines"); }),
              "Failed to set data for 'Bad'");
    // Always below the current path, even with a leading backslash.
    reg.GetSubKeyNames("\\SOFTWARE\\Tamrel", names, kSubKeysNoError);
    EXPECT_TRUE(names.empty());
    reg.CloseKey();
    reg.GetSubKeyNames("SOFTWARE\\Tamrel\\Orvane", names, 0);
    EXPECT_EQ(names, (std::vector<std::string>{"Builder", "Log"}));
    EXPECT_EQ(MessageOf([&] { reg.GetSubKeyNames("Nope", names, 0); }),
              "Failed to open registry key: Nope\r\nNo such file or directory");
    reg.GetSubKeyNames("Nope", names, kSubKeysNoError);
    EXPECT_TRUE(names.empty());
}

TEST_F(CrossRegistryTest, CorruptStoreIsAClearError) {
    Store("REGEDIT4\n[SOFTWARE\\Tamrel]\n\"Folder\"=\"/opt");
    TCrossRegistry reg(kKeyRead);
    reg.SetRootKey(RegRoot::LocalMachine);
    EXPECT_EQ(MessageOf([&] { reg.OpenKey("SOFTWARE\\Tamrel", false, true); }),
              "Cannot open registry key: HKEY_LOCAL_MACHINE\\SOFTWARE\\Tamrel: " + dir_.path() +
                  "/HKLM.reg, line 3: the closing quote is missing");
}

TEST_F(CrossRegistryTest, IniFileSectionsAndStoreBack) {
    Store("[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Dword\"=dword:00000005\n\"Text\"=\"7\"\n"
          "\"NaN\"=\"x\"\n");
    TCrossRegIniFile ini(kKeyReadWrite, false, true, "SOFTWARE\\Tamrel\\Orvane",
                         RegRoot::LocalMachine);
    EXPECT_EQ(ini.ReadInteger("Builder", "Text", 1), 7);
    EXPECT_EQ(ini.ReadInteger("Builder", "NaN", 1), 1);
    EXPECT_EQ(ini.ReadString("NoSection", "Text", "d"), "d");
    EXPECT_EQ(MessageOf([&] { ini.ReadInteger("Builder", "Dword", 0); }),
              "Invalid data type for 'Dword'");
    EXPECT_EQ(ini.ReadIntegerOrStore("Builder", "TasksmithPriorityClass", 128), 128);
    EXPECT_TRUE(ini.ReadBoolOrStore("Builder", "HideWindow", true));
    EXPECT_EQ(ini.ReadInteger("builder", "tasksmithpriorityclass", 0), 128);
    EXPECT_NE(Stored().find("\"HideWindow\"=\"1\""), std::string::npos);
    ini.WriteBool("New\\Section", "Flag", false);
    EXPECT_FALSE(ini.ReadBool("new\\section", "FLAG", true));
    EXPECT_EQ(ini.CurrentPath(), "SOFTWARE\\Tamrel\\Orvane");

    // Read access: the default is returned and nothing is written.
    std::string before = Stored();
    TCrossRegIniFile reader(kKeyRead, false, true, "SOFTWARE\\Tamrel\\Orvane",
                            RegRoot::LocalMachine);
    EXPECT_EQ(reader.ReadIntegerOrStore("Builder", "Other", 3), 3);
    EXPECT_EQ(Stored(), before);
}

TEST_F(CrossRegistryTest, RootNames) {
    EXPECT_EQ(RegistryRootName(RegRoot::DynData), "HKEY_DYN_DATA");
    EXPECT_EQ(RegistryRootFromName("hklm"), RegRoot::LocalMachine);
    EXPECT_EQ(RegistryRootFromName("HKEY_CURRENT_USER"), RegRoot::CurrentUser);
    EXPECT_EQ(RegistryRootFromName("HKXX"), std::nullopt);
}

TEST(ProductRegistryName, AFailingProviderIsAskedAgain) {
    static int calls = 0;
    calls = 0;
    SetProductRegistryNameProvider([]() -> std::string {
        if (++calls == 1) {
            throw Exception("information not readable yet");
        }
        return "Later";
    });
    EXPECT_EQ(ProductRegistryName(), "");
    EXPECT_EQ(ProductRegistryName(), "Later");
    EXPECT_EQ(ProductRegistryName(), "Later"); // kept once known
    EXPECT_EQ(calls, 2);
    SetProductRegistryNameProvider(nullptr);
    SetProductRegistryName("Orvane");
}

} // namespace
} // namespace qz
