#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/key_store.h"
#include "support/files.h"
#include "support/temp_folder.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text, bool with_nul = false) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    if (with_nul) bytes.push_back(0);
    return bytes;
}

void ExpectValue(const CKeyStore& /*unused*/, const CRegistryKey& key, const std::string& name, uint32_t type,
                 const std::vector<uint8_t>& bytes) {
    const std::optional<RegistryValue> value = key.QueryValue(name);
    ASSERT_TRUE(value.has_value()) << name;
    EXPECT_EQ(type, value->type) << name;
    EXPECT_EQ(bytes, value->bytes) << name;
}

std::vector<std::filesystem::path> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) entries.push_back(entry.path().filename());
    return entries;
}

class KeyStoreTest : public ::testing::Test {
protected:
    TempFolder folder;
    std::filesystem::path file = folder.Path() / "Tovamesh" / "Cindral.reg";
};

TEST_F(KeyStoreTest, ValuesOfEveryTypeSurviveTheFile) {
    const std::vector<uint8_t> odd_text = Bytes("Cam \"Pro\" C:\\dev\\video0 \xC3\xA9t\xC3\xA9  ", true);
    const std::vector<uint8_t> multi_line = Bytes("line one\nline two", true);
    const std::vector<uint8_t> inner_nul = {'a', 0, 'b', 0};
    const std::vector<uint8_t> no_nul = Bytes("abc");
    const std::vector<uint8_t> dword = {0x80, 0x02, 0x00, 0xF0};
    const std::vector<uint8_t> qword = {1, 2, 3, 4, 5, 6, 7, 0x88};
    const std::vector<uint8_t> short_dword = {7, 0};
    const std::vector<uint8_t> long_binary(300, 0xAB);
    {
        CKeyStore store(file);
        std::optional<CRegistryKey> key = store.CreateKey("Software\\Tovamesh\\Cindral\\Settings");
        ASSERT_TRUE(key.has_value());
        EXPECT_TRUE(key->SetValue("Text", REG_SZ, odd_text));
        EXPECT_TRUE(key->SetValue("Lines", REG_SZ, multi_line));
        EXPECT_TRUE(key->SetValue("Inner", REG_SZ, inner_nul));
        EXPECT_TRUE(key->SetValue("Unterminated", REG_SZ, no_nul));
        EXPECT_TRUE(key->SetValue("Empty", REG_SZ, Bytes("", true)));
        EXPECT_TRUE(key->SetValue("Expand", REG_EXPAND_SZ, Bytes("%HOME%\\x", true)));
        EXPECT_TRUE(key->SetValue("Number", REG_DWORD, dword));
        EXPECT_TRUE(key->SetValue("Short", REG_DWORD, short_dword));
        EXPECT_TRUE(key->SetValue("Wide", REG_QWORD, qword));
        EXPECT_TRUE(key->SetValue("Blob", REG_BINARY, long_binary));
        EXPECT_TRUE(key->SetValue("Nothing", REG_QWORD, {}));
        EXPECT_TRUE(key->SetValue("", REG_SZ, Bytes("default", true)));
        EXPECT_TRUE(key->SetValue("Quote\"And\\Slash", REG_DWORD, dword));
        EXPECT_FALSE(key->SetValue("New\nLine", REG_DWORD, dword));
    }
    CKeyStore reread(file);
    EXPECT_FALSE(reread.IsDamaged());
    // Key and value names compare without regard to case.
    std::optional<CRegistryKey> key = reread.OpenKey("SOFTWARE\\tovamesh\\CINDRAL\\settings");
    ASSERT_TRUE(key.has_value());
    ExpectValue(reread, *key, "text", REG_SZ, odd_text);
    ExpectValue(reread, *key, "Lines", REG_SZ, multi_line);
    ExpectValue(reread, *key, "Inner", REG_SZ, inner_nul);
    ExpectValue(reread, *key, "Unterminated", REG_SZ, no_nul);
    ExpectValue(reread, *key, "Empty", REG_SZ, {0});
    ExpectValue(reread, *key, "Expand", REG_EXPAND_SZ, Bytes("%HOME%\\x", true));
    ExpectValue(reread, *key, "Number", REG_DWORD, dword);
    ExpectValue(reread, *key, "Short", REG_DWORD, short_dword);
    ExpectValue(reread, *key, "Wide", REG_QWORD, qword);
    ExpectValue(reread, *key, "Blob", REG_BINARY, long_binary);
    ExpectValue(reread, *key, "Nothing", REG_QWORD, {});
    ExpectValue(reread, *key, "", REG_SZ, Bytes("default", true));
    ExpectValue(reread, *key, "quote\"and\\slash", REG_DWORD, dword);
    EXPECT_FALSE(key->QueryValue("New\nLine").has_value());
    EXPECT_FALSE(key->QueryValue("Missing").has_value());
    // Writing again replaces the value, type included, and keeps one entry.
    EXPECT_TRUE(key->SetValue("NUMBER", REG_QWORD, qword));
    ExpectValue(reread, *key, "Number", REG_QWORD, qword);
    const std::string text = ReadWholeFile(file);
    EXPECT_NE(std::string::npos, text.find("\"Number\"=hex(b):"));
    EXPECT_EQ(text.find("\"Number\""), text.rfind("\"Number\""));
}

