#include "archive_ui/export_actions.h"

#include <QBuffer>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QUrl>

#include <climits>

#include "archive/archive_reader.h"
#include "archive_core/avi_export.h"
#include "archive_core/day_timeline.h"
#include "archive_core/video_export.h"
#include "archive_ui/archive_log.h"
#include "platform/ole_date.h"
#include "platform/safe_output.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box_fit.h"

namespace {

// The exports' texts, translated in a context of their own.
struct ExportTexts {
    Q_DECLARE_TR_FUNCTIONS(ExportActions)
};

const char* const kSnapshotFilter = QT_TRANSLATE_NOOP("ExportActions", "JPeg Files (*.jpg)");
const QString kSnapshotSuffix = QStringLiteral("jpg");
const char* const kAviFilter = QT_TRANSLATE_NOOP("ExportActions", "AVI Files (*.avi)");
const QString kAviSuffix = QStringLiteral("avi");
const char* const kSnapshotCaption = QT_TRANSLATE_NOOP("ExportActions", "Shot...");
const char* const kAviCaption = QT_TRANSLATE_NOOP("ExportActions", "Convert to AVI");
const char* const kVideoCaption = QT_TRANSLATE_NOOP("ExportActions", "Export Video...");

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// Whether path may be written (said so when not) and, for an existing file, whether the user
// wants it replaced.
bool ConfirmTarget(QWidget* parent, IExportPrompts& prompts, const QString& caption, const QString& path,
                   const std::vector<std::string>& protected_paths) {
    std::string refusal;
    if (!CheckOutputPath(LocalPath(path), SafeOutputRules{protected_paths}, refusal)) {
        prompts.ShowError(parent, caption, QString::fromStdString(refusal));
        return false;
    }
    // Devices and pipes are written into, not replaced: only a file's replacing is asked about.
    const QFileInfo target(path);
    return !(target.exists() && target.isFile() && !prompts.ConfirmReplace(parent, caption, path));
}

// The file to write, or an empty text when the user cancels, when the file must not be written
// (said so), or when the user does not want an existing file replaced. The dialog opens in folder
// with suggested_name; the folder of the file chosen is remembered there.
QString AskTarget(QWidget* parent, IExportPrompts& prompts, const QString& caption, const QString& filter,
                  const QString& suffix, const std::string& archive_path, QString& folder,
                  const QString& suggested_name) {
    const QString chosen = prompts.AskSaveFileName(parent, filter, suffix, QDir(folder).filePath(suggested_name));
    if (chosen.isEmpty()) return chosen;
    const QString path = WithDefaultSuffix(chosen, suffix);
    folder = QFileInfo(path).absolutePath();
    const std::vector<std::string> protected_paths =
        archive_path.empty() ? std::vector<std::string>{} : std::vector<std::string>{archive_path};
    return ConfirmTarget(parent, prompts, caption, path, protected_paths) ? path : QString();
}

// The local time of an archive's first record (its file's creation when it has none).
std::optional<CalendarTime> ArchiveStart(const std::string& path) {
    const std::optional<ArchiveTimes> times = ReadArchiveTimes(path);
    return times ? OleDateToCalendar(times->first_day) : std::nullopt;
}

QString DefaultFolder(QStandardPaths::StandardLocation location) {
    const QString folder = QStandardPaths::writableLocation(location);
    // A desktop without that folder: the home folder.
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QDir::homePath();
}

// A progress dialog with Cancel over a long export, shown from the first frame on: an export
// takes seconds, and Cancel must be there at once.
class ExportProgress {
public:
    ExportProgress(QWidget* parent, const QString& caption, const QString& label)
        : dialog_(label, ExportTexts::tr("Cancel"), 0, 1, parent) {
        dialog_.setWindowTitle(caption);
        dialog_.setMinimumWidth(TitleBarWidth(dialog_));  // the whole title shows
        dialog_.setWindowModality(Qt::WindowModal);
        dialog_.setMinimumDuration(0);
        dialog_.setAutoClose(false);
        dialog_.setAutoReset(false);
        dialog_.setValue(0);
    }
    ~ExportProgress() { dialog_.close(); }
    // Gone before the result is told, so that no finished bar stays behind the result's box.
    void Close() { dialog_.close(); }
    ExportProgress(const ExportProgress&) = delete;
    ExportProgress& operator=(const ExportProgress&) = delete;

