#pragma once

#include <cstdlib>
#include <filesystem>

#include "support/temp_folder.h"

// Points HOME and XDG_CONFIG_HOME at a fresh folder for the whole test program, so that nothing
// it starts (the default storage folder under the videos folder, settings) reaches the real
// home; caches stay where they were. The folder is removed at the end.
class TestHome {
public:
    TestHome() {
        const char* home = std::getenv("HOME");
        if (std::getenv("XDG_CACHE_HOME") == nullptr && home != nullptr) {
            ::setenv("XDG_CACHE_HOME", (std::filesystem::path(home) / ".cache").c_str(), 1);
        }
        ::setenv("HOME", folder_.Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (folder_.Path() / ".config").c_str(), 1);
    }

private:
    TempFolder folder_;
};
