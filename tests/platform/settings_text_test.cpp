#include <gtest/gtest.h>

#include <string>

#include "platform/settings_text.h"

namespace {

std::string Utf16Le(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// UTF-16 that is not whole is damage of the first line, while what it holds is still read.
TEST(SettingsText, BrokenUtf16IsDamageAndWhatItHoldsIsRead) {
    const std::u16string export_text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\A]\r\n\"N\"=dword:0000002a\r\n";
    const std::string whole = Utf16Le(export_text);
    ASSERT_TRUE(ParseSettingsText(whole).bad_lines.empty());

    const std::string odd_length = whole + "x";
    const std::string lone_surrogate = Utf16Le(export_text + u"; \xD800\r\n");
    for (const std::string& bytes : {odd_length, lone_surrogate}) {
        const ParsedSettings parsed = ParseSettingsText(bytes);
        ASSERT_EQ(1u, parsed.bad_lines.size());
        EXPECT_EQ(1u, parsed.bad_lines[0].number);
        EXPECT_EQ("broken UTF-16 text", parsed.bad_lines[0].error);
        const auto key = parsed.keys.find("software\\a");
        ASSERT_NE(parsed.keys.end(), key);
        ASSERT_EQ(1u, key->second.values.size());
        EXPECT_EQ((std::vector<uint8_t>{0x2a, 0, 0, 0}), key->second.values.front().data.bytes);
    }
}

}  // namespace