    // Moves the bar to done of total; false once the user has pressed Cancel.
    bool Update(int64_t done, int64_t total) {
        // The bar counts in ints: very long exports move it by millionths.
        const int64_t scale = total > INT_MAX ? (total + 999999) / 1000000 : 1;
        const int maximum = static_cast<int>(std::max<int64_t>(1, total / scale));
        if (maximum != dialog_.maximum()) dialog_.setMaximum(maximum);
        // A modal progress dialog handles pending events here, the Cancel button among them.
        dialog_.setValue(static_cast<int>(std::min<int64_t>(done / scale, maximum)));
        return !dialog_.wasCanceled();
    }

private:
    QProgressDialog dialog_;
};

}  // namespace

ExportFolders::ExportFolders()
    : pictures(DefaultFolder(QStandardPaths::PicturesLocation)),
      videos(DefaultFolder(QStandardPaths::MoviesLocation)) {}

QString SuggestedFileName(const std::optional<CalendarTime>& time, const QString& suffix) {
    if (!time) return QStringLiteral("Cindral.") + suffix;
    const auto two = [](int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    return QStringLiteral("Cindral %1-%2-%3 %4-%5-%6.%7")
        .arg(time->year, 4, 10, QLatin1Char('0'))
        .arg(two(time->month), two(time->day), two(time->hour), two(time->minute), two(time->second), suffix);
}

QString WithDefaultSuffix(const QString& path, const QString& default_suffix) {
    if (path.isEmpty() || !QFileInfo(path).suffix().isEmpty()) return path;
    return path.endsWith('.') ? path + default_suffix : path + '.' + default_suffix;
}

QString CDialogExportPrompts::AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix,
                                              const QString& suggested_path) {
    QFileDialog dialog(parent);
    dialog.setDirectory(QFileInfo(suggested_path).absolutePath());
    dialog.selectFile(QFileInfo(suggested_path).fileName());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(default_suffix);
    // Replacing an existing file is asked about once the default suffix is added.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

bool CDialogExportPrompts::ConfirmReplace(QWidget* parent, const QString& caption, const QString& path) {
    return ExecFittedMessageBox(parent, QMessageBox::Question, caption,
                                ExportTexts::tr("%1 already exists.\nDo you want to replace it?").arg(path),
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void CDialogExportPrompts::ShowError(QWidget* parent, const QString& caption, const QString& text) {
    ExecFittedMessageBox(parent, QMessageBox::Warning, caption, text);
}

void CDialogExportPrompts::ShowWritten(QWidget* parent, const QString& caption, const QString& path) {
    QMessageBox box(QMessageBox::Information, caption,
                    ExportTexts::tr("Saved as %1").arg(QDir::toNativeSeparators(path)), QMessageBox::Ok, parent);
    QPushButton* open_folder = box.addButton(ExportTexts::tr("Open Folder"), QMessageBox::ActionRole);
    FitMessageBoxText(box);
    box.exec();
    if (box.clickedButton() != open_folder) return;
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
        qCWarning(lcArchive).noquote() << "the folder" << folder << "could not be opened";
        ExecFittedMessageBox(parent, QMessageBox::Warning, caption,
                             ExportTexts::tr("The folder %1 could not be opened.").arg(folder));
    }
}

void RunSnapshotExport(QWidget* parent, CArchiveReader& reader, ExportFolders& folders) {
    CDialogExportPrompts prompts;
    RunSnapshotExport(parent, reader, folders, prompts);
}

void RunAviExport(QWidget* parent, const CArchiveReader& reader, ExportFolders& folders) {
    CDialogExportPrompts prompts;
    RunAviExport(parent, reader, folders, prompts);
}

void RunSnapshotExport(QWidget* parent, CArchiveReader& reader, ExportFolders& folders, IExportPrompts& prompts) {
    const QString caption = ExportTexts::tr(kSnapshotCaption);
    if (!reader.GetFrameInfo(reader.GetCurrentFrame()).known) {
        prompts.ShowError(parent, caption, ExportTexts::tr("There is no frame on show to save."));
        return;
    }
    const QString path =
        AskTarget(parent, prompts, caption, ExportTexts::tr(kSnapshotFilter), kSnapshotSuffix, reader.GetOpenPath(),
                  folders.pictures, SuggestedFileName(OleDateToCalendar(reader.GetFrameTime()), kSnapshotSuffix));
    if (path.isEmpty()) return;
    std::string error;
    if (!SaveSnapshotJpeg(reader, QFile::encodeName(path).toStdString(), error)) {
        prompts.ShowError(
            parent, caption,
            ExportTexts::tr("The frame could not be saved to %1: %2").arg(path, QString::fromStdString(error)));
    }
}

void RunAviExport(QWidget* parent, const CArchiveReader& reader, ExportFolders& folders, IExportPrompts& prompts) {
    const QString caption = ExportTexts::tr(kAviCaption);
    const int32_t frame_count = reader.GetFrameCount();
    if (frame_count <= 0) {
        prompts.ShowError(parent, caption, ExportTexts::tr("The archive holds no frames to convert."));
        return;
    }
    const QString path =
        AskTarget(parent, prompts, caption, ExportTexts::tr(kAviFilter), kAviSuffix, reader.GetOpenPath(),
                  folders.videos, SuggestedFileName(ArchiveStart(reader.GetOpenPath()), kAviSuffix));
    if (path.isEmpty()) return;

    ExportProgress progress(
        parent, caption,
        ExportTexts::tr("Converting %1 frames to %2").arg(frame_count).arg(QFileInfo(path).fileName()));
    // The conversion's own reader counts afresh: a file still being recorded may have grown.
    const AviExportResult result =
        ConvertArchiveToAvi(reader.GetOpenPath(), LocalPath(path),
                            [&](int32_t done, int32_t total) { return progress.Update(done, total); });
    progress.Close();
    if (!result.is_written && !result.is_cancelled) {
        qCWarning(lcArchive).noquote() << "Convert to AVI" << path << "failed:" << QString::fromStdString(result.error);
        prompts.ShowError(parent, caption,
                          ExportTexts::tr("The AVI file %1 could not be written: %2")
                              .arg(path, QString::fromStdString(result.error)));
    } else if (result.is_written) {
        prompts.ShowWritten(parent, caption, path);
    }
}

std::vector<VideoSaveFormat> VideoSaveFormats(const H264Encoder& encoder) {
    std::vector<VideoSaveFormat> formats{
        {ExportTexts::tr("Matroska video, the recorded JPEGs (*.mkv)"), QStringLiteral("mkv"), {}},
        {ExportTexts::tr("AVI video, the recorded JPEGs (*.avi)"), QStringLiteral("avi"), {}},
        {ExportTexts::tr("MP4 video, H.264 (*.mp4)"), QStringLiteral("mp4"), {}},
    };
    if (!encoder.IsAvailable()) {
        VideoSaveFormat& mp4 = formats.back();
        mp4.unavailable_reason = QString::fromStdString(encoder.unavailable_reason);
        mp4.filter = ExportTexts::tr("MP4 video, H.264 - unavailable: %1 (*.mp4)").arg(mp4.unavailable_reason);
    }
    return formats;
}

QString IExportPrompts::AskVideoFileName(QWidget* parent, const std::vector<VideoSaveFormat>& formats,
                                         const QString& suggested_path) {
    QStringList filters;
    QString suffix;
    for (const VideoSaveFormat& format : formats) {
        if (!format.unavailable_reason.isEmpty()) continue;
        filters << format.filter;
        if (suffix.isEmpty()) suffix = format.suffix;
    }
    return AskSaveFileName(parent, filters.join(QStringLiteral(";;")), suffix, suggested_path);
}

void SetUpVideoSaveDialog(QFileDialog& dialog, const std::vector<VideoSaveFormat>& formats) {
    // Greyed entries need Qt's own dialog: a desktop's dialog knows no disabled filters.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QStringList filters;
    for (const VideoSaveFormat& format : formats) filters << format.filter;
    dialog.setNameFilters(filters);
    for (const VideoSaveFormat& format : formats) {
        if (!format.unavailable_reason.isEmpty()) continue;
        dialog.selectNameFilter(format.filter);
        dialog.setDefaultSuffix(format.suffix);
        break;
    }
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, formats](const QString& filter) {
        for (const VideoSaveFormat& format : formats) {
            if (format.filter == filter) dialog.setDefaultSuffix(format.suffix);
        }
    });
    auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    auto* model = combo != nullptr ? qobject_cast<QStandardItemModel*>(combo->model()) : nullptr;
    if (model == nullptr) {
        qCWarning(lcArchive) << "the save dialog has no list of file types to grey out";
        return;
    }
    for (int row = 0; row < model->rowCount() && row < static_cast<int>(formats.size()); ++row) {
        if (formats[row].unavailable_reason.isEmpty()) continue;
        model->item(row)->setEnabled(false);
        model->item(row)->setToolTip(formats[row].unavailable_reason);
    }
}

