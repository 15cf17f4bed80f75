#pragma once

#include <optional>
#include <string>
#include <vector>

#include "recording/frame_archive.h"

// Shared by the archive commands of cindral-cli (info, frame, decode).
namespace archive_cli {

// Arguments split into positional ones and the flags a command knows; an unknown "--" option
// is reported and gives nothing.
struct ParsedArguments {
    std::vector<std::string> positional;
    std::vector<std::string> flags;
    bool Has(const std::string& flag) const;
};
std::optional<ParsedArguments> ParseArguments(const std::string& command, const std::vector<std::string>& arguments,
                                              const std::vector<std::string>& known_flags);

// A frame number: decimal digits only, within 0 .. INT32_MAX.
std::optional<int32_t> ParseFrameNumber(const std::string& text);

// Opens path for reading; prints "cindral-cli COMMAND: ..." and gives false when it cannot.
bool OpenArchive(const std::string& command, CFrameArchive& archive, const std::string& path);

// Makes frame current: by stepping 0, 1, ..., frame, or with is_jump straight to it as the playback
// slider does; both reach the same record. Prints the reason and gives false on failure.
bool ReachFrame(const std::string& command, CFrameArchive& archive, int32_t frame, bool is_jump);

// "YYYY-MM-DD HH:MM:SS.mmm" of a local OLE date, or "invalid" for a value no calendar holds.
std::string FormatOleDate(double ole_date, bool with_milliseconds);

// A double as JSON: shortest exact decimal form, null for NaN and infinities.
std::string JsonNumber(double value);

// A JSON string of text, whose bytes are decoded as UTF-8 with invalid ones replaced.
std::string JsonString(const std::string& text);

int Fail(const std::string& command, const std::string& message);

// Text as valid UTF-8: every byte that is not part of a valid sequence becomes U+FFFD.
std::string ValidUtf8(const std::string& text);
// Text safe to print on a terminal: backslash and control characters (C0, DEL, C1) written as
// escapes (\\, \n, \t, \xHH or \u00HH), invalid UTF-8 bytes as \xHH.
std::string EscapeForTerminal(const std::string& text);

}  // namespace archive_cli
