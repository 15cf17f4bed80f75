#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/key_store.h"
#include "settings/settings_store.h"
#include "support/files.h"
#include "support/temp_folder.h"

namespace {

std::vector<uint8_t> Dword(uint32_t n) {
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 24)};
}

std::vector<uint8_t> Qword(uint64_t n) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(n >> (8 * i)));
    return bytes;
}

std::vector<uint8_t> Text(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

class SettingsStoreTest : public ::testing::Test {
protected:
    // Values placed in the store before the settings are loaded from it.
    void Put(const char* key_path, const char* name, uint32_t type, const std::vector<uint8_t>& bytes) {
        CKeyStore store(file);
        ASSERT_TRUE(store.CreateKey(key_path)->SetValue(name, type, bytes));
    }
    std::unique_ptr<CindralSettings> Load() {
        CKeyStore store(file);
        auto settings = std::make_unique<CindralSettings>();
        LoadSettings(store, *settings);
        return settings;
    }
    std::optional<RegistryValue> Stored(const char* key_path, const char* name) {
        CKeyStore store(file);
        const auto key = store.OpenKey(key_path);
        return key ? key->QueryValue(name) : std::nullopt;
    }

    TempFolder folder;
    std::filesystem::path file = folder.Path() / "Tovamesh" / "Cindral.reg";
};

void ExpectDefaults(const CindralSettings& s) {
    EXPECT_EQ("", s.camera_name);
    EXPECT_EQ(640, s.frame_width);
    EXPECT_EQ(480, s.frame_height);
    EXPECT_EQ(0, s.frame_duration_100ns);
    EXPECT_EQ(0, s.detector_colour);
    EXPECT_EQ(0, s.saving_mode);
    EXPECT_EQ(0, s.show_detector);
    EXPECT_EQ(20, s.threshold);
}

TEST_F(SettingsStoreTest, FirstRunCreatesOnlyTheSettingsKeyThenSaveWritesAll) {
    CKeyStore store(file);
    CindralSettings settings;
    settings.threshold = 77;  // whatever was there before is replaced by the defaults
    settings.camera_name = "old";
    LoadSettings(store, settings);
    ExpectDefaults(settings);
    EXPECT_TRUE(store.OpenKey(kSettingsKeyPath).has_value());
    EXPECT_FALSE(store.OpenKey(kSettingsKeyPath)->QueryValue("Treshold").has_value());
    EXPECT_FALSE(store.OpenKey(kCameraKeyPath).has_value());

    SaveSettings(store, settings);
    // Written in this order, with these types.
    const std::string text = store.ExportText();
    const std::vector<std::string> lines = {"\"WEB Camera Size X\"=dword:00000280",
                                            "\"WEB Camera Size Y\"=dword:000001e0",
                                            "\"WEB Camera Frequency\"=hex(b):00,00,00,00,00,00,00,00",
                                            "\"Save Flag\"=dword:00000000",
                                            "\"Motion Detector Show\"=dword:00000000",
                                            "\"Motion Detector\"=dword:00000000",
                                            "\"Treshold\"=dword:00000014",
                                            "[HKEY_CURRENT_USER\\Software\\Tovamesh\\Cindral\\TwainSources]",
                                            "\"Camera DShow Src\"=\"\""};
    size_t position = 0;
    for (const std::string& line : lines) {
        const size_t found = text.find(line + "\n", position);
        ASSERT_NE(std::string::npos, found) << line << "\n" << text;
        position = found;
    }
    // An empty name is a single NUL byte.
    EXPECT_EQ(Text(""), Stored(kCameraKeyPath, "Camera DShow Src")->bytes);
}

TEST_F(SettingsStoreTest, EverySettingRoundTrips) {
    CindralSettings settings;
    settings.camera_name = std::string("  USB Camera \"HD\" \xE2\x80\x94 ") + std::string(1000, 'x') + "  ";
    settings.frame_width = 1280;
    settings.frame_height = -720;
    settings.frame_duration_100ns = -333333LL * 1000000;
    settings.detector_colour = 0xF81F;
    settings.saving_mode = 3;
    settings.show_detector = 1;
    settings.threshold = 500;
    {
        CKeyStore store(file);
        CindralSettings scratch;
        LoadSettings(store, scratch);
        SaveSettings(store, settings);
    }
    const auto loaded = Load();
    EXPECT_EQ(settings.camera_name, loaded->camera_name);
    EXPECT_EQ(1280, loaded->frame_width);
    EXPECT_EQ(-720, loaded->frame_height);
    EXPECT_EQ(-333333LL * 1000000, loaded->frame_duration_100ns);
    EXPECT_EQ(0xF81F, loaded->detector_colour);
    EXPECT_EQ(3, loaded->saving_mode);
    EXPECT_EQ(1, loaded->show_detector);
    EXPECT_EQ(500, loaded->threshold);
}

TEST_F(SettingsStoreTest, SizeIsTakenOnlyAsAPair) {
    Put(kSettingsKeyPath, "WEB Camera Size X", REG_DWORD, Dword(320));
    auto settings = Load();
    EXPECT_EQ(640, settings->frame_width);
    EXPECT_EQ(480, settings->frame_height);

    Put(kSettingsKeyPath, "WEB Camera Size Y", REG_QWORD, Qword(240));
    settings = Load();
    EXPECT_EQ(640, settings->frame_width);
    EXPECT_EQ(480, settings->frame_height);

    Put(kSettingsKeyPath, "WEB Camera Size Y", REG_DWORD, Dword(240));
    settings = Load();
    EXPECT_EQ(320, settings->frame_width);
    EXPECT_EQ(240, settings->frame_height);
}

TEST_F(SettingsStoreTest, ValuesOfTheWrongTypeOrSizeAreIgnored) {
    Put(kSettingsKeyPath, "Save Flag", REG_SZ, Text("2"));
    Put(kSettingsKeyPath, "Treshold", REG_DWORD, {5, 0});  // too short
    Put(kSettingsKeyPath, "Motion Detector Show", REG_QWORD, Qword(1));
    Put(kSettingsKeyPath, "Motion Detector", REG_BINARY, Dword(0x7C00));
    Put(kCameraKeyPath, "Camera DShow Src", REG_DWORD, Dword(1));
    ExpectDefaults(*Load());

    // Thresholds outside the dialog's range are used unchanged.
    Put(kSettingsKeyPath, "Treshold", REG_DWORD, Dword(0));
    EXPECT_EQ(0, Load()->threshold);
    Put(kSettingsKeyPath, "Treshold", REG_DWORD, Dword(500));
    EXPECT_EQ(500, Load()->threshold);
}

TEST_F(SettingsStoreTest, FrameDurationStoredAsDwordIsReplacedByQword) {
    Put(kSettingsKeyPath, "WEB Camera Frequency", REG_DWORD, Dword(333333));
    CKeyStore store(file);
    CindralSettings settings;
    LoadSettings(store, settings);
    EXPECT_EQ(0, settings.frame_duration_100ns);
    settings.frame_duration_100ns = 333333;
    SaveSettings(store, settings);
    const auto stored = Stored(kSettingsKeyPath, "WEB Camera Frequency");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(static_cast<uint32_t>(REG_QWORD), stored->type);
    EXPECT_EQ(Qword(333333), stored->bytes);
    EXPECT_EQ(333333, Load()->frame_duration_100ns);
}

TEST_F(SettingsStoreTest, DetectorColourKeepsItsLow16Bits) {
    Put(kSettingsKeyPath, "Motion Detector", REG_DWORD, Dword(0x12345));
    CKeyStore store(file);
    CindralSettings settings;
    LoadSettings(store, settings);
    EXPECT_EQ(0x2345, settings.detector_colour);
    SaveSettings(store, settings);
    EXPECT_EQ(Dword(0x2345), Stored(kSettingsKeyPath, "Motion Detector")->bytes);
}

TEST_F(SettingsStoreTest, CameraNameIsTextUpToFirstNulUnexpanded) {
    Put(kCameraKeyPath, "Camera DShow Src", REG_SZ, {'C', 'a', 'm', 0, 'X', 0});
    EXPECT_EQ("Cam", Load()->camera_name);
    Put(kCameraKeyPath, "Camera DShow Src", REG_EXPAND_SZ, Text("%HOME%\\cam"));
    EXPECT_EQ("%HOME%\\cam", Load()->camera_name);
    Put(kCameraKeyPath, "Camera DShow Src", REG_SZ, {'n', 'o', ' ', 'n', 'u', 'l'});
    EXPECT_EQ("no nul", Load()->camera_name);
}

TEST_F(SettingsStoreTest, CameraNameIsSavedEvenWithoutSettingsKey) {
    CKeyStore store(file);
    CindralSettings settings;  // never loaded: the Settings key does not exist
    settings.camera_name = "Test Camera";
    settings.threshold = 42;
    SaveSettings(store, settings);
    EXPECT_FALSE(store.OpenKey(kSettingsKeyPath).has_value());
    EXPECT_EQ(Text("Test Camera"), Stored(kCameraKeyPath, "Camera DShow Src")->bytes);
    EXPECT_EQ(static_cast<uint32_t>(REG_SZ), Stored(kCameraKeyPath, "Camera DShow Src")->type);
}

TEST_F(SettingsStoreTest, DamagedFileLoadsWhatParsedAndSavesBesideACopy) {
    std::filesystem::create_directories(file.parent_path());
    const std::string damaged =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Tovamesh\\Cindral\\Settings]\n"
        "\"Treshold\"=dword:00000007\n"
        "\"Save Flag\"=dword:00000002\n"
        "\x01\x02garbage\n"
        "\"Motion Detector Show\"=dword:00000001\n";
    WriteWholeFile(file, damaged);
    testing::internal::CaptureStderr();
    CKeyStore store(file);
    CindralSettings settings;
    LoadSettings(store, settings);
    SaveSettings(store, settings);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    EXPECT_EQ(7, settings.threshold);
    EXPECT_EQ(2, settings.saving_mode);
    EXPECT_EQ(1, settings.show_detector);  // the garbage line costs only itself
    EXPECT_EQ(damaged, ReadWholeFile(file.string() + ".bad"));
    EXPECT_EQ(7, Load()->threshold);
}

}  // namespace
