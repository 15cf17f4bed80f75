// View > "Keep Aspect Ratio" through the program: off by default, in effect and kept at once in a
// key of its own, and on again at the next start.
#include <gtest/gtest.h>
#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include <fstream>

#include "app/cindral_app.h"
#include "app/main_frame.h"
#include "app/view_settings.h"
#include "app_test_support.h"
#include "archive_ui/panel_dlg.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"

TEST(KeepAspectRatio, MenuEntryActsAtOnceAndIsKeptForTheNextStart) {
    const BallCameraProgram ball;
    const auto& settings_file = ball.settings_file;
    {
        CKeyStore store(settings_file);
        // A value of another type is not taken.
        std::optional<CRegistryKey> key = store.CreateKey(kViewKeyPath);
        ASSERT_TRUE(key && SetText(*key, "Keep Aspect Ratio", "1"));
    }
    auto keep_action = [](const CMainFrame& frame) {
        QAction* action = frame.CommandAction(CMainFrame::kCommandKeepAspectRatio);
        EXPECT_TRUE(action != nullptr && frame.menuBar()->actions().at(1)->menu()->actions().contains(action));
        return action;
    };
    {
        CCindralApp app(ball.Folder(), settings_file);
        ASSERT_TRUE(app.InitInstance());
        CMainFrame* frame = app.MainFrame();
        QAction* keep = keep_action(*frame);
        ASSERT_NE(keep, nullptr);
        EXPECT_EQ(keep->text(), "&Keep Aspect Ratio");
        EXPECT_TRUE(keep->isCheckable());
        EXPECT_FALSE(keep->isChecked());
        EXPECT_FALSE(frame->View()->IsAspectRatioKept());
        keep->trigger();
        EXPECT_TRUE(frame->View()->IsAspectRatioKept());
        CKeyStore store(settings_file);
        ViewSettings saved;
        LoadViewSettings(store, saved);
        EXPECT_TRUE(saved.is_aspect_ratio_kept);  // before the program ends
        frame->close();
    }
    CCindralApp app(ball.Folder(), settings_file);
    ASSERT_TRUE(app.InitInstance());
    QAction* keep = keep_action(*app.MainFrame());
    ASSERT_NE(keep, nullptr);
    EXPECT_TRUE(keep->isChecked());
    EXPECT_TRUE(app.MainFrame()->View()->IsAspectRatioKept());
    CindralSettings eight;
    CKeyStore store(settings_file);
    LoadSettings(store, eight);
    EXPECT_EQ(eight.camera_name, "Ball Camera");  // the program's own settings untouched
}

TEST(RecordedSpeed, ViewMenuAndPanelMenuEntryPacesThePanelAndIsKeptForTheNextStart) {
    const BallCameraProgram ball;
    const auto& settings_file = ball.settings_file;
    {
        CCindralApp app(ball.Folder(), settings_file);
        ASSERT_TRUE(app.InitInstance());
        CMainFrame* frame = app.MainFrame();
        QAction* recorded = frame->CommandAction(CMainFrame::kCommandRecordedSpeed);
        ASSERT_NE(recorded, nullptr);
        EXPECT_TRUE(frame->menuBar()->actions().at(1)->menu()->actions().contains(recorded));
        EXPECT_TRUE(frame->View()->Panel()->actions().contains(recorded));
        EXPECT_FALSE(recorded->isChecked());
        EXPECT_FALSE(frame->View()->Panel()->IsPlayingAtRecordedSpeed());
        recorded->trigger();
        EXPECT_TRUE(frame->View()->Panel()->IsPlayingAtRecordedSpeed());
        frame->close();
    }
    CCindralApp app(ball.Folder(), settings_file);
    ASSERT_TRUE(app.InitInstance());
    EXPECT_TRUE(app.MainFrame()->CommandAction(CMainFrame::kCommandRecordedSpeed)->isChecked());
    EXPECT_TRUE(app.MainFrame()->View()->Panel()->IsPlayingAtRecordedSpeed());
}

TEST(SettingsFile, ADamagedFileIsWarnedOfOnceARun) {
    TempFolder program;
    const auto settings_file = program.Path() / "config" / "Cindral.reg";
    std::filesystem::create_directories(settings_file.parent_path());
    std::ofstream(settings_file, std::ios::binary) << std::string(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Tovamesh\\Cindral\\Settings]\n"
        "\"Treshold\"=dword:zz\n");
    testing::internal::CaptureStderr();
    {
        CMainFrame frame(program.Folder(), settings_file);  // reads the settings and, as it goes, writes them
    }
    const std::string said = testing::internal::GetCapturedStderr();
    size_t warnings = 0;
    for (size_t at = said.find("is damaged"); at != std::string::npos; at = said.find("is damaged", at + 1)) ++warnings;
    EXPECT_EQ(1u, warnings) << said;
    EXPECT_TRUE(std::filesystem::exists(settings_file.string() + ".bad"));
}

TEST(MenuLetters, EveryFileAndViewEntryHasItsOwnUnderlinedLetter) {
    const BallCameraProgram ball;
    const auto& settings_file = ball.settings_file;
    CCindralApp app(ball.Folder(), settings_file);
    ASSERT_TRUE(app.InitInstance());
    for (const int menu_index : {0, 1}) {
        QMenu* menu = app.MainFrame()->menuBar()->actions().at(menu_index)->menu();
        QStringList texts;
        for (QAction* action : menu->actions()) {
            // "Properties..." is the File menu's first entry as it has always been, without a letter.
            if (!action->isSeparator() && action->text() != "Properties...") texts << action->text();
        }
        EXPECT_GE(texts.size(), 4) << menu->title().toStdString();
        EXPECT_EQ(QStringList(), MnemonicProblems(texts)) << menu->title().toStdString();
    }
    app.MainFrame()->close();
}
