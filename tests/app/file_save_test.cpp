// The framework's Save of a document that stores nothing: the file chosen gets no
// contents, replaced whole as every output is, and an archive is never touched.
#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QAction>
#include <QFileDialog>
#include <QMessageBox>

#include "app/main_frame.h"
#include "app_test_support.h"
#include "platform/key_store.h"
#include "settings/settings_store.h"
#include "support/files.h"
#include "support/temp_folder.h"

TEST(FileSave, ReplacesTheChosenFileWholeAndNeverAnArchive) {
    TempFolder folder;
    const auto settings_file = folder.Path() / "config" / "Cindral.reg";
    {
        // A camera is chosen, so no first-start dialog; none runs, since the view is not made.
        CKeyStore store(settings_file);
        CindralSettings settings;
        settings.camera_name = "Absent Camera";
        SaveSettings(store, settings);
    }
    CMainFrame frame(folder.Folder(), settings_file);
    ASSERT_TRUE(frame.Create());
    QAction* save = frame.CommandAction(57603);
    ASSERT_NE(save, nullptr);
    // Ctrl+S is "Snapshot"'s.
    EXPECT_TRUE(save->shortcut().isEmpty());
    EXPECT_EQ(frame.CommandAction(CMainFrame::kCommandSnapshot)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));

    const std::string notes = folder.File("notes.txt");
    const std::string archive = folder.File("1234.CNA");
    WriteWholeFile(notes, "old notes");
    WriteWholeFile(archive, "recorded");
    std::filesystem::create_hard_link(notes, folder.File("second-name"));
    QString target;
    ModalWatcher watcher([&](QWidget* modal) {
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            dialog->selectFile(target);
            static_cast<QDialog*>(dialog)->accept();  // the file dialog's own check of the name runs
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            // "Do you want to replace it?", then any warning.
            if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
                yes->click();
            } else {
                box->accept();
            }
        }
    });

    target = QString::fromStdString(notes);
    save->trigger();
    EXPECT_EQ("", ReadWholeFile(notes));
    // A new file took the name: the old one, under its other name, kept its bytes.
    EXPECT_EQ("old notes", ReadWholeFile(folder.File("second-name")));

    target = QString::fromStdString(archive);
    save->trigger();
    EXPECT_EQ("recorded", ReadWholeFile(archive));
    ASSERT_FALSE(watcher.Texts().empty());
    EXPECT_TRUE(watcher.Texts().back().contains("is an archive")) << watcher.Texts().back().toStdString();
}
