#pragma once

#include <string>

// Why a folder holds the day folders.
enum class StorageFolderSource {
    kBesideProgram,  // "Storage" beside the program exists: portable installs and older set-ups
    kChosen,         // the folder the user chose
    kVideos,         // "Cindral" in the user's videos folder
};

struct StorageFolder {
    std::string path;  // ends with '/'
    StorageFolderSource source = StorageFolderSource::kVideos;
};

// "Storage" beside the program (program_folder ends with '/'), as --program-folder means it.
std::string StorageBesideProgram(const std::string& program_folder);

// The folder that holds the day folders: "Storage" beside the program when that folder exists,
// else the chosen folder (when one was chosen), else "Cindral" in videos_folder.
StorageFolder ResolveStorageFolder(const std::string& program_folder, const std::string& chosen_folder,
                                   const std::string& videos_folder);

// With exactly one trailing '/'.
std::string WithTrailingSlash(std::string folder);
