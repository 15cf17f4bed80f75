#include "archive_ui/export_actions.h"

#include "archive_ui/archive_dlg.h"

#include "archive_core/avi_export.h"
#include "archive_core/day_timeline.h"
#include "archive_core/video_export.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "archive_core/export_test_support.h"
#include "platform/ole_date.h"
#include "recorder/frame_archive.h"

using namespace export_test;

// Readable failure messages for texts.
void PrintTo(const QString& text, std::ostream* stream) { *stream << '"' << text.toStdString() << '"'; }

namespace {

// Answers the save dialog with a fixed name and notes what was asked and reported.
class ScriptedPrompts : public IExportPrompts {
public:
    explicit ScriptedPrompts(QString answer) : answer_(std::move(answer)) {}

    QString AskSaveFileName(QWidget* parent, const QString& filter, const QString& default_suffix,
                            const QString& suggested_path) override {
        asked_filters.push_back(filter);
        asked_suffixes.push_back(default_suffix);
        suggested_paths.push_back(suggested_path);
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
    void ShowWritten(QWidget* parent, const QString& caption, const QString& path) override {
        written.push_back(caption + ": " + path);
        for (const QProgressDialog* progress : parent->findChildren<QProgressDialog*>())
            is_progress_behind_result |= progress->isVisible();
    }

    std::function<void(QWidget*)> on_ask;
    bool is_replacing = true;
    bool is_progress_behind_result = false;  // a progress bar still on show when the result is told
    std::vector<QString> replace_questions;
    std::vector<QString> asked_filters;
    std::vector<QString> asked_suffixes;
    std::vector<QString> suggested_paths;
    std::vector<QString> errors;
    std::vector<QString> written;

private:
    QString answer_;
};

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The folders the exports of one test open in.
ExportFolders& Folders() {
    static ExportFolders folders;
    return folders;
}

}  // namespace

TEST(ExportActions, ShotAsksForAJpegNameAddsTheSuffixAndSavesTheStoredBytes) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 48, 32, 4);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(2);
    QWidget panel;

    ScriptedPrompts prompts(Q(folder.File("picture")));
    RunSnapshotExport(&panel, reader, Folders(), prompts);
    ASSERT_EQ(1u, prompts.asked_filters.size());
    EXPECT_EQ("JPeg Files (*.jpg)", prompts.asked_filters[0]);
    EXPECT_EQ("jpg", prompts.asked_suffixes[0]);
    EXPECT_TRUE(prompts.errors.empty());
    EXPECT_EQ(StoredJpeg(archive, 2), ReadBytes(folder.File("picture.jpg")));

    ScriptedPrompts cancelled{QString()};
    RunSnapshotExport(&panel, reader, Folders(), cancelled);
    EXPECT_EQ(1u, cancelled.asked_filters.size());
    EXPECT_TRUE(cancelled.errors.empty());
    EXPECT_EQ((std::vector<std::string>{"Storage", "picture.jpg"}), folder.Entries());

    ScriptedPrompts unwritable(Q(folder.File("gone/picture.jpg")));
    RunSnapshotExport(&panel, reader, Folders(), unwritable);
    ASSERT_EQ(1u, unwritable.errors.size());
    EXPECT_TRUE(unwritable.errors[0].startsWith("Shot...: ")) << unwritable.errors[0].toStdString();
}

