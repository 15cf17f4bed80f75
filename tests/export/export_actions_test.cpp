#include "archive_ui/export_actions.h"

#include "archive_ui/core/avi_export.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "export/export_test_support.h"
#include "recording/frame_archive.h"

using namespace export_test;

// Readable failure messages for texts.
void PrintTo(const QString& text, std::ostream* stream) { *stream << '"' << text.toStdString() << '"'; }

namespace {

// Answers the save dialog with a fixed name and notes what was asked and reported.
class ScriptedPrompts : public IExportPrompts {
public:
    explicit ScriptedPrompts(QString answer) : answer_(std::move(answer)) {}

    QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix) override {
        asked_filters.push_back(filter);
        asked_suffixes.push_back(default_suffix);
        if (on_ask) on_ask(parent);
        return answer_;
    }
    bool ConfirmReplace(QWidget*, const QString& caption, const QString& path) override {
        replace_questions.push_back(caption + ": " + path);
        return is_replacing;
    }
    void ShowError(QWidget*, const QString& caption, const QString& text) override {
        errors.push_back(caption + ": " + text);
    }

    std::function<void(QWidget*)> on_ask;
    bool is_replacing = true;
    std::vector<QString> replace_questions;
    std::vector<QString> asked_filters;
    std::vector<QString> asked_suffixes;
    std::vector<QString> errors;

private:
    QString answer_;
};

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

TEST(ExportActions, ShotAsksForAJpegNameAddsTheSuffixAndSavesTheStoredBytes) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 48, 32, 4);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(2);
    QWidget panel;

    ScriptedPrompts prompts(Q(folder.File("picture")));
    RunSnapshotExport(&panel, reader, prompts);
    ASSERT_EQ(1u, prompts.asked_filters.size());
    EXPECT_EQ("JPeg Files (*.jpg)", prompts.asked_filters[0]);
    EXPECT_EQ("jpg", prompts.asked_suffixes[0]);
    EXPECT_TRUE(prompts.errors.empty());
    EXPECT_EQ(StoredJpeg(archive, 2), ReadFileBytes(folder.File("picture.jpg")));

    ScriptedPrompts cancelled{QString()};
    RunSnapshotExport(&panel, reader, cancelled);
    EXPECT_EQ(1u, cancelled.asked_filters.size());
    EXPECT_TRUE(cancelled.errors.empty());
    EXPECT_EQ((std::vector<std::string>{"Storage", "picture.jpg"}), folder.Entries());

    ScriptedPrompts unwritable(Q(folder.File("gone/picture.jpg")));
    RunSnapshotExport(&panel, reader, unwritable);
    ASSERT_EQ(1u, unwritable.errors.size());
    EXPECT_TRUE(unwritable.errors[0].startsWith("Shot...: ")) << unwritable.errors[0].toStdString();
}

TEST(ExportActions, ShotWithoutAFrameOnShowSaysSoWithoutAskingForAName) {
    CFrameArchive reader;  // nothing opened
    QWidget panel;
    ScriptedPrompts prompts(QStringLiteral("/tmp/never.jpg"));
    RunSnapshotExport(&panel, reader, prompts);
    EXPECT_TRUE(prompts.asked_filters.empty());
    EXPECT_EQ(1u, prompts.errors.size());
}

TEST(ExportActions, ConvertAsksForAnAviNameAndWritesEveryFrame) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 5);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(1);
    QWidget panel;

    ScriptedPrompts prompts(Q(folder.File("clip")));
    RunAviExport(&panel, reader, prompts);
    ASSERT_EQ(1u, prompts.asked_filters.size());
    EXPECT_EQ("AVI Files (*.avi)", prompts.asked_filters[0]);
    EXPECT_EQ("avi", prompts.asked_suffixes[0]);
    EXPECT_TRUE(prompts.errors.empty());
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(folder.File("clip.avi"), stream));
    EXPECT_EQ(5, stream.frame_count);
    EXPECT_EQ(1, reader.GetCurrentFrame());
    EXPECT_TRUE(panel.findChildren<QProgressDialog*>().isEmpty()) << "the progress dialog outlived the conversion";

    ScriptedPrompts cancelled{QString()};
    RunAviExport(&panel, reader, cancelled);
    EXPECT_TRUE(cancelled.errors.empty());
    EXPECT_EQ((std::vector<std::string>{"Storage", "clip.avi"}), folder.Entries());
}

