#pragma once

#include <QString>

class QWidget;
class CFrameArchive;

// What the exports ask of the user. The panel uses the desktop's dialogs; tests answer in their place.
class IExportPrompts {
public:
    virtual ~IExportPrompts() = default;
    // The file to save to, or an empty text when the user cancels.
    virtual QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix) = 0;
    // Whether the existing file at path may be replaced.
    virtual bool ConfirmReplace(QWidget* parent, const QString& caption, const QString& path) = 0;
    virtual void ShowError(QWidget* parent, const QString& caption, const QString& text) = 0;
};

// A save dialog (QFileDialog), a question and a warning box.
class CDialogExportPrompts : public IExportPrompts {
public:
    QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix) override;
    bool ConfirmReplace(QWidget* parent, const QString& caption, const QString& path) override;
    void ShowError(QWidget* parent, const QString& caption, const QString& text) override;
};

// "Shot..." and "Convert to AVI" of the playback panel; the panel pauses before calling.
// Both ask before replacing an existing file.
void RunSnapshotExport(QWidget* parent, CFrameArchive& reader);
void RunAviExport(QWidget* parent, const CFrameArchive& reader);

// Saves the frame reader has on show.
void RunSnapshotExport(QWidget* parent, CFrameArchive& reader, IExportPrompts& prompts);
// Converts the archive reader has open, read afresh by the conversion: reader is not touched.
// Shows a progress dialog with Cancel while the frames are converted.
void RunAviExport(QWidget* parent, const CFrameArchive& reader, IExportPrompts& prompts);

// A file name without extension gets default_suffix, as the save dialog does.
QString WithDefaultSuffix(const QString& path, const QString& default_suffix);
