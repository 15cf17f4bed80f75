// Sizes as the command line and the dialog take them; the settings' own key and defaults.
#include <gtest/gtest.h>

#include "platform/key_store.h"
#include "storage/byte_size.h"
#include "storage/storage_settings.h"
#include "support/temp_folder.h"

TEST(ByteSize, BytesOrPowersOf1024AndNothingElse) {
    const std::vector<std::pair<const char*, std::optional<uint64_t>>> cases = {
        {"1536", 1536},
        {"0", 0},
        {"512K", 512 * 1024},
        {"512kb", 512 * 1024},
        {"1.5G", 3 * (uint64_t{1} << 29)},
        {"2T", uint64_t{2} << 40},
        {"10M", 10 << 20},
        {"7b", 7},
        {"16777215T", uint64_t{16777215} << 40},
        {"16777216T", std::nullopt},  // 2^64
        {"18446744073709551616", std::nullopt},
        {"", std::nullopt},
        {"G", std::nullopt},
        {"1.", std::nullopt},
        {"-1", std::nullopt},
        {"1 G", std::nullopt},
        {"1X", std::nullopt},
        {"1GG", std::nullopt},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(bytes, ParseByteSize(text)) << text;
    EXPECT_EQ("812 bytes", FormatByteSize(812));
    EXPECT_EQ("1.0 GB", FormatByteSize(kBytesPerGiB));
    EXPECT_EQ("1.4 KB", FormatByteSize(1500));
}

TEST(StorageSettings, DefaultsKeepOneGigabyteFreeAndAChoiceSurvivesTheFile) {
    TempFolder folder;
    const auto file = folder.Path() / "Cindral.reg";
    StorageSettings loaded;
    loaded.chosen_folder = "stale";
    {
        CKeyStore store(file);
        LoadStorageSettings(store, loaded);
        EXPECT_FALSE(store.OpenKey(kStorageKeyPath).has_value());  // reading creates nothing
    }
    EXPECT_EQ("", loaded.chosen_folder);
    EXPECT_EQ((RetentionLimits{std::nullopt, kBytesPerGiB}), loaded.limits);

    // Each limit can be turned off, the default one included.
    const StorageSettings chosen{"/media/recordings/cameras", RetentionLimits{5 * kBytesPerGiB, std::nullopt}};
    {
        CKeyStore store(file);
        ASSERT_TRUE(SaveStorageSettings(store, chosen));
    }
    CKeyStore store(file);
    LoadStorageSettings(store, loaded);
    EXPECT_EQ(chosen.chosen_folder, loaded.chosen_folder);
    EXPECT_EQ(chosen.limits, loaded.limits);
}
