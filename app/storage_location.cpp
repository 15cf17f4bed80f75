#include "app/storage_location.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

std::string VideosFolder() {
    QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (videos.isEmpty()) videos = QDir::homePath() + QStringLiteral("/Videos");
    return QFile::encodeName(videos).toStdString();
}

StorageFolder CurrentStorageFolder(const std::string& program_folder, const std::string& chosen_folder) {
    StorageFolder folder = ResolveStorageFolder(program_folder, chosen_folder, VideosFolder());
    // The default is made with its parents. The recorder makes only the storage folder itself, so a
    // chosen folder on a disk that is gone is not made anew elsewhere: recording says so instead.
    if (folder.source == StorageFolderSource::kVideos)
        QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(folder.path)));
    return folder;
}
