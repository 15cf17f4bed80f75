#pragma once

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QMap>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/key_store.h"
#include "settings/settings.h"
#include "settings/settings_store.h"
#include "support/temp_folder.h"
#include "support/wait.h"

// Answers modal dialogs and message boxes as they come up: every showing of a modal window or
// a message box (the camera's notices do not block) is handed to the handler once, from the
// event loop, and its title and text are recorded.
class ModalWatcher : public QObject {
public:
    using Handler = std::function<void(QWidget* modal)>;

    explicit ModalWatcher(Handler handler) : handler_(std::move(handler)) { qApp->installEventFilter(this); }
    ~ModalWatcher() override { qApp->removeEventFilter(this); }

    const std::vector<QString>& Titles() const { return titles_; }
    const std::vector<QString>& Texts() const { return texts_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show || !watched->isWidgetType()) return false;
        auto* widget = static_cast<QWidget*>(watched);
        const bool is_notice = widget->inherits("QMessageBox");
        if (!widget->isWindow() || (widget->windowModality() == Qt::NonModal && !is_notice)) return false;
        titles_.push_back(widget->windowTitle());
        texts_.push_back(widget->property("text").toString());
        // Deferred until the dialog's own event loop runs, so the handler may open further dialogs.
        QPointer<QWidget> target(widget);
        QTimer::singleShot(0, this, [this, target] {
            if (target && target->isVisible()) handler_(target);
        });
        return false;
    }

private:
    Handler handler_;
    std::vector<QString> titles_;
    std::vector<QString> texts_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = std::string(old);
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A small live test camera, for CINDRAL_TEST_CAMERAS.
inline constexpr const char* kBallCamera =
    "Ball Camera=videotestsrc pattern=ball is-live=true ! "
    "capsfilter caps=\"video/x-raw,width=160,height=120,framerate=15/1\"";

// Settings that choose "Ball Camera", so that the program starts without asking; a saving mode
// when given.
inline void ChooseBallCamera(const std::filesystem::path& settings_file, std::optional<int32_t> saving_mode = {}) {
    CKeyStore store(settings_file);
    CindralSettings settings;
    LoadSettings(store, settings);
    settings.camera_name = "Ball Camera";
    if (saving_mode) settings.saving_mode = *saving_mode;
    SaveSettings(store, settings);
}

// A program folder of its own whose settings choose "Ball Camera", with that camera in the
// environment while it lives.
struct BallCameraProgram {
    ScopedEnvironment cameras{"CINDRAL_TEST_CAMERAS", kBallCamera};
    TempFolder program;
    std::filesystem::path settings_file = program.Path() / "config" / "Cindral.reg";

    BallCameraProgram() { ChooseBallCamera(settings_file); }
    QString Folder() const { return QString::fromStdString(program.Folder()); }
};

// All archive files below a folder.
inline std::vector<std::filesystem::path> FindArchives(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> found;
    std::error_code error;
    if (!std::filesystem::exists(folder, error)) return found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
        if (entry.is_regular_file() && entry.path().extension() == ".CNA") found.push_back(entry.path());
    }
    return found;
}

inline bool IsNear(QColor actual, QColor expected, int tolerance) {
    return std::abs(actual.red() - expected.red()) <= tolerance &&
           std::abs(actual.green() - expected.green()) <= tolerance &&
           std::abs(actual.blue() - expected.blue()) <= tolerance;
}

// What is wrong with the underlined letters of entries shown together: each text that has none,
// and each that repeats another's letter (both reachable by the same Alt key).
inline QStringList MnemonicProblems(const QStringList& texts) {
    QStringList problems;
    QMap<QChar, QString> owners;
    for (const QString& text : texts) {
        int at = 0;
        while ((at = text.indexOf('&', at)) >= 0 && at + 1 < text.size() && text[at + 1] == '&') at += 2;
        if (at < 0 || at + 1 >= text.size()) {
            problems << QStringLiteral("no letter: ") + text;
            continue;
        }
        const QChar letter = text[at + 1].toLower();
        if (owners.contains(letter)) problems << QStringLiteral("same letter: ") + owners[letter] + " / " + text;
        owners.insert(letter, text);
    }
    return problems;
}