TEST(ExportActions, SaveDialogsSuggestTheRecordedTimeInTheirKindsFolderAndRememberTheFolderChosen) {
    TempFolder folder;
    const std::string early = RecordScenes(folder.Path(), 48, 32, 3);
    const std::string late = RecordScenes(folder.Path(), 48, 32, 2);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(late));
    reader.SeekFrame(1);
    QWidget panel;
    ExportFolders folders;
    const QString pictures = folders.pictures;
    const QString videos = folders.videos;
    EXPECT_TRUE(pictures.endsWith("Pictures") || pictures == QDir::homePath()) << pictures.toStdString();
    EXPECT_TRUE(videos.endsWith("Videos") || videos == QDir::homePath()) << videos.toStdString();
    auto name_of = [](double ole_date, const char* suffix) {
        const std::optional<CalendarTime> time = OleDateToCalendar(ole_date);
        return QString::asprintf("Cindral %04d-%02d-%02d %02d-%02d-%02d.%s", time->year, time->month, time->day,
                                 time->hour, time->minute, time->second, suffix);
    };
    std::filesystem::create_directories(folder.File("shots"));
    std::filesystem::create_directories(folder.File("clips"));

    // "Shot...": the pictures folder and the frame's own time; then the folder used last.
    ScriptedPrompts shot(Q(folder.File("shots/one.jpg")));
    RunSnapshotExport(&panel, reader, folders, shot);
    ScriptedPrompts again(QString{});
    RunSnapshotExport(&panel, reader, folders, again);
    ASSERT_EQ(1u, shot.suggested_paths.size());
    EXPECT_EQ(QDir(pictures).filePath(name_of(reader.GetFrameTime(), "jpg")), shot.suggested_paths[0]);
    EXPECT_EQ(Q(folder.File("shots/")) + name_of(reader.GetFrameTime(), "jpg"), again.suggested_paths.at(0));

    // The exports: the videos folder and the time the (earliest) archive began.
    ScriptedPrompts convert(Q(folder.File("clips/late.avi")));
    RunAviExport(&panel, reader, folders, convert);
    EXPECT_EQ(QDir(videos).filePath(name_of(ReadArchiveTimes(late)->first_day, "avi")), convert.suggested_paths.at(0));
    ScriptedPrompts joined(QString{});
    RunVideoExport(&panel, {Q(late), Q(early)}, folders, joined);
    EXPECT_EQ(Q(folder.File("clips/")) + name_of(ReadArchiveTimes(early)->first_day, "mkv"),
              joined.suggested_paths.at(0));

    // "Snapshot" of a live picture: named after the moment given (the JPEG itself is judged end to end).
    QImage live(40, 30, QImage::Format_RGB32);
    ScriptedPrompts snapshot{QString{}};
    RunPictureSnapshot(&panel, live, CalendarTime{2026, 12, 7, 9, 5, 3}, folders, snapshot);
    EXPECT_EQ(Q(folder.File("shots/Cindral 2026-12-07 09-05-03.jpg")), snapshot.suggested_paths.at(0));
    EXPECT_EQ("Cindral.jpg", SuggestedFileName(std::nullopt, "jpg"));
}

TEST(ExportActions, ShotWithoutAFrameOnShowSaysSoWithoutAskingForAName) {
    CArchiveReader reader;  // nothing opened
    QWidget panel;
    ScriptedPrompts prompts(QStringLiteral("/tmp/never.jpg"));
    RunSnapshotExport(&panel, reader, Folders(), prompts);
    EXPECT_TRUE(prompts.asked_filters.empty());
    EXPECT_EQ(1u, prompts.errors.size());
}

TEST(ExportActions, ConvertAsksForAnAviNameAndWritesEveryFrame) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 5);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(1);
    QWidget panel;

    ScriptedPrompts prompts(Q(folder.File("clip")));
    RunAviExport(&panel, reader, Folders(), prompts);
    ASSERT_EQ(1u, prompts.asked_filters.size());
    EXPECT_EQ("AVI Files (*.avi)", prompts.asked_filters[0]);
    EXPECT_EQ("avi", prompts.asked_suffixes[0]);
    EXPECT_TRUE(prompts.errors.empty());
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(folder.File("clip.avi"), stream));
    EXPECT_EQ(5, stream.frame_count);
    EXPECT_EQ(1, reader.GetCurrentFrame());
    EXPECT_TRUE(panel.findChildren<QProgressDialog*>().isEmpty()) << "the progress dialog outlived the conversion";
    EXPECT_EQ(std::vector<QString>{"Convert to AVI: " + Q(folder.File("clip.avi"))}, prompts.written);
    EXPECT_FALSE(prompts.is_progress_behind_result);

    ScriptedPrompts cancelled{QString()};
    RunAviExport(&panel, reader, Folders(), cancelled);
    EXPECT_TRUE(cancelled.errors.empty());
    EXPECT_EQ((std::vector<std::string>{"Storage", "clip.avi"}), folder.Entries());
}

