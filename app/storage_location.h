#pragma once

#include <string>

#include "storage/storage_folder.h"

// The user's videos folder (usually ~/Videos), as the desktop names it.
std::string VideosFolder();

// The storage folder the program uses now: "Storage" beside the program when it exists, else the
// chosen folder, else "Cindral" in the videos folder, which is created when missing.
StorageFolder CurrentStorageFolder(const std::string& program_folder, const std::string& chosen_folder);
