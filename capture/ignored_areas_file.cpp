#include "capture/ignored_areas_file.h"

#include <QImage>
#include <QImageReader>
#include <QSaveFile>
#include <QString>
#include <functional>

std::optional<BlockMask> ReadIgnoredAreas(const std::string& path, std::string* error) {
    QImageReader reader(QString::fromStdString(path));
    const QImage image = reader.read();
    if (image.isNull()) {
        if (error) *error = "cannot read the mask " + path + ": " + reader.errorString().toStdString();
        return std::nullopt;
    }
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    std::vector<uint8_t> ignored(static_cast<size_t>(rgb.width()) * rgb.height(), 0);
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            ignored[static_cast<size_t>(y) * rgb.width() + x] = (row[x] & 0x00FFFFFF) != 0 ? 1 : 0;
        }
    }
    return BlockMask(rgb.width(), rgb.height(), std::move(ignored));
}

bool WriteIgnoredAreas(const std::string& path, const BlockMask& mask, std::string* error) {
    QImage image(mask.Across(), mask.Down(), QImage::Format_Grayscale8);
    if (image.isNull()) {
        if (error) *error = "cannot write the mask " + path + ": it has no blocks";
        return false;
    }
    for (int y = 0; y < mask.Down(); ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < mask.Across(); ++x)
            row[x] = mask.IsIgnored(static_cast<size_t>(y) * mask.Across() + x) ? 255 : 0;
    }
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit()) {
        if (error) *error = "cannot write the mask " + path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

std::string IgnoredAreasPath(const std::string& folder, const std::string& camera) {
    std::string name;
    for (const char c : camera) {
        const bool is_plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        name += is_plain ? c : '_';
    }
    if (name.size() > 64) name.resize(64);
    // Names that differ only in replaced characters stay apart.
    uint32_t hash = 2166136261u;
    for (const char c : camera) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", hash);
    return folder + "Ignored Areas " + name + suffix + ".png";
}
