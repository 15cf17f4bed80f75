// Every text of the program's own windows goes through translation: with a translator installed
// that marks whatever it translates, a text that bypasses it shows up unmarked.
#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QTranslator>
#include <QTreeWidget>
#include <algorithm>

#include "app/about_dlg.h"
#include "app/main_frame.h"
#include "app/motion_events_dlg.h"
#include "app/storage_dlg.h"
#include "app_test_support.h"
#include "archive_ui/archive_dlg.h"
#include "archive_ui/date_range_dlg.h"
#include "archive_ui/export_actions.h"
#include "archive_ui/panel_dlg.h"
#include "capture/live_session.h"
#include "capture/test_camera_provider.h"
#include "capture_ui/camera_controls_dlg.h"
#include "capture_ui/camera_format_dlg.h"
#include "capture_ui/twain_sources_dlg.h"
#include "cindral_version.h"
#include "live_text/live_state_text.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"

namespace {

const QChar kMark(u'\u00ab');

class MarkingTranslator : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* source, const char*, int) const override {
        return kMark + QString::fromUtf8(source) + QChar(u'\u00bb');
    }
};

// The texts a user reads in a window: titles, labels, buttons, group titles, headings, actions
// and tips. Values (paths, numbers) and names stay as they are in every language.
class TextCollector {
public:
    void Add(const QString& where, const QString& text) {
        const bool has_letter = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isLetter(); });
        const bool is_name = text == "Cindral" || text == QStringLiteral("Cindral " CINDRAL_VERSION) ||
                             text.contains("tovamesh.example");
        const bool is_path = text.startsWith('/');
        if (has_letter && !text.contains(kMark) && !is_name && !is_path) unmarked_ << where + ": " + text;
    }
    void AddActions(const QString& where, const QList<QAction*>& actions) {
        for (const QAction* action : actions) {
            Add(where, action->text());
            Add(where, action->statusTip());
            if (action->menu() != nullptr) AddActions(where + " > " + action->text(), action->menu()->actions());
        }
    }
    void AddWindow(QWidget* window) {
        Add(window->metaObject()->className(), window->windowTitle());
        // Dialogs, message boxes and pop-ups owned by this window are windows of their own.
        QList<QWidget*> widgets = window->findChildren<QWidget*>();
        widgets << window;
        for (QWidget* widget : widgets) {
            if (widget->window() != window) continue;
            const QString where = QString(window->metaObject()->className()) + " " + widget->metaObject()->className();
            Add(where, widget->toolTip());
            AddActions(where, widget->actions());
            if (auto* label = qobject_cast<QLabel*>(widget)) Add(where, label->text());
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) Add(where, button->text());
            if (auto* group = qobject_cast<QGroupBox*>(widget)) Add(where, group->title());
            if (auto* tree = qobject_cast<QTreeWidget*>(widget)) {
                for (int column = 0; column < tree->columnCount(); ++column)
                    Add(where, tree->headerItem()->text(column));
            }
        }
    }
    const QStringList& Unmarked() const { return unmarked_; }

private:
    QStringList unmarked_;
};

// Keeps what an export would say in its message box.
struct RecordedPrompts : IExportPrompts {
    QString AskSaveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
    bool ConfirmReplace(QWidget*, const QString&, const QString&) override { return false; }
    void ShowError(QWidget*, const QString& caption, const QString& text) override { said << caption << text; }
    void ShowWritten(QWidget*, const QString& caption, const QString& path) override { said << caption << path; }
    QStringList said;
};

}  // namespace

TEST(TranslatableTexts, EveryTextOfTheWindowsGoesThroughTranslation) {
    ScopedEnvironment no_cameras("CINDRAL_TEST_CAMERAS", "");
    ResetTestCameras();
    TempFolder folder;
    const auto settings_file = folder.Path() / "config" / "Cindral.reg";
    {
        CKeyStore store(settings_file);
        CindralSettings settings;
        settings.camera_name = "Absent Camera";  // no first-start dialog
        SaveSettings(store, settings);
    }
    MarkingTranslator translator;
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    TextCollector texts;
    {
        CMainFrame frame(folder.Folder(), settings_file);
        ASSERT_TRUE(frame.Create());
        frame.CreateView();
        std::unique_ptr<QMenu> context_menu(frame.View()->CreateContextMenu(&frame));
        texts.AddActions("context menu", context_menu->actions());
        frame.PropertiesDialog()->OnInitDialog();
        CArchiveDlg archives(frame.StorageLocation().path, &frame);
        CStorageDlg storage(folder.Folder(), StorageSettings{}, &frame);
        CDateRangeDlg date_range(&frame);
        CAboutDlg about(&frame);
        CCameraFormatDlg format({}, CameraFormat{}, &frame);
        CCameraControlsDlg controls(nullptr, &frame);
        CMotionEventsDlg motion_events(MotionEventChoices{}, 640, 480, CFramePipeline::PreRollStatus{}, &frame);
        frame.View()->StartIgnoredAreas();
        for (QWidget* window :
             std::initializer_list<QWidget*>{&frame, frame.PropertiesDialog(), frame.View()->Panel(), &archives,
                                             &storage, &date_range, &about, &format, &controls, &motion_events})
            texts.AddWindow(window);

        RecordedPrompts prompts;
        ExportFolders folders;
        RunVideoExport(&frame, {}, folders, prompts);
        ASSERT_EQ(prompts.said.size(), 2);
        for (const QString& said : prompts.said) texts.Add("Export Video", said);
        frame.close();
    }
    for (const LivePhase phase : {LivePhase::kStarting, LivePhase::kLive, LivePhase::kRecording, LivePhase::kCameraLost,
                                  LivePhase::kNoCamera, LivePhase::kStopped}) {
        LiveState state;
        state.phase = phase;
        state.lost_reason = "gone";
        texts.Add("state", LiveStateText(state));
        texts.Add("caption", LiveStateCaption(state));
        state.storage_problem = "full";
        state.recorder_failure = "disk full";
        texts.Add("failing state", LiveStateText(state));
    }
    QCoreApplication::removeTranslator(&translator);
    EXPECT_TRUE(texts.Unmarked().isEmpty()) << texts.Unmarked().join("\n").toStdString();
}