TEST_F(KeyStoreTest, FileIsARegistryExportWithParentKeys) {
    CKeyStore store(file);
    std::optional<CRegistryKey> key = store.CreateKey("Software\\Tovamesh\\Cindral\\Settings");
    ASSERT_TRUE(key.has_value());
    key->SetValue("WEB Camera Size X", REG_DWORD, std::vector<uint8_t>{0x80, 0x02, 0, 0});
    key->SetValue("WEB Camera Frequency", REG_QWORD, std::vector<uint8_t>{0x15, 0x16, 0x05, 0, 0, 0, 0, 0});
    key->SetValue("Camera \"A\"", REG_SZ, Bytes("C:\\x", true));
    EXPECT_EQ(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software]\n\n"
        "[HKEY_CURRENT_USER\\Software\\Tovamesh]\n\n"
        "[HKEY_CURRENT_USER\\Software\\Tovamesh\\Cindral]\n\n"
        "[HKEY_CURRENT_USER\\Software\\Tovamesh\\Cindral\\Settings]\n"
        "\"WEB Camera Size X\"=dword:00000280\n"
        "\"WEB Camera Frequency\"=hex(b):15,16,05,00,00,00,00,00\n"
        "\"Camera \\\"A\\\"\"=\"C:\\\\x\"\n\n",
        ReadWholeFile(file));
    // Nothing but the file itself is left in its folder.
    EXPECT_EQ(std::vector<std::filesystem::path>{"Cindral.reg"}, FolderEntries(file.parent_path()));
}

TEST_F(KeyStoreTest, OpenOnlyNeedsAnExistingKeyCreateMakesIt) {
    CKeyStore store(file);
    EXPECT_FALSE(store.OpenKey("Software\\Tovamesh").has_value());
    EXPECT_FALSE(std::filesystem::exists(file));  // opening never writes
    for (const char* bad : {"", "\\Software", "Software\\", "Software\\\\Tovamesh", "Soft\nware"}) {
        EXPECT_FALSE(store.CreateKey(bad).has_value()) << bad;
    }
    ASSERT_TRUE(store.CreateKey("Software\\Tovamesh\\Cindral").has_value());
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_TRUE(store.OpenKey("Software\\Tovamesh").has_value());
    EXPECT_TRUE(store.OpenKey("software\\tovamesh\\cindral").has_value());
    EXPECT_FALSE(store.OpenKey("Software\\Tovamesh\\Cindral\\Settings").has_value());
    EXPECT_TRUE(CKeyStore(file).OpenKey("Software\\Tovamesh\\Cindral").has_value());
}

