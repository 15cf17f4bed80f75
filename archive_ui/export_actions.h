#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class QFileDialog;
class QImage;
class QWidget;
class CArchiveReader;
struct CalendarTime;
struct H264Encoder;

// The folders the save dialogs open in: the pictures folder for frames and the videos folder for
// videos at first, then the folder last saved to, for the rest of the run.
struct ExportFolders {
    ExportFolders();
    QString pictures;
    QString videos;
};

// The name a save dialog suggests: "Cindral YYYY-MM-DD HH-MM-SS.<suffix>" of the local time given,
// or "Cindral.<suffix>" when there is none.
QString SuggestedFileName(const std::optional<CalendarTime>& time, const QString& suffix);

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
    // The file to save to, or an empty text when the user cancels; the dialog opens at
    // suggested_path (a folder and a file name).
    virtual QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix,
                                    const QString& suggested_path) = 0;
    // Whether the existing file at path may be replaced.
    virtual bool ConfirmReplace(QWidget* parent, const QString& caption, const QString& path) = 0;
    virtual void ShowError(QWidget* parent, const QString& caption, const QString& text) = 0;
    // Says where a finished export went, offering to open its folder.
    virtual void ShowWritten(QWidget* parent, const QString& caption, const QString& path) = 0;
    // The video file to write, or an empty text when the user cancels. By default the save
    // dialog of AskSaveFileName with the formats that can be chosen.
    virtual QString AskVideoFileName(QWidget* parent, const std::vector<VideoSaveFormat>& formats,
                                     const QString& suggested_path);
};

// A save dialog (QFileDialog), a question and a warning box.
class CDialogExportPrompts : public IExportPrompts {
public:
    QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix,
                            const QString& suggested_path) override;
    bool ConfirmReplace(QWidget* parent, const QString& caption, const QString& path) override;
    void ShowError(QWidget* parent, const QString& caption, const QString& text) override;
    // An information box with "Open Folder", which opens the file's folder in the desktop's file manager.
    void ShowWritten(QWidget* parent, const QString& caption, const QString& path) override;
    // Qt's own save dialog, where a format that cannot be chosen shows greyed with its reason.
    QString AskVideoFileName(QWidget* parent, const std::vector<VideoSaveFormat>& formats,
                             const QString& suggested_path) override;
};

// Offers formats in dialog: one filter each, the default suffix following the chosen filter,
// those that cannot be chosen greyed with their reason.
void SetUpVideoSaveDialog(QFileDialog& dialog, const std::vector<VideoSaveFormat>& formats);

// "Shot..." and "Convert to AVI" of the playback panel; the panel pauses before calling.
// Both ask before replacing an existing file, open where folders says and remember the folder chosen.
void RunSnapshotExport(QWidget* parent, CArchiveReader& reader, ExportFolders& folders);
void RunAviExport(QWidget* parent, const CArchiveReader& reader, ExportFolders& folders);

// Saves the frame reader has on show, suggesting a name of the frame's time.
void RunSnapshotExport(QWidget* parent, CArchiveReader& reader, ExportFolders& folders, IExportPrompts& prompts);
// Converts the archive reader has open, read afresh by the conversion: reader is not touched.
// Shows a progress dialog with Cancel while the frames are converted, then where the file went.
void RunAviExport(QWidget* parent, const CArchiveReader& reader, ExportFolders& folders, IExportPrompts& prompts);

// "Export Video...": the archives joined in time order into one video file of the kind its name
// ends in, each frame at its recorded time, with a progress dialog with Cancel.
void RunVideoExport(QWidget* parent, const QStringList& archive_paths, ExportFolders& folders);
void RunVideoExport(QWidget* parent, const QStringList& archive_paths, ExportFolders& folders, IExportPrompts& prompts);

// "Snapshot": picture (the frame on show, live or played, of the given time; unnamed by time when
// that is unknown) saved as a JPEG, with the dialog and naming of "Shot...".
void RunPictureSnapshot(QWidget* parent, const QImage& picture, const std::optional<CalendarTime>& time,
                        ExportFolders& folders);
void RunPictureSnapshot(QWidget* parent, const QImage& picture, const std::optional<CalendarTime>& time,
                        ExportFolders& folders, IExportPrompts& prompts);

// A file name without extension gets default_suffix, as the save dialog does.
QString WithDefaultSuffix(const QString& path, const QString& default_suffix);