TEST(ExportActions, CancelInTheProgressDialogLeavesNoFile) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 40);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    QWidget panel;

    ScriptedPrompts prompts(Q(folder.File("clip.avi")));
    bool is_cancel_pressed = false;
    prompts.on_ask = [&](QWidget* parent) {
        // Runs once the conversion hands events to the progress dialog.
        QTimer::singleShot(0, parent, [parent, &is_cancel_pressed] {
            const auto dialogs = parent->findChildren<QProgressDialog*>();
            if (dialogs.size() != 1) return;
            // Wide enough for its whole title beside the title bar's buttons.
            const QFontMetrics title_font(QApplication::font("QMdiSubWindowTitleBar"));
            EXPECT_GT(dialogs[0]->width(), title_font.horizontalAdvance(dialogs[0]->windowTitle()) + 100);
            dialogs[0]->cancel();
            is_cancel_pressed = true;
        });
    };
    RunAviExport(&panel, reader, Folders(), prompts);
    EXPECT_TRUE(is_cancel_pressed);
    EXPECT_TRUE(prompts.errors.empty());
    EXPECT_EQ(std::vector<std::string>{"Storage"}, folder.Entries());
}

TEST(ExportActions, ConvertReportsUnwritableTargetsAndEmptyArchives) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 2);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    QWidget panel;

    ScriptedPrompts unwritable(Q(folder.File("gone/clip.avi")));
    RunAviExport(&panel, reader, Folders(), unwritable);
    ASSERT_EQ(1u, unwritable.errors.size());
    EXPECT_TRUE(unwritable.errors[0].startsWith("Convert to AVI: ")) << unwritable.errors[0].toStdString();
    EXPECT_TRUE(unwritable.errors[0].contains("No such file or directory")) << unwritable.errors[0].toStdString();

    WriteBytes(folder.File("empty.cna"), std::vector<uint8_t>(8, 0));
    ASSERT_TRUE(reader.OpenFile(folder.File("empty.cna")));
    ScriptedPrompts empty(Q(folder.File("never.avi")));
    RunAviExport(&panel, reader, Folders(), empty);
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
    WriteBytes(folder.File("existing.avi"), {'o', 'l', 'd'});
    QWidget panel;
    CDialogExportPrompts prompts;
    for (const auto& [filter, suffix, typed, expected] :
         std::vector<std::tuple<QString, QString, std::string, std::string>>{
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
        const QString chosen =
            prompts.AskSaveFileName(&panel, filter, suffix, Q(folder.File("suggested." + suffix.toStdString())));
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
    const std::string archive = RecordPictures(folder.Path(), order);
    ASSERT_TRUE(ConvertArchiveToAvi(archive, folder.File("fresh.avi")).is_written);

    CArchiveReader panel_reader;
    ASSERT_TRUE(panel_reader.OpenFile(archive));
    panel_reader.SeekFrame(20);
    const std::vector<uint8_t> on_show(
        panel_reader.GetFrameImage().GetBits(),
        panel_reader.GetFrameImage().GetBits() + panel_reader.GetFrameImage().GetBitsSize());
    QWidget panel;
    ScriptedPrompts prompts(Q(folder.File("after-jump.avi")));
    RunAviExport(&panel, panel_reader, Folders(), prompts);
    EXPECT_TRUE(prompts.errors.empty());
    EXPECT_EQ(ReadBytes(folder.File("fresh.avi")), ReadBytes(folder.File("after-jump.avi")));
    EXPECT_EQ(20, panel_reader.GetCurrentFrame());
    EXPECT_EQ(on_show, std::vector<uint8_t>(
                           panel_reader.GetFrameImage().GetBits(),
                           panel_reader.GetFrameImage().GetBits() + panel_reader.GetFrameImage().GetBitsSize()));
}

TEST(ExportActions, AnExistingFileIsReplacedOnlyWhenTheUserSaysSoAndArchivesNever) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 30, 20, 3);
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(archive));
    reader.SeekFrame(1);
    QWidget panel;
    WriteBytes(folder.File("taken.jpg"), {'o', 'l', 'd'});
    WriteBytes(folder.File("taken.avi"), {'o', 'l', 'd'});

    for (const bool is_replacing : {false, true}) {
        SCOPED_TRACE(is_replacing);
        ScriptedPrompts shot(Q(folder.File("taken")));
        shot.is_replacing = is_replacing;
        RunSnapshotExport(&panel, reader, Folders(), shot);
        ScriptedPrompts convert(Q(folder.File("taken")));
        convert.is_replacing = is_replacing;
        RunAviExport(&panel, reader, Folders(), convert);
        EXPECT_EQ(1u, shot.replace_questions.size());
        EXPECT_EQ(1u, convert.replace_questions.size());
        EXPECT_EQ(is_replacing, ReadBytes(folder.File("taken.jpg")) == StoredJpeg(archive, 1));
        EXPECT_EQ(is_replacing, ReadBytes(folder.File("taken.avi")) != std::vector<uint8_t>({'o', 'l', 'd'}));
    }
    // The archive itself, and any other archive, is refused with a message and stays as it was.
    const std::vector<uint8_t> recorded = ReadBytes(archive);
    WriteBytes(folder.File("other.CNA"), {'c', 'n', 'a'});
    for (const std::string& target : {archive, folder.File("other.CNA")}) {
        ScriptedPrompts shot(Q(target));
        RunSnapshotExport(&panel, reader, Folders(), shot);
        ScriptedPrompts convert(Q(target));
        RunAviExport(&panel, reader, Folders(), convert);
        EXPECT_EQ(1u, shot.errors.size());
        EXPECT_EQ(1u, convert.errors.size());
        EXPECT_TRUE(shot.replace_questions.empty() && convert.replace_questions.empty());
    }
    EXPECT_EQ(recorded, ReadBytes(archive));
    EXPECT_EQ((std::vector<uint8_t>{'c', 'n', 'a'}), ReadBytes(folder.File("other.CNA")));
}