TEST(ExportActions, CancelInTheProgressDialogLeavesNoFile) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 40);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    QWidget panel;

    ScriptedPrompts prompts(Q(folder.File("clip.avi")));
    bool is_cancel_pressed = false;
    prompts.on_ask = [&](QWidget* parent) {
        // Runs once the conversion hands events to the progress dialog.
        QTimer::singleShot(0, parent, [parent, &is_cancel_pressed] {
            const auto dialogs = parent->findChildren<QProgressDialog*>();
            if (dialogs.size() != 1) return;
            dialogs[0]->cancel();
            is_cancel_pressed = true;
        });
    };
    RunAviExport(&panel, reader, prompts);
    EXPECT_TRUE(is_cancel_pressed);
    EXPECT_TRUE(prompts.errors.empty());
    EXPECT_EQ(std::vector<std::string>{"Storage"}, folder.Entries());
}

TEST(ExportActions, ConvertReportsUnwritableTargetsAndEmptyArchives) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 2);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    QWidget panel;

    ScriptedPrompts unwritable(Q(folder.File("gone/clip.avi")));
    RunAviExport(&panel, reader, unwritable);
    ASSERT_EQ(1u, unwritable.errors.size());
    EXPECT_TRUE(unwritable.errors[0].startsWith("Convert to AVI: ")) << unwritable.errors[0].toStdString();
    EXPECT_TRUE(unwritable.errors[0].contains("No such file or directory")) << unwritable.errors[0].toStdString();

    WriteFileBytes(folder.File("empty.cna"), std::vector<uint8_t>(8, 0));
    ASSERT_TRUE(reader.OpenFile(folder.File("empty.cna")));
    ScriptedPrompts empty(Q(folder.File("never.avi")));
    RunAviExport(&panel, reader, empty);
    EXPECT_TRUE(empty.asked_filters.empty());
    EXPECT_EQ(1u, empty.errors.size());
    EXPECT_FALSE(FileExists(folder.File("never.avi")));
}

TEST(ExportActions, DefaultSuffixIsAddedOnlyToNamesWithoutOne) {
    EXPECT_EQ("/a/b.avi", WithDefaultSuffix("/a/b", "avi"));
    EXPECT_EQ("/a/b.avi", WithDefaultSuffix("/a/b.", "avi"));
    EXPECT_EQ("/a/b.jpg", WithDefaultSuffix("/a/b.jpg", "avi"));
    EXPECT_EQ("/a.d/b.avi", WithDefaultSuffix("/a.d/b", "avi"));
    EXPECT_EQ("", WithDefaultSuffix("", "avi"));
}

TEST(ExportActions, TheSaveDialogFiltersAndAddsTheDefaultSuffixLeavingTheReplaceQuestionToTheExport) {
    TempFolder folder;
    WriteFileBytes(folder.File("existing.avi"), {'o', 'l', 'd'});
    QWidget panel;
    CDialogExportPrompts prompts;
    for (const auto& [filter, suffix, typed, expected] : std::vector<std::tuple<QString, QString, std::string, std::string>>{
             {"JPeg Files (*.jpg)", "jpg", "frame", "frame.jpg"},
             {"AVI Files (*.avi)", "avi", "existing", "existing.avi"}}) {
        SCOPED_TRACE(typed);
        QStringList seen_filters;
        QString seen_suffix;
        bool is_question_asked = false;
        QTimer::singleShot(0, &panel, [&, typed = typed] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(nullptr, dialog);
            seen_filters = dialog->nameFilters();
            seen_suffix = dialog->defaultSuffix();
            dialog->selectFile(Q(folder.File(typed)));
            // A question about replacing the file would be the active modal widget now: note it
            // and close both, so that the test ends either way.
            QTimer::singleShot(0, [&is_question_asked, guarded = QPointer<QFileDialog>(dialog)] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (box == nullptr) return;
                is_question_asked = true;
                box->reject();
                if (guarded) QMetaObject::invokeMethod(guarded, "reject", Qt::QueuedConnection);
            });
            QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
        });
        const QString chosen = prompts.AskSaveFileName(&panel, filter, suffix);
        EXPECT_EQ(QStringList{filter}, seen_filters);
        EXPECT_EQ(suffix, seen_suffix);
        EXPECT_EQ(Q(folder.File(expected)), chosen);
        EXPECT_FALSE(is_question_asked);
    }
}

