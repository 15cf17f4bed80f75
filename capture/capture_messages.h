#pragma once

#include <string>

enum class MessageIcon { kError, kWarning, kExclamation, kInformation };

// Message boxes of the capture object; the program shows them with QMessageBox,
// the command-line tool prints them, tests record them.
class ICaptureMessages {
public:
    virtual ~ICaptureMessages() = default;
    // An empty caption means the application's name (the framework's own message box).
    virtual void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
};