namespace {

// Takes an element out of GStreamer's registry while it lives, as if its package were missing.
class HiddenElement {
public:
    explicit HiddenElement(const char* name) {
        std::string error;
        if (!EnsureGstreamer(error)) throw std::runtime_error(error);
        feature_ = gst_registry_lookup_feature(gst_registry_get(), name);
        if (feature_ != nullptr) gst_registry_remove_feature(gst_registry_get(), feature_);
    }
    ~HiddenElement() {
        if (feature_ == nullptr) return;
        gst_registry_add_feature(gst_registry_get(), feature_);
        gst_object_unref(feature_);
    }
    HiddenElement(const HiddenElement&) = delete;
    HiddenElement& operator=(const HiddenElement&) = delete;

private:
    GstPluginFeature* feature_ = nullptr;
};

}  // namespace

TEST(VideoExportActions, JoinsTheGivenArchivesIntoTheKindOfTheNameAndCancelLeavesNoFile) {
    ASSERT_TRUE(FindH264Encoder().IsAvailable());
    TempFolder folder;
    const std::string early = RecordScenes(folder.Path(), 32, 24, 3);
    const std::string late = RecordScenes(folder.Path(), 32, 24, 40);
    QWidget panel;

    ScriptedPrompts prompts(Q(folder.File("clip.avi")));
    RunVideoExport(&panel, {Q(late), Q(early)}, Folders(), prompts);
    EXPECT_TRUE(prompts.errors.empty());
    ASSERT_EQ(1u, prompts.asked_filters.size());
    EXPECT_EQ(
        "Matroska video, the recorded JPEGs (*.mkv);;AVI video, the recorded JPEGs (*.avi);;MP4 video, H.264 (*.mp4)",
        prompts.asked_filters[0]);
    EXPECT_EQ("mkv", prompts.asked_suffixes[0]);
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(folder.File("clip.avi"), stream));
    EXPECT_EQ("mjpeg", stream.codec_name);
    EXPECT_EQ(43, stream.frame_count);

    ScriptedPrompts cancelling(Q(folder.File("cancelled.mp4")));
    cancelling.on_ask = [](QWidget* parent) {
        QTimer::singleShot(0, parent, [parent] {
            for (QProgressDialog* progress : parent->findChildren<QProgressDialog*>()) progress->cancel();
        });
    };
    RunVideoExport(&panel, {Q(late)}, Folders(), cancelling);
    ScriptedPrompts unknown(Q(folder.File("clip.mov")));
    RunVideoExport(&panel, {Q(late)}, Folders(), unknown);
    EXPECT_TRUE(cancelling.errors.empty());
    ASSERT_EQ(1u, unknown.errors.size());
    EXPECT_TRUE(unknown.errors[0].contains(".mkv, .avi or .mp4")) << unknown.errors[0].toStdString();
    EXPECT_EQ((std::vector<std::string>{"Storage", "clip.avi"}), folder.Entries());
}