TEST(ExportActions, ConvertWritesTheWholeArchiveWhateverThePanelShowsAndLeavesThePanelsReaderAlone) {
    TempFolder folder;
    // Large records, then small ones: the archive on which a jump used to change the export.
    std::vector<BMP_File> pictures(40);
    std::vector<const BMP_File*> order;
    for (size_t i = 0; i < pictures.size(); ++i) {
        PaintScene(pictures[i], i < 10 ? 160 : 40, i < 10 ? 120 : 30, static_cast<uint32_t>(i + 1));
        order.push_back(&pictures[i]);
    }
    const std::string archive = RecordArchive(folder.Path(), order);
    ASSERT_TRUE(ConvertArchiveToAvi(archive, folder.File("fresh.avi")).is_written);

    CFrameArchive panel_reader;
    ASSERT_TRUE(panel_reader.OpenFile(archive));
    panel_reader.SeekFrame(20);
    const std::vector<uint8_t> on_show(panel_reader.GetFrameImage().GetBits(),
                                       panel_reader.GetFrameImage().GetBits() + panel_reader.GetFrameImage().GetBitsSize());
    QWidget panel;
    ScriptedPrompts prompts(Q(folder.File("after-jump.avi")));
    RunAviExport(&panel, panel_reader, prompts);
    EXPECT_TRUE(prompts.errors.empty());
    EXPECT_EQ(ReadFileBytes(folder.File("fresh.avi")), ReadFileBytes(folder.File("after-jump.avi")));
    EXPECT_EQ(20, panel_reader.GetCurrentFrame());
    EXPECT_EQ(on_show, std::vector<uint8_t>(panel_reader.GetFrameImage().GetBits(),
                                            panel_reader.GetFrameImage().GetBits() +
                                                panel_reader.GetFrameImage().GetBitsSize()));
}

TEST(ExportActions, AnExistingFileIsReplacedOnlyWhenTheUserSaysSoAndArchivesNever) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 3);
    CFrameArchive reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(1);
    QWidget panel;
    WriteFileBytes(folder.File("taken.jpg"), {'o', 'l', 'd'});
    WriteFileBytes(folder.File("taken.avi"), {'o', 'l', 'd'});

    for (const bool is_replacing : {false, true}) {
        SCOPED_TRACE(is_replacing);
        ScriptedPrompts shot(Q(folder.File("taken")));
        shot.is_replacing = is_replacing;
        RunSnapshotExport(&panel, reader, shot);
        ScriptedPrompts convert(Q(folder.File("taken")));
        convert.is_replacing = is_replacing;
        RunAviExport(&panel, reader, convert);
        EXPECT_EQ(1u, shot.replace_questions.size());
        EXPECT_EQ(1u, convert.replace_questions.size());
        EXPECT_EQ(is_replacing, ReadFileBytes(folder.File("taken.jpg")) == StoredJpeg(archive, 1));
        EXPECT_EQ(is_replacing, ReadFileBytes(folder.File("taken.avi")) != std::vector<uint8_t>({'o', 'l', 'd'}));
    }
    // The archive itself, and any other archive, is refused with a message and stays as it was.
    const std::vector<uint8_t> recorded = ReadFileBytes(archive);
    WriteFileBytes(folder.File("other.CNA"), {'c', 'n', 'a'});
    for (const std::string& target : {archive, folder.File("other.CNA")}) {
        ScriptedPrompts shot(Q(target));
        RunSnapshotExport(&panel, reader, shot);
        ScriptedPrompts convert(Q(target));
        RunAviExport(&panel, reader, convert);
        EXPECT_EQ(1u, shot.errors.size());
        EXPECT_EQ(1u, convert.errors.size());
        EXPECT_TRUE(shot.replace_questions.empty() && convert.replace_questions.empty());
    }
    EXPECT_EQ(recorded, ReadFileBytes(archive));
    EXPECT_EQ((std::vector<uint8_t>{'c', 'n', 'a'}), ReadFileBytes(folder.File("other.CNA")));
}
