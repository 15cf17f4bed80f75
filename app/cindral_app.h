#pragma once

#include <QObject>

#include <QPointer>
#include <QString>
#include <filesystem>
#include <memory>
#include <string>
#include "app/about_dlg.h"

class CMainFrame;
class CScreenFit;

// The program as a whole: works out the program folder, builds and shows the main
// window, and answers the About and Help commands. Shutdown is the main window's close.
class CCindralApp : public QObject {
    Q_OBJECT
public:
    static const char* const kWebAddress;

    // program_folder: empty means the executable's folder; settings_file: empty means
    // the per-user default. Both are given by tests.
    explicit CCindralApp(QString program_folder = QString(), std::filesystem::path settings_file = {});
    ~CCindralApp() override;

    // False when the program must end (the first-start Properties dialog was cancelled).
    bool InitInstance();

    void OnAppAbout();
    void OnHelp();
    // SIGINT, SIGTERM: close whatever is modal, then the main window, in order.
    void OnShutdownRequest();

    const std::string& ProgramFolder() const { return program_folder_; }
    CMainFrame* MainFrame() const { return main_frame_.get(); }
    CAboutDlg* AboutBox() const { return about_box_.data(); }
    // The help page of this executable: see HelpFileFor.
    static QString HelpFilePath();
    // The help page beside the program, else the installed one in share/doc/cindral; the
    // page beside the program when neither exists (opening it then does nothing).
    static QString HelpFileFor(const QString& program_folder);

private:
    // Closes the main window once no dialog's event loop is left on the stack.
    void CloseWhenUnwound();

    QString requested_program_folder_;
    std::filesystem::path settings_file_;
    std::string program_folder_;
    std::unique_ptr<CMainFrame> main_frame_;
    QPointer<CAboutDlg> about_box_;
    CScreenFit* screen_fit_ = nullptr;  // child of this object
    bool is_shutting_down_ = false;
    bool is_started_ = false;  // InitInstance has finished
};

// The folder of an executable path, ending with the separator; empty for a bare file name.
QString ProgramFolderFromExecutable(const QString& executable_path);
