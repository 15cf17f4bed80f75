#pragma once

#include <QString>
#include <QStringList>
#include <vector>

class QFileDialog;
class QWidget;
class CFrameArchive;
struct H264Encoder;

// A kind of video the save dialog offers: its filter, its extension, and why it cannot be
// chosen (empty when it can).
struct VideoSaveFormat {
    QString filter;
    QString suffix;
    QString unavailable_reason;
};
// Matroska and AVI with the stored JPEGs, and MP4 in H.264 unless encoder says there is none.
std::vector<VideoSaveFormat> VideoSaveFormats(const H264Encoder& encoder);

// What the exports ask of the user. The panel uses the desktop's dialogs; tests answer in their place.
class IExportPrompts {
public:
    virtual ~IExportPrompts() = default;
    // The file to save to, or an empty text when the user cancels.
    virtual QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix) = 0;
    // Whether the existing file at path may be replaced.
    virtual bool ConfirmReplace(QWidget* parent, const QString& caption, const QString& path) = 0;
    virtual void ShowError(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The video file to write, or an empty text when the user cancels. By default the save
    // dialog of AskSaveFileName with the formats that can be chosen.
    virtual QString AskVideoFileName(QWidget* parent, const std::vector<VideoSaveFormat>& formats);
};

// A save dialog (QFileDialog), a question and a warning box.
class CDialogExportPrompts : public IExportPrompts {
public:
    QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix) override;
    bool ConfirmReplace(QWidget* parent, const QString& caption, const QString& path) override;
    void ShowError(QWidget* parent, const QString& caption, const QString& text) override;
    // Qt's own save dialog, where a format that cannot be chosen shows greyed with its reason.
    QString AskVideoFileName(QWidget* parent, const std::vector<VideoSaveFormat>& formats) override;
};

// Offers formats in dialog: one filter each, the default suffix following the chosen filter,
// those that cannot be chosen greyed with their reason.
void SetUpVideoSaveDialog(QFileDialog& dialog, const std::vector<VideoSaveFormat>& formats);

// "Shot..." and "Convert to AVI" of the playback panel; the panel pauses before calling.
// Both ask before replacing an existing file.
void RunSnapshotExport(QWidget* parent, CFrameArchive& reader);
void RunAviExport(QWidget* parent, const CFrameArchive& reader);

// Saves the frame reader has on show.
void RunSnapshotExport(QWidget* parent, CFrameArchive& reader, IExportPrompts& prompts);
// Converts the archive reader has open, read afresh by the conversion: reader is not touched.
// Shows a progress dialog with Cancel while the frames are converted.
void RunAviExport(QWidget* parent, const CFrameArchive& reader, IExportPrompts& prompts);

// "Export Video...": the archives joined in time order into one video file of the kind its name
// ends in, each frame at its recorded time, with a progress dialog with Cancel.
void RunVideoExport(QWidget* parent, const QStringList& archive_paths);
void RunVideoExport(QWidget* parent, const QStringList& archive_paths, IExportPrompts& prompts);

// A file name without extension gets default_suffix, as the save dialog does.
QString WithDefaultSuffix(const QString& path, const QString& default_suffix);
