// Every text of the program's own windows goes through translation: with a translator installed
// that marks whatever it translates, a text that bypasses it shows up unmarked.
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QCalendarWidget>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QTranslator>
#include <QTreeWidget>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>

#include "app/about_dlg.h"
#include "app/main_frame.h"
#include "app/storage_dlg.h"
#include "app_test_support.h"
#include "archive_ui/archive_dlg.h"
#include "archive_ui/date_range_dlg.h"
#include "archive_ui/export_actions.h"
#include "archive_ui/panel_dlg.h"
#include "capture/dialogs/camera_controls_dlg.h"
#include "capture/dialogs/camera_format_dlg.h"
#include "capture/dialogs/twain_sources_dlg.h"
#include "capture/live_session.h"
#include "capture/test_camera_provider.h"
#include "platform/key_store.h"
#include "recording/settings_store.h"

namespace {

const QChar kOpen(u'\u00ab');
const QChar kClose(u'\u00bb');

class MarkingTranslator : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* source, const char*, int) const override {
        return kOpen + QString::fromUtf8(source) + kClose;
    }
};

// Names and addresses, which stay as they are in every language.
bool IsName(const QString& text) {
    return text == "Cindral" || text == "Cindral 1.3" || text.contains("tovamesh.example");
}

// The texts a user reads in window, without what Qt's own composite widgets show (their texts
// are Qt's) and the values of editors and lists (data).
class TextCollector {
public:
    explicit TextCollector(QString data_folder) : data_folder_(std::move(data_folder)) {}

    void Add(const QString& where, const QString& text) {
        const bool has_letter = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isLetter(); });
        if (!has_letter || text.contains(kOpen) || IsName(text) || text.contains(data_folder_)) return;
        unmarked_ << where + ": " + text;
    }
    void AddActions(const QString& where, const QList<QAction*>& actions) {
        for (const QAction* action : actions) {
            Add(where + " action", action->text());
            Add(where + " status tip", action->statusTip());
            if (action->menu() != nullptr) AddActions(where + " > " + action->text(), action->menu()->actions());
        }
    }
    void AddWindow(QWidget* window) {
        const QString name = window->metaObject()->className();
        Add(name + " title", window->windowTitle());
        AddWidget(name, window);
        // Dialogs and message boxes owned by this window are windows of their own.
        for (QWidget* child : window->findChildren<QWidget*>()) {
            if (child->window() == window && !IsInsideQtComposite(child, window)) AddWidget(name, child);
        }
    }
    const QStringList& Unmarked() const { return unmarked_; }

private:
    static bool IsInsideQtComposite(const QWidget* widget, const QWidget* window) {
        for (const QWidget* up = widget->parentWidget(); up != nullptr && up != window; up = up->parentWidget()) {
            if (qobject_cast<const QAbstractSpinBox*>(up) || qobject_cast<const QComboBox*>(up) ||
                qobject_cast<const QCalendarWidget*>(up))
                return true;
        }
        return qobject_cast<const QCalendarWidget*>(widget) != nullptr;
    }
    void AddWidget(const QString& window, QWidget* widget) {
        const QString where = window + " " + widget->metaObject()->className();
        Add(where + " tool tip", widget->toolTip());
        AddActions(where, widget->actions());
        if (auto* label = qobject_cast<QLabel*>(widget)) Add(where, label->text());
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) Add(where, button->text());
        if (auto* group = qobject_cast<QGroupBox*>(widget)) Add(where, group->title());
        if (auto* tree = qobject_cast<QTreeWidget*>(widget)) {
            for (int column = 0; column < tree->columnCount(); ++column) {
                Add(where + " heading", tree->headerItem()->text(column));
                for (int row = 0; row < tree->topLevelItemCount(); ++row)
                    Add(where + " row tip", tree->topLevelItem(row)->toolTip(column));
            }
        }
    }

    QString data_folder_;
    QStringList unmarked_;
};

// Records what the exports would say in their message boxes.
class RecordedPrompts : public IExportPrompts {
public:
    QString AskSaveFileName(QWidget*, const QString&, const QString&) override { return {}; }
    bool ConfirmReplace(QWidget*, const QString&, const QString&) override { return false; }
    void ShowError(QWidget*, const QString& caption, const QString& text) override { said << caption << text; }
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
    const std::filesystem::path kept = folder.Path() / "Storage" / "20260101" / "1.CNA";
    std::filesystem::create_directories(kept.parent_path());
    std::ofstream(kept) << "x";
    std::filesystem::permissions(kept, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);

    MarkingTranslator translator;
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    TextCollector texts(QString::fromStdString(folder.Path().string()));
    {
        CMainFrame frame(folder.Folder(), settings_file);
        ASSERT_TRUE(frame.Create());
        frame.CreateView();
        texts.AddWindow(&frame);
        std::unique_ptr<QMenu> context_menu(frame.View()->CreateContextMenu(&frame));
        texts.AddActions("context menu", context_menu->actions());
        frame.PropertiesDialog()->OnInitDialog();
        texts.AddWindow(frame.PropertiesDialog());
        texts.AddWindow(frame.View()->Panel());

        CArchiveDlg archives(frame.StorageLocation().path, &frame);
        archives.SetRows(BuildCatalogue(folder.Folder() + "Storage/", DayRange{{2026, 1, 1}, {2026, 1, 1}}));
        ASSERT_EQ(archives.RowCount(), 1);
        texts.AddWindow(&archives);
        CStorageDlg storage(folder.Folder(), StorageSettings{}, &frame);
        CDateRangeDlg date_range(&frame);
        CAboutDlg about(&frame);
        CCameraFormatDlg format({}, CameraFormat{}, &frame);
        CCameraControlsDlg controls(nullptr, &frame);
        for (QWidget* window : std::initializer_list<QWidget*>{&storage, &date_range, &about, &format, &controls})
            texts.AddWindow(window);

        RecordedPrompts prompts;
        RunVideoExport(&frame, {}, prompts);
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
