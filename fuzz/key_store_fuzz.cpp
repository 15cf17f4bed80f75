// The settings text parser on any bytes, from memory: whatever it keeps, it writes back as a text
// that reads again whole and unchanged, and every value it keeps is found by its name in any case.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/memory_file.h"
#include "platform/settings_text.h"

namespace {

std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ParsedSettings parsed = ParseSettingsText(std::string_view(reinterpret_cast<const char*>(data), size));
    for (auto& [lower_path, key] : parsed.keys) {
        FUZZ_CHECK(LowerSettingsName(key.path) == lower_path);
        FUZZ_CHECK(key.by_name.size() == key.values.size());
        for (SettingsValue& value : key.values) {
            FUZZ_CHECK(key.Find(value.name) == &value);
            FUZZ_CHECK(key.Find(UpperAscii(value.name)) == &value);
        }
    }

    const std::string exported = FormatSettingsText(parsed.keys);
    const ParsedSettings again = ParseSettingsText(exported);
    FUZZ_CHECK(again.bad_lines.empty());
    FUZZ_CHECK(FormatSettingsText(again.keys) == exported);
    return 0;
}