TEST(VideoExportActions, WithoutAnH264EncoderMp4IsOfferedGreyedWithTheReasonAndRefused) {
    TempFolder folder;
    const std::string archive = RecordScenes(folder.Path(), 32, 24, 2);
    QWidget panel;
    const HiddenElement hidden("x264enc");
    const H264Encoder encoder = FindH264Encoder();
    ASSERT_FALSE(encoder.IsAvailable());
    const QString reason = QString::fromStdString(encoder.unavailable_reason);
    EXPECT_TRUE(reason.contains("gstreamer1.0-plugins-ugly")) << reason.toStdString();

    QFileDialog dialog(&panel);
    const std::vector<VideoSaveFormat> formats = VideoSaveFormats(encoder);
    SetUpVideoSaveDialog(dialog, formats);
    auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(nullptr, combo);
    auto* model = qobject_cast<QStandardItemModel*>(combo->model());
    ASSERT_NE(nullptr, model);
    ASSERT_EQ(3, model->rowCount());
    EXPECT_TRUE(model->item(0)->isEnabled() && model->item(1)->isEnabled());
    EXPECT_FALSE(model->item(2)->isEnabled());
    EXPECT_TRUE(model->item(2)->text().contains(reason)) << model->item(2)->text().toStdString();
    EXPECT_EQ(reason, model->item(2)->toolTip());
    EXPECT_EQ("mkv", dialog.defaultSuffix());
    // Down the list of kinds from the keyboard: AVI, and no further, MP4 cannot be chosen.
    for (int press = 0; press < 2; ++press) {
        QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
        QApplication::sendEvent(combo, &down);
    }
    EXPECT_EQ(1, combo->currentIndex());
    EXPECT_EQ("avi", dialog.defaultSuffix());

    // A name typed with .mp4 all the same is refused with the reason.
    ScriptedPrompts prompts(Q(folder.File("clip.mp4")));
    RunVideoExport(&panel, {Q(archive)}, Folders(), prompts);
    ASSERT_EQ(1u, prompts.asked_filters.size());
    EXPECT_FALSE(prompts.asked_filters[0].contains("*.mp4"));
    ASSERT_EQ(1u, prompts.errors.size());
    EXPECT_TRUE(prompts.errors[0].contains(reason)) << prompts.errors[0].toStdString();
    EXPECT_EQ(std::vector<std::string>{"Storage"}, folder.Entries());
}