TEST_F(KeyStoreTest, ReadsHandWrittenExports) {
    std::filesystem::create_directories(file.parent_path());
    WriteWholeFile(file,
                   "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                   "\r\n"
                   "; a comment\r\n"
                   "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
                   "\"Gone\"=dword:1\r\n"
                   "[HKEY_CURRENT_USER\\Software\\A]\r\n"
                   "@=\"top\"\r\n"
                   "  \"Wrapped\" = hex(b):01,02,03,04,\\\r\n"
                   "    05,06,07,08\r\n"
                   "\"Removed\"=dword:00000005\r\n"
                   "\"Removed\"=-\r\n"
                   "\"Blob\"=hex:\r\n"
                   "[-HKEY_CURRENT_USER\\Software\\Other]\r\n");
    CKeyStore store(file);
    EXPECT_FALSE(store.IsDamaged());
    EXPECT_FALSE(store.OpenKey("Software\\Other").has_value());
    std::optional<CRegistryKey> key = store.OpenKey("Software\\A");
    ASSERT_TRUE(key.has_value());
    ExpectValue(store, *key, "", REG_SZ, Bytes("top", true));
    ExpectValue(store, *key, "Wrapped", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    ExpectValue(store, *key, "Blob", REG_BINARY, {});
    EXPECT_FALSE(key->QueryValue("Removed").has_value());
}

TEST_F(KeyStoreTest, ABadLineCostsOnlyItselfAndTheFileIsKeptAsBadWithoutFollowingALink) {
    std::filesystem::create_directories(file.parent_path());
    const std::string damaged =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\A]\n"
        "\"Before\"=dword:00000001\n"
        "\"Broken\"=dword:zz\n"
        "\"After\"=dword:00000002\n"
        "[HKEY_CURRENT_USER\\Software\\B\n"
        "\"Orphan\"=dword:00000003\n"
        "[HKEY_CURRENT_USER\\Software\\C]\n"
        "\"Last\"=dword:00000004\n";
    WriteWholeFile(file, damaged);
    // A link where the damaged copy goes: replaced, the file it points to untouched.
    const std::filesystem::path elsewhere = folder.Path() / "elsewhere.txt";
    WriteWholeFile(elsewhere, "keep me");
    std::filesystem::create_symlink(elsewhere, file.string() + ".bad");
    testing::internal::CaptureStderr();
    CKeyStore store(file);
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(store.IsDamaged());
    // One warning naming every bad line: the dword, the key line and the value it leaves without a key.
    EXPECT_EQ(1, std::count(warning.begin(), warning.end(), '\n')) << warning;
    EXPECT_NE(std::string::npos, warning.find("lines 5, 7, 8")) << warning;
    EXPECT_NE(std::string::npos, warning.find(file.string())) << warning;

    std::optional<CRegistryKey> key = store.OpenKey("Software\\A");
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(key->QueryValue("Before").has_value());
    EXPECT_FALSE(key->QueryValue("Broken").has_value());
    EXPECT_TRUE(key->QueryValue("After").has_value());
    EXPECT_TRUE(store.OpenKey("Software\\C")->QueryValue("Last").has_value());
    // Reading alone changes nothing on disk.
    EXPECT_EQ(damaged, ReadWholeFile(file));

    EXPECT_TRUE(key->SetValue("New", REG_DWORD, std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_FALSE(std::filesystem::is_symlink(file.string() + ".bad"));
    EXPECT_EQ(damaged, ReadWholeFile(file.string() + ".bad"));
    EXPECT_EQ("keep me", ReadWholeFile(elsewhere));
    CKeyStore rewritten(file);
    EXPECT_FALSE(rewritten.IsDamaged());
    EXPECT_TRUE(rewritten.OpenKey("Software\\A")->QueryValue("After").has_value());
    EXPECT_TRUE(rewritten.OpenKey("Software\\A")->QueryValue("New").has_value());
}

TEST_F(KeyStoreTest, ForeignFilesNeverCrashAndAreKept) {
    std::filesystem::create_directories(file.parent_path());
    const std::string valid =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\A]\n"
        "\"Text\"=\"a \\\"b\\\" c\"\n"
        "\"Wide\"=hex(b):01,02,03,04,\\\n  05,06,07,08\n"
        "[HKEY_LOCAL_MACHINE\\Software]\n";
    std::vector<std::string> samples = {
        "",
        "\x89PNG\r\n\x1a\n",
        "[HKEY_CURRENT_USER\\Software\\A]\n",
        "REGEDIT4\n\"x\"=dword:1\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"x\"=hex(zz):00\n"};
    // Every cut of a file, and random bytes.
    for (size_t cut = 0; cut <= valid.size(); ++cut) samples.push_back(valid.substr(0, cut));
    const size_t cut_samples_end = samples.size();
    std::mt19937 random(7);
    for (int n = 0; n < 60; ++n) {
        std::string noise = valid;
        for (int k = 0; k < 4; ++k) noise[random() % noise.size()] = static_cast<char>(random());
        samples.push_back(noise);
    }
    for (size_t i = 0; i < samples.size(); ++i) {
        const std::string& sample = samples[i];
        WriteWholeFile(file, sample);
        std::filesystem::remove(file.string() + ".bad");
        testing::internal::CaptureStderr();
        CKeyStore store(file);
        const std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_EQ(store.IsDamaged(), !warning.empty());
        if (std::optional<CRegistryKey> key = store.OpenKey("Software\\A")) {
            // What was read before the damage is exactly what the file said.
            if (auto text = key->QueryValue("Text"); text && i < cut_samples_end) {
                EXPECT_EQ(Bytes("a \"b\" c", true), text->bytes);
            }
            // A file cut inside a value never yields a shortened value.
            if (auto wide = key->QueryValue("Wide"); wide && i < cut_samples_end) {
                EXPECT_EQ(8u, wide->bytes.size()) << sample;
            }
        }
        testing::internal::CaptureStderr();
        ASSERT_TRUE(store.CreateKey("Software\\B").has_value());
        testing::internal::GetCapturedStderr();
        if (store.IsDamaged() || !warning.empty()) {
            EXPECT_EQ(sample, ReadWholeFile(file.string() + ".bad"));
        }
        EXPECT_FALSE(CKeyStore(file).IsDamaged());
    }
    // The full sample parses up to the foreign root.
    WriteWholeFile(file, valid);
    testing::internal::CaptureStderr();
    CKeyStore store(file);
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("line 7"));
    ExpectValue(store, *store.OpenKey("Software\\A"), "Wide", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
}

TEST_F(KeyStoreTest, OnlyARegularFileIsReadAndTheStoreIsForItsOwnerAlone) {
    std::filesystem::create_directories(file.parent_path());
    const std::string bad = file.string() + ".bad";
    const auto expect_private = [](const std::string& path) {
        struct stat status {};
        ASSERT_EQ(0, ::lstat(path.c_str(), &status)) << path;
        EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
        EXPECT_EQ(0600u, status.st_mode & 07777) << path;
    };
    // A FIFO without a writer (reading it would wait for one), and a link to an endless device:
    // neither is read, both are moved aside as they are.
    const std::vector<std::pair<std::string, std::function<void()>>> places = {
        {"FIFO", [&] { ASSERT_EQ(0, ::mkfifo(file.c_str(), 0600)); }},
        {"link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", file); }}};
    for (const auto& [what, make] : places) {
        SCOPED_TRACE(what);
        std::filesystem::remove(file);
        std::filesystem::remove(bad);
        make();
        testing::internal::CaptureStderr();
        CKeyStore store(file);
        const std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(store.IsDamaged());
        EXPECT_NE(std::string::npos, warning.find("is not a regular file and is not read")) << warning;
        ASSERT_TRUE(store.CreateKey("Software\\A").has_value());
        expect_private(file.string());
        EXPECT_EQ(what == "FIFO", std::filesystem::is_fifo(std::filesystem::symlink_status(bad)));
        EXPECT_EQ(what != "FIFO", std::filesystem::is_symlink(bad));
    }

    // A NUL byte inside a text: the line is damaged and said, not taken up to the NUL.
    std::filesystem::remove(bad);
    const std::string with_nul =
        std::string("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\A]\n") + "\"Name\"=\"ab" +
        std::string(1, '\0') + "cd\"\n\"After\"=dword:00000001\n";
    WriteWholeFile(file, with_nul);
    ::chmod(file.c_str(), 0644);
    testing::internal::CaptureStderr();
    CKeyStore store(file);
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, warning.find("damaged at line 4 (NUL byte in the line)")) << warning;
    std::optional<CRegistryKey> key = store.OpenKey("Software\\A");
    ASSERT_TRUE(key.has_value());
    EXPECT_FALSE(key->QueryValue("Name").has_value());
    EXPECT_EQ(1u, QueryDword(*key, "After").value_or(0));
    // Rewritten: the file and the damaged copy alike, whatever the mode was.
    EXPECT_TRUE(SetDword(*key, "New", 2));
    expect_private(file.string());
    expect_private(bad);
    EXPECT_EQ(with_nul, ReadWholeFile(bad));
}

