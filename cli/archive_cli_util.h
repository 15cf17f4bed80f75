#pragma once

#include <cstdint>
#include <string>

#include "recording/frame_archive.h"

// Shared by the archive commands of cindral-cli (info, frame, decode).
namespace archive_cli {

// Opens path for reading; says "cindral-cli COMMAND: ..." and gives false when it cannot.
bool OpenArchive(const std::string& command, CFrameArchive& archive, const std::string& path);

// Makes frame current: by stepping 0, 1, ..., frame, or with is_jump straight to it as the playback
// slider does; both reach the same record. Says why and gives false on failure.
bool ReachFrame(const std::string& command, CFrameArchive& archive, int32_t frame, bool is_jump);

// "YYYY-MM-DD HH:MM:SS.mmm" of a local OLE date, or "invalid" for a value no calendar holds.
std::string FormatOleDate(double ole_date, bool with_milliseconds);

// While it lives, SIGINT and SIGTERM only set a flag, so that a long export can stop cleanly
// and leave no partial file behind.
class InterruptCancels {
public:
    InterruptCancels();
    ~InterruptCancels();
    InterruptCancels(const InterruptCancels&) = delete;
    InterruptCancels& operator=(const InterruptCancels&) = delete;
    bool IsInterrupted() const;

private:
    void (*previous_int_)(int) = nullptr;
    void (*previous_term_)(int) = nullptr;
};

}  // namespace archive_cli