TEST(VideoExportActions, ExportVideoInTheArchiveListJoinsTheSelectedRowsThroughTheSaveDialog) {
    TempFolder folder;
    RecordScenes(folder.Path(), 32, 24, 4);
    RecordScenes(folder.Path(), 32, 24, 6);
    const QDate today = QDate::currentDate();
    CArchiveDlg dialog(folder.Folder() + "Storage/");
    dialog.SetDateRangeSource([&] {
        return DayRange{{today.year(), today.month(), today.day()}, {today.year(), today.month(), today.day()}};
    });
    dialog.show();
    QApplication::processEvents();
    ASSERT_EQ(2, dialog.RowCount());
    dialog.ListControl()->selectAll();

    QStringList offered;
    QTimer::singleShot(0, &dialog, [&] {
        auto* save = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(nullptr, save);
        offered = save->nameFilters();
        save->selectFile(Q(folder.File("joined")));
        QMetaObject::invokeMethod(save, "accept", Qt::DirectConnection);
    });
    // Then where the video went, with a way to its folder.
    QString said;
    bool has_open_folder = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        said = box->text();
        for (const QAbstractButton* button : box->buttons()) has_open_folder |= button->text() == "Open Folder";
        const QFontMetrics title_font(QApplication::font("QMdiSubWindowTitleBar"));
        EXPECT_GT(box->width(), title_font.horizontalAdvance(box->windowTitle()) + 100) << "the whole title shows";
        box->accept();
    });
    answer.start(20);
    dialog.ExportVideoButton()->click();
    EXPECT_EQ(3, offered.size());
    EXPECT_EQ("Saved as " + Q(folder.File("joined.mkv")), said);
    EXPECT_TRUE(has_open_folder);
    ProbedStream stream;
    ASSERT_TRUE(ProbeVideo(folder.File("joined.mkv"), stream));
    EXPECT_EQ("mjpeg", stream.codec_name);
    EXPECT_EQ(10, stream.frame_count);
}

// What a user reads in a box: its whole text inside the label, its whole title, and the box on the screen.
struct ShownBox {
    bool is_text_inside = false;
    bool is_title_whole = false;
    bool is_on_screen = false;
};

ShownBox ShowAndMeasure(const std::function<void()>& show) {
    ShownBox shown;
    QTimer::singleShot(0, [&shown] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(nullptr, box);
        const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        ASSERT_NE(nullptr, label);
        const QRect room = label->contentsRect();
        const QRect needed = QFontMetrics(label->font())
                                 .boundingRect(QRect(0, 0, room.width(), 1 << 20), Qt::TextWordWrap, label->text());
        shown.is_text_inside = needed.width() <= room.width() && needed.height() <= room.height();
        const QFontMetrics title_font(QApplication::font("QMdiSubWindowTitleBar"));
        shown.is_title_whole = box->width() > title_font.horizontalAdvance(box->windowTitle()) + 100;
        shown.is_on_screen = box->width() <= box->screen()->availableGeometry().width();
        box->accept();
    });
    show();
    return shown;
}

TEST(ExportActions, ResultAndErrorBoxesShowTheirWholeTextAndTitle) {
    QWidget panel;
    CDialogExportPrompts prompts;
    const QString folder = "/home/somebody/Videos/Cindral/" + QString(40, 'f') + "/";
    for (const QString& path :
         {folder + "Cindral 2026-12-08 05-04-40.avi", folder + QString(150, 'n') + ".avi"}) {  // wider than the screen
        const ShownBox written = ShowAndMeasure([&] { prompts.ShowWritten(&panel, "Convert to AVI", path); });
        EXPECT_TRUE(written.is_text_inside) << path.toStdString();
        EXPECT_TRUE(written.is_on_screen) << path.toStdString();
    }
    const ShownBox error = ShowAndMeasure(
        [&] { prompts.ShowError(&panel, "A Snapshot of the Frame on Show", "There is no frame on show to save."); });
    EXPECT_TRUE(error.is_text_inside);
    EXPECT_TRUE(error.is_title_whole);
    const ShownBox prose = ShowAndMeasure([&] {
        prompts.ShowError(&panel, "Convert to AVI", QString("Not recording: cannot append a frame. ").repeated(12));
    });
    EXPECT_TRUE(prose.is_text_inside);
    EXPECT_TRUE(prose.is_on_screen);
}