TEST_F(KeyStoreTest, UnwritableLocationsFailWithoutLosingAnything) {
    // The folder for the file is a plain file: nothing can be created there.
    WriteWholeFile(folder.Path() / "Tovamesh", "not a folder");
    testing::internal::CaptureStderr();
    {
        CKeyStore store(file);
        EXPECT_FALSE(store.CreateKey("Software\\A").has_value());
        EXPECT_FALSE(store.OpenKey("Software\\A").has_value());  // not kept half-made
    }
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    EXPECT_EQ("not a folder", ReadWholeFile(folder.Path() / "Tovamesh"));

    // The file's place is taken by a folder: it is neither read nor replaced.
    const std::filesystem::path blocked = folder.Path() / "blocked.reg";
    std::filesystem::create_directories(blocked / "inside");
    testing::internal::CaptureStderr();
    {
        CKeyStore store(blocked);
        EXPECT_FALSE(store.CreateKey("Software\\A").has_value());
    }
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
    EXPECT_EQ(2u, FolderEntries(folder.Path()).size());  // no temporary file left behind
}

TEST(KeyStoreLocation, FollowsXdgConfigHome) {
    const char* saved_xdg = std::getenv("XDG_CONFIG_HOME");
    const char* saved_home = std::getenv("HOME");
    const std::string xdg_copy = saved_xdg ? saved_xdg : "";
    const std::string home_copy = saved_home ? saved_home : "";
    setenv("XDG_CONFIG_HOME", "/cfg/place", 1);
    EXPECT_EQ("/cfg/place/Tovamesh/Cindral.reg", CKeyStore::DefaultFilePath().string());
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ("/home/someone/.config/Tovamesh/Cindral.reg", CKeyStore::DefaultFilePath().string());
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ("/home/someone/.config/Tovamesh/Cindral.reg", CKeyStore::DefaultFilePath().string());
    if (saved_xdg) setenv("XDG_CONFIG_HOME", xdg_copy.c_str(), 1);
    if (saved_home)
        setenv("HOME", home_copy.c_str(), 1);
    else
        unsetenv("HOME");
}

}  // namespace

