#pragma once

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Answers modal dialogs as they come up: every newly shown modal widget is handed to the
// handler once, on the user-interface thread, and its window title is recorded.
class ModalWatcher {
public:
    using Handler = std::function<void(QWidget* modal)>;

    explicit ModalWatcher(Handler handler) : handler_(std::move(handler)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }

    const std::vector<QString>& Titles() const { return titles_; }
    const std::vector<QString>& Texts() const { return texts_; }

private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible() || seen_.count(modal) != 0) return;
        seen_.insert(modal);
        titles_.push_back(modal->windowTitle());
        texts_.push_back(modal->property("text").toString());
        // Outside the timer's slot: a handler that opens another modal dialog must not keep
        // this timer from seeing it (Qt does not re-enter a running timer).
        QTimer::singleShot(0, modal, [this, modal] { handler_(modal); });
    }

    Handler handler_;
    QTimer timer_;
    std::set<QWidget*> seen_;
    std::vector<QString> titles_;
    std::vector<QString> texts_;
};

// Runs the event loop until the condition holds; false when the generous deadline passes first.
inline bool WaitUntil(const std::function<bool()>& condition, int deadline_ms = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > deadline_ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A fresh folder under the system's temporary folder, removed with the object.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cindral-app-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // With the trailing separator, as the program folder is kept.
    std::string Folder() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
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
