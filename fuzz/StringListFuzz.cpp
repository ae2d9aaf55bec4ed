// Fuzzes the string list's text forms (lines, and comma text with its quoting), which read
// option values and files a user writes. Whatever a text form reads is written in that form and
// read again: the list must come back the same.

#include "CM/StringLists.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        qz::TStringListEx lines;
        lines.AssignText(text);
        qz::TStringListEx back;
        back.AssignText(lines.ToText());
        if (!back.SameAs(lines)) {
            qz::fuzz::Disagree("lines");
        }
        (void)lines.ToCommaText();
    } catch (const qz::Exception& error) {
        qz::fuzz::Check(error);
    }
    try {
        qz::TStringListEx items;
        items.AssignCommaText(text);
        std::string written = items.ToCommaText();
        qz::TStringListEx back;
        back.AssignCommaText(written);
        // The one loss the comma form has by definition: an empty last entry among others is
        // written as nothing after the last comma, and so is not read back.
        qz::TStringListEx expected;
        expected.Assign(items);
        if (expected.Count() > 1 && expected.At(expected.Count() - 1).empty()) {
            expected.Delete(expected.Count() - 1);
        }
        if (!back.SameAs(expected)) {
            qz::fuzz::Disagree("comma text");
        }
        for (int i = 0; i < items.Count() && i < 8; ++i) {
            (void)items.NameAt(i);
            (void)items.ValueOf(items.NameAt(i));
        }
    } catch (const qz::Exception& error) {
        qz::fuzz::Check(error);
    }
    return 0;
}
