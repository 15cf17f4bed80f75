#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli_command.h"

#include "archive/archive_reader.h"

// Shared by the archive commands of cindral-cli (info, frame, decode, avi).
namespace archive_cli {

// Opens path for reading; says "cindral-cli COMMAND: ..." and gives false when it cannot.
bool OpenArchive(const std::string& command, CArchiveReader& archive, const std::string& path);

// The commands that take one frame of an archive (frame, decode): FILE, N and then output, and
// --jump.
std::vector<CliArgument> FrameArguments(CliArgument output);
CliOption JumpOption();
// Opens FILE and makes frame N current as the command line of such a command says: by stepping
// 0, 1, ..., N, or with --jump straight to it as the playback slider does; both reach the same
// record. False after saying why it cannot; an N that is no number is a usage error.
bool OpenAtFrame(const CliArguments& arguments, CArchiveReader& archive);

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
