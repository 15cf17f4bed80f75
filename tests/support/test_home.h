#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// Points HOME and XDG_CONFIG_HOME at a fresh folder for the whole test program, so that nothing
// it starts (the default storage folder under the videos folder, settings) reaches the real
// home; caches stay where they were. The folder is removed at the end.
class TestHome {
public:
    TestHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cindral-home-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        const char* home = std::getenv("HOME");
        if (std::getenv("XDG_CACHE_HOME") == nullptr && home != nullptr) {
            ::setenv("XDG_CACHE_HOME", (std::filesystem::path(home) / ".cache").c_str(), 1);
        }
        ::setenv("HOME", path_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (path_ / ".config").c_str(), 1);
    }
    ~TestHome() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};
