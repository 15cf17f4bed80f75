// Where recordings go: the folder rule with HOME pointed at a temporary folder, and the
// "Storage..." dialog through the program, from the tool bar to the next archive.
#include <gtest/gtest.h>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QToolBar>
#include <fstream>

#include "app/cindral_app.h"
#include "app/main_frame.h"
#include "app/session_state_pane.h"
#include "app/storage_dlg.h"
#include "app/storage_location.h"
#include "app_test_support.h"
#include "capture/live_session.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"

TEST(StorageLocation, BesideTheProgramElseChosenElseTheVideosFolder) {
    TempFolder home;
    ScopedEnvironment home_variable("HOME", home.Path().string());
    ScopedEnvironment config_variable("XDG_CONFIG_HOME", (home.Path() / ".config").string());
    TempFolder program;

    // Nothing beside the program, nothing chosen: Cindral in the videos folder, made when missing.
    StorageFolder folder = CurrentStorageFolder(program.Folder(), "");
    EXPECT_EQ(home.Folder() + "Videos/Cindral/", folder.path);
    EXPECT_EQ(StorageFolderSource::kVideos, folder.source);
    EXPECT_TRUE(std::filesystem::is_directory(folder.path));
    // The videos folder as the desktop names it.
    std::filesystem::create_directories(home.Path() / ".config");
    std::ofstream(home.Path() / ".config" / "user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/Filme\"\n";
    EXPECT_EQ(home.Folder() + "Filme/Cindral/", CurrentStorageFolder(program.Folder(), "").path);

    const std::string chosen = home.Folder() + "cameras";
    folder = CurrentStorageFolder(program.Folder(), chosen);
    EXPECT_EQ(chosen + "/", folder.path);
    EXPECT_EQ(StorageFolderSource::kChosen, folder.source);

    std::filesystem::create_directory(program.Path() / "Storage");
    folder = CurrentStorageFolder(program.Folder(), chosen);
    EXPECT_EQ(program.Folder() + "Storage/", folder.path);
    EXPECT_EQ(StorageFolderSource::kBesideProgram, folder.source);
}

TEST(StorageDialog, AChosenFolderTakesTheNextArchiveAndTheSettingsAreKept) {
    ScopedEnvironment cameras("CINDRAL_TEST_CAMERAS", kBallCamera);
    TempFolder program;
    TempFolder chosen;
    const auto settings_file = program.Path() / "config" / "Cindral.reg";
    ChooseBallCamera(settings_file, kSavingAlways);
    CCindralApp app(QString::fromStdString(program.Folder()), settings_file);
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.MainFrame();
    CLiveSession* session = frame->View()->Session();
    const std::string default_folder = std::string(std::getenv("HOME")) + "/Videos/Cindral/";
    EXPECT_EQ(default_folder, frame->StorageLocation().path);
    ASSERT_TRUE(WaitUntil([&] { return !session->State().archive_path.empty(); }));
    const std::string first_archive = session->State().archive_path;
    EXPECT_EQ(0u, first_archive.rfind(default_folder, 0)) << first_archive;

    QString usage;
    ModalWatcher watcher([&](QWidget* modal) {
        auto* dialog = qobject_cast<CStorageDlg*>(modal);
        ASSERT_NE(dialog, nullptr);
        EXPECT_FALSE(dialog->DefaultButton()->isEnabled());  // the default is in use
        EXPECT_TRUE(dialog->MinFreeCheck()->isChecked());    // 1 GB free unless said otherwise
        EXPECT_FALSE(dialog->MaxSizeCheck()->isChecked());
        dialog->SetFolderChooser([&](QWidget*, const QString& start) {
            EXPECT_EQ(QString::fromStdString(default_folder), start);
            return QString::fromStdString(chosen.Path().string());
        });
        dialog->ChooseButton()->click();
        usage = dialog->UsageLabel()->text();
        dialog->MaxSizeCheck()->setChecked(true);
        dialog->MaxSizeGb()->setValue(20.0);
        dialog->accept();
    });
    QAction* storage = frame->CommandAction(CMainFrame::kCommandStorage);
    ASSERT_TRUE(frame->ToolBar()->actions().contains(storage));
    storage->trigger();
    EXPECT_TRUE(usage.startsWith("Free space: ")) << usage.toStdString();
    EXPECT_TRUE(usage.contains("Recordings: 0 bytes in 0 archive(s)")) << usage.toStdString();
    EXPECT_TRUE(frame->StatePane()->toolTip().endsWith("Recordings: " + QString::fromStdString(chosen.Folder())))
        << frame->StatePane()->toolTip().toStdString();

    // The open archive is finished where it began; the next one goes to the chosen folder.
    frame->Settings().saving_mode = kSavingOff;
    ASSERT_TRUE(WaitUntil([&] { return session->State().archive_path.empty(); }));
    frame->Settings().saving_mode = kSavingAlways;
    ASSERT_TRUE(WaitUntil([&] { return !session->State().archive_path.empty(); }));
    EXPECT_EQ(0u, session->State().archive_path.rfind(chosen.Folder(), 0)) << session->State().archive_path;
    EXPECT_TRUE(std::filesystem::exists(first_archive));

    frame->close();
    CKeyStore store(settings_file);
    StorageSettings saved;
    LoadStorageSettings(store, saved);
    EXPECT_EQ(chosen.Path().string(), saved.chosen_folder);
    EXPECT_EQ((RetentionLimits{20 * kBytesPerGiB, kBytesPerGiB}), saved.limits);
}
