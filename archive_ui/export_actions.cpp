#include "archive_ui/export_actions.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>

#include "archive_ui/core/avi_export.h"
#include "platform/safe_output.h"
#include "recording/frame_archive.h"

namespace {

const QString kSnapshotFilter = QStringLiteral("JPeg Files (*.jpg)");
const QString kSnapshotSuffix = QStringLiteral("jpg");
const QString kAviFilter = QStringLiteral("AVI Files (*.avi)");
const QString kAviSuffix = QStringLiteral("avi");
const QString kSnapshotCaption = QStringLiteral("Shot...");
const QString kAviCaption = QStringLiteral("Convert to AVI");

// The file to write, or an empty text when the user cancels, when the file must not be written
// (said so), or when the user does not want an existing file replaced.
QString AskTarget(QWidget* parent, IExportPrompts& prompts, const QString& caption, const QString& filter,
                  const QString& suffix, const std::string& archive_path) {
    const QString chosen = prompts.AskSaveFileName(parent, filter, suffix);
    if (chosen.isEmpty()) return chosen;
    const QString path = WithDefaultSuffix(chosen, suffix);
    std::string refusal;
    if (!CheckOutputPath(QFile::encodeName(path).toStdString(), SafeOutputRules{{archive_path}}, refusal)) {
        prompts.ShowError(parent, caption, QString::fromStdString(refusal));
        return {};
    }
    // Devices and pipes are written into, not replaced: only a file's replacing is asked about.
    const QFileInfo target(path);
    if (target.exists() && target.isFile() && !prompts.ConfirmReplace(parent, caption, path)) return {};
    return path;
}

}  // namespace

QString WithDefaultSuffix(const QString& path, const QString& default_suffix) {
    if (path.isEmpty() || !QFileInfo(path).suffix().isEmpty()) return path;
    return path.endsWith('.') ? path + default_suffix : path + '.' + default_suffix;
}

QString CDialogExportPrompts::AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix) {
    QFileDialog dialog(parent);
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
    return QMessageBox::question(parent, caption,
                                 QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void CDialogExportPrompts::ShowError(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox::warning(parent, caption, text);
}

void RunSnapshotExport(QWidget* parent, CFrameArchive& reader) {
    CDialogExportPrompts prompts;
    RunSnapshotExport(parent, reader, prompts);
}

void RunAviExport(QWidget* parent, const CFrameArchive& reader) {
    CDialogExportPrompts prompts;
    RunAviExport(parent, reader, prompts);
}

void RunSnapshotExport(QWidget* parent, CFrameArchive& reader, IExportPrompts& prompts) {
    if (!reader.GetFrameInfo(reader.GetCurrentFrame()).known) {
        prompts.ShowError(parent, kSnapshotCaption, QStringLiteral("There is no frame on show to save."));
        return;
    }
    const QString path = AskTarget(parent, prompts, kSnapshotCaption, kSnapshotFilter, kSnapshotSuffix, reader.GetOpenPath());
    if (path.isEmpty()) return;
    std::string error;
    if (!SaveSnapshotJpeg(reader, QFile::encodeName(path).toStdString(), error)) {
        prompts.ShowError(parent, kSnapshotCaption,
                          QStringLiteral("The frame could not be saved to %1: %2").arg(path, QString::fromStdString(error)));
    }
}

void RunAviExport(QWidget* parent, const CFrameArchive& reader, IExportPrompts& prompts) {
    const int32_t frame_count = reader.GetFrameCount();
    if (frame_count <= 0) {
        prompts.ShowError(parent, kAviCaption, QStringLiteral("The archive holds no frames to convert."));
        return;
    }
    const QString path = AskTarget(parent, prompts, kAviCaption, kAviFilter, kAviSuffix, reader.GetOpenPath());
    if (path.isEmpty()) return;

    QProgressDialog progress(QStringLiteral("Converting %1 frames to %2").arg(frame_count).arg(QFileInfo(path).fileName()),
                             QStringLiteral("Cancel"), 0, frame_count, parent);
    progress.setWindowTitle(kAviCaption);
    progress.setWindowModality(Qt::WindowModal);
    // Shown from the first frame on: a conversion takes seconds, and Cancel must be there at once.
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    progress.setValue(0);
    const AviExportResult result = ConvertArchiveToAvi(reader.GetOpenPath(), QFile::encodeName(path).toStdString(),
                                                       [&](int32_t done, int32_t total) {
        // The conversion's own reader counts afresh: a file still being recorded may have grown.
        if (total != progress.maximum()) progress.setMaximum(total);
        // A modal progress dialog handles pending events here, the Cancel button among them.
        progress.setValue(done);
        return !progress.wasCanceled();
    });
    progress.close();
    if (!result.is_written && !result.is_cancelled) {
        prompts.ShowError(parent, kAviCaption,
                          QStringLiteral("The AVI file %1 could not be written: %2").arg(path, QString::fromStdString(result.error)));
    }
}