QString CDialogExportPrompts::AskVideoFileName(QWidget* parent, const std::vector<VideoSaveFormat>& formats,
                                               const QString& suggested_path) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    SetUpVideoSaveDialog(dialog, formats);
    dialog.setDirectory(QFileInfo(suggested_path).absolutePath());
    dialog.selectFile(QFileInfo(suggested_path).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

void RunVideoExport(QWidget* parent, const QStringList& archive_paths, ExportFolders& folders) {
    CDialogExportPrompts prompts;
    RunVideoExport(parent, archive_paths, folders, prompts);
}

void RunVideoExport(QWidget* parent, const QStringList& archive_paths, ExportFolders& folders,
                    IExportPrompts& prompts) {
    const QString caption = ExportTexts::tr(kVideoCaption);
    if (archive_paths.isEmpty()) {
        prompts.ShowError(parent, caption, ExportTexts::tr("Select the archives to export first."));
        return;
    }
    const H264Encoder encoder = FindH264Encoder();
    const std::vector<VideoSaveFormat> formats = VideoSaveFormats(encoder);
    // Named after the earliest archive, with the suffix of the first format that can be chosen.
    std::optional<CalendarTime> first_start;
    double first_day = 0.0;
    for (const QString& archive : archive_paths) {
        const std::optional<ArchiveTimes> times = ReadArchiveTimes(LocalPath(archive));
        if (!times || (first_start && times->first_day >= first_day)) continue;
        first_day = times->first_day;
        first_start = OleDateToCalendar(first_day);
    }
    QString suffix;
    for (const VideoSaveFormat& format : formats) {
        if (format.unavailable_reason.isEmpty() && suffix.isEmpty()) suffix = format.suffix;
    }
    const QString path = prompts.AskVideoFileName(
        parent, formats, QDir(folders.videos).filePath(SuggestedFileName(first_start, suffix)));
    if (path.isEmpty()) return;
    folders.videos = QFileInfo(path).absolutePath();
    const std::optional<VideoContainer> container = ContainerForPath(LocalPath(path));
    if (!container) {
        prompts.ShowError(parent, caption, ExportTexts::tr("The name of the video must end in .mkv, .avi or .mp4."));
        return;
    }
    const VideoExportOptions options{*container, DefaultCodec(*container)};
    if (options.codec == VideoCodec::kH264 && !encoder.IsAvailable()) {
        prompts.ShowError(parent, caption,
                          ExportTexts::tr("MP4 videos cannot be written: %1.")
                              .arg(QString::fromStdString(encoder.unavailable_reason)));
        return;
    }
    std::vector<std::string> archives;
    for (const QString& archive : archive_paths) archives.push_back(LocalPath(archive));
    if (!ConfirmTarget(parent, prompts, caption, path, archives)) return;

    ExportProgress progress(parent, caption, ExportTexts::tr("Writing %1").arg(QFileInfo(path).fileName()));
    const VideoExportResult result = ExportVideo(
        archives, LocalPath(path), options, [&](int64_t done, int64_t total) { return progress.Update(done, total); });
    progress.Close();
    if (!result.is_written && !result.is_cancelled) {
        qCWarning(lcArchive).noquote() << "Export Video" << path << "failed:" << QString::fromStdString(result.error);
        prompts.ShowError(
            parent, caption,
            ExportTexts::tr("The video %1 could not be written: %2").arg(path, QString::fromStdString(result.error)));
    } else if (result.is_written) {
        prompts.ShowWritten(parent, caption, path);
    }
}

void RunPictureSnapshot(QWidget* parent, const QImage& picture, const std::optional<CalendarTime>& time,
                        ExportFolders& folders) {
    CDialogExportPrompts prompts;
    RunPictureSnapshot(parent, picture, time, folders, prompts);
}

void RunPictureSnapshot(QWidget* parent, const QImage& picture, const std::optional<CalendarTime>& time,
                        ExportFolders& folders, IExportPrompts& prompts) {
    const QString caption = ExportTexts::tr("Snapshot");
    if (picture.isNull()) {
        prompts.ShowError(parent, caption, ExportTexts::tr("There is no frame on show to save."));
        return;
    }
    const QString path = AskTarget(parent, prompts, caption, ExportTexts::tr(kSnapshotFilter), kSnapshotSuffix, {},
                                   folders.pictures, SuggestedFileName(time, kSnapshotSuffix));
    if (path.isEmpty()) return;
    QBuffer jpeg;
    jpeg.open(QIODevice::WriteOnly);
    QImageWriter writer(&jpeg, "jpeg");
    writer.setQuality(90);
    std::string error;
    if (!writer.write(picture)) {
        error = writer.errorString().toStdString();
    } else if (WriteOutputFile(LocalPath(path), jpeg.data().constData(), static_cast<size_t>(jpeg.data().size()),
                               SafeOutputRules{}, error)) {
        return;
    }
    qCWarning(lcArchive).noquote() << "Snapshot" << path << "failed:" << QString::fromStdString(error);
    prompts.ShowError(
        parent, caption,
        ExportTexts::tr("The frame could not be saved to %1: %2").arg(path, QString::fromStdString(error)));
}