TEST_F(KeyStoreTest, AFileWithoutHeaderOrInUtf16KeepsItsValues) {
    std::filesystem::create_directories(file.parent_path());
    const std::string body =
        "[HKEY_CURRENT_USER\\Software\\A]\r\n\"Name\"=\"Gr\xC3\xBC\xC3\x9F "
        "\xF0\x9F\x93\xB7\"\r\n\"N\"=dword:0000002a\r\n";
    // The registry editor's own export: UTF-16LE after a byte-order mark, CR LF line ends.
    std::string utf16 = "\xFF\xFE";
    for (const char16_t unit :
         std::u16string(u"Windows Registry Editor Version 5.00\r\n\r\n"
                        u"[HKEY_CURRENT_USER\\Software\\A]\r\n\"Name\"=\"Gr\u00FC\u00DF \U0001F4F7\"\r\n"
                        u"\"N\"=dword:0000002a\r\n")) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    for (const auto& [text, is_damaged] : {std::pair{body, true}, std::pair{utf16, false}}) {
        SCOPED_TRACE(is_damaged ? "without header" : "UTF-16");
        WriteWholeFile(file, text);
        std::filesystem::remove(file.string() + ".bad");
        testing::internal::CaptureStderr();
        CKeyStore store(file);
        const std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_EQ(is_damaged, store.IsDamaged()) << warning;
        std::optional<CRegistryKey> key = store.OpenKey("Software\\A");
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ("Gr\xC3\xBC\xC3\x9F \xF0\x9F\x93\xB7", QueryText(*key, "Name").value_or(""));
        EXPECT_EQ(42u, QueryDword(*key, "N").value_or(0));
        ASSERT_TRUE(SetDword(*key, "M", 1));
        EXPECT_EQ(is_damaged, std::filesystem::exists(file.string() + ".bad"));
    }
}

TEST_F(KeyStoreTest, ParsingIsLinearAndAFileOverOneMegabyteIsNotRead) {
    std::filesystem::create_directories(file.parent_path());
    // Just under the limit: 50,000 values under one key, then every second one removed. A
    // search per value took minutes here; a linear parse takes a fraction of a second.
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\A]\n";
    constexpr int kValues = 50000;
    for (int i = 0; i < kValues; ++i) text += "\"" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    for (int i = 0; i < kValues; i += 2) text += "\"" + std::to_string(i) + "\"=-\n";
    ASSERT_LT(text.size(), CKeyStore::kMaxFileBytes);
    WriteWholeFile(file, text);
    const auto started = std::chrono::steady_clock::now();
    {
        CKeyStore store(file);
        EXPECT_FALSE(store.IsDamaged());
        std::optional<CRegistryKey> key = store.OpenKey("Software\\A");
        ASSERT_TRUE(key.has_value());
        EXPECT_FALSE(key->QueryValue("49998").has_value());
        EXPECT_EQ(9u, QueryDword(*key, "49999").value_or(0));
    }
    // Generous for a loaded machine: the quadratic parse took over a minute.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 20.0);

    // One byte more than the limit: damaged as a whole, nothing read, kept as .bad when rewritten.
    text.resize(CKeyStore::kMaxFileBytes + 1, '\n');
    WriteWholeFile(file, text);
    testing::internal::CaptureStderr();
    CKeyStore store(file);
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(store.IsDamaged());
    EXPECT_NE(std::string::npos, warning.find("is larger than 1024 KiB")) << warning;
    EXPECT_FALSE(store.OpenKey("Software\\A").has_value());
    ASSERT_TRUE(store.CreateKey("Software\\B").has_value());
    EXPECT_EQ(text, ReadWholeFile(file.string() + ".bad"));
    EXPECT_FALSE(CKeyStore(file).IsDamaged());
}
