#include "storage/storage_folder.h"

#include <sys/stat.h>

namespace {

bool IsFolder(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string WithTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string StorageBesideProgram(const std::string& program_folder) {
    return (program_folder.empty() ? std::string() : WithTrailingSlash(program_folder)) + "Storage/";
}

StorageFolder ResolveStorageFolder(const std::string& program_folder, const std::string& chosen_folder,
                                   const std::string& videos_folder) {
    const std::string beside = StorageBesideProgram(program_folder);
    if (!program_folder.empty() && IsFolder(beside)) return {beside, StorageFolderSource::kBesideProgram};
    if (!chosen_folder.empty()) return {WithTrailingSlash(chosen_folder), StorageFolderSource::kChosen};
    return {WithTrailingSlash(videos_folder) + "Cindral/", StorageFolderSource::kVideos};
}
