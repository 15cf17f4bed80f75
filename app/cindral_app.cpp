#include "app/cindral_app.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "app/about_dlg.h"
#include "app/app_log.h"
#include "app/main_frame.h"
#include "app/screen_fit.h"

const char* const CCindralApp::kWebAddress = "www.tovamesh.example";

QString ProgramFolderFromExecutable(const QString& executable_path) {
    const qsizetype separator = executable_path.lastIndexOf(QLatin1Char('/'));
    if (separator < 0) return QString();
    return executable_path.left(separator + 1);  // "/cindral" gives the root folder "/"
}

CCindralApp::CCindralApp(QString program_folder, std::filesystem::path settings_file)
    : requested_program_folder_(std::move(program_folder)), settings_file_(std::move(settings_file)) {}

CCindralApp::~CCindralApp() {
    // The window and its view go before the frame object writes the settings.
    main_frame_.reset();
}

QString CCindralApp::HelpFilePath() {
    return HelpFileFor(ProgramFolderFromExecutable(QCoreApplication::applicationFilePath()));
}

QString CCindralApp::HelpFileFor(const QString& program_folder) {
    const QString beside = program_folder + QStringLiteral("Cindral.html");
    if (QFileInfo::exists(beside)) return beside;
    const QString installed =
        QDir::cleanPath(program_folder + QStringLiteral(CINDRAL_HELP_FROM_PROGRAM "/Cindral.html"));
    if (QFileInfo::exists(installed)) return installed;
    return beside;
}

bool CCindralApp::InitInstance() {
    QCoreApplication::setApplicationName(QStringLiteral("Cindral"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tovamesh"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/cindral.svg")));

    QString folder = requested_program_folder_;
    if (folder.isEmpty()) folder = ProgramFolderFromExecutable(QCoreApplication::applicationFilePath());
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    program_folder_ = folder.toStdString();

    // Before the first window: the first-start Properties dialog is placed by it too.
    if (screen_fit_ == nullptr) {
        screen_fit_ = new CScreenFit(this);
        qApp->installEventFilter(screen_fit_);
    }
    main_frame_ = std::make_unique<CMainFrame>(program_folder_, settings_file_);
    connect(main_frame_.get(), &CMainFrame::AboutRequested, this, &CCindralApp::OnAppAbout);
    connect(main_frame_.get(), &CMainFrame::HelpRequested, this, &CCindralApp::OnHelp);
    if (!main_frame_->Create()) {
        qCWarning(lcApp) << "the first-start Properties dialog was not confirmed; the program ends";
        // A signal during the first-start dialog ends the program without further questions.
        if (!is_shutting_down_)
            QMessageBox::critical(nullptr, QStringLiteral("Cindral"), tr("Failed to create empty document."));
        main_frame_.reset();  // written in order all the same
        return false;
    }
    main_frame_->CreateView();
    // What a restore from maximised returns to; without a window manager, what is shown.
    if (const QScreen* screen = main_frame_->screen()) {
        main_frame_->setGeometry(
            CScreenFit::RestoredGeometry(screen->availableGeometry(), CScreenFit::EstimatedFrameMargins(*main_frame_)));
    }
    main_frame_->showMaximized();
    main_frame_->setWindowTitle(QStringLiteral("Cindral - ") + QString::fromLatin1(kWebAddress));
    is_started_ = true;
    // A signal that came while start-up was still running closes the window once the loop runs.
    if (is_shutting_down_) QTimer::singleShot(0, this, &CCindralApp::CloseWhenUnwound);
    return true;
}

void CCindralApp::OnAppAbout() {
    // One box for the run, so its links keep their colours between showings.
    if (!about_box_) about_box_ = new CAboutDlg(main_frame_.get());
    about_box_->exec();
}

void CCindralApp::OnHelp() {
    // Nothing is reported when the page is missing or cannot be opened.
    QDesktopServices::openUrl(QUrl::fromLocalFile(HelpFilePath()));
}

void CCindralApp::OnShutdownRequest() {
    qCInfo(lcApp) << "shutdown requested; closing in order";
    is_shutting_down_ = true;
    // A modal dialog's own event loop would keep the window from closing.
    while (QWidget* modal = QApplication::activeModalWidget()) {
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (dialog == nullptr || !dialog->isVisible()) break;
        dialog->reject();
    }
    // During start-up the view may be on the call stack below this message loop; the window
    // is closed once start-up has returned.
    if (!is_started_) return;
    CloseWhenUnwound();
}

void CCindralApp::CloseWhenUnwound() {
    // A dialog run by the view (camera pages, archive selection) must return before the view
    // goes, so the close waits until only the main loop is left.
    if (QThread::currentThread()->loopLevel() > 1) {
        QTimer::singleShot(20, this, &CCindralApp::CloseWhenUnwound);
        return;
    }
    if (main_frame_) {
        main_frame_->close();
    } else {
        QCoreApplication::quit();
    }
}
