#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <string>
#include <string_view>

// What cindral-cli writes: its messages, its plain text and its JSON, each made in one place.
namespace cli {

// Text safe to print on a terminal: backslash and control characters (C0, DEL, C1) written as
// escapes (\\, \n, \t, \xHH or \u00HH), bytes that are no part of a UTF-8 character as \xHH.
std::string EscapeForTerminal(std::string_view text);

// "cindral-cli COMMAND: message" on standard error, one line whatever the message holds; an
// empty command gives "cindral-cli: message".
void PrintError(std::string_view command, std::string_view message);
// The same, and kCliFailure for the command to return.
int Fail(std::string_view command, std::string_view message);
// A usage error: the message and where help is, in one line.
void PrintUsageError(std::string_view command, std::string_view message);

// Flushes standard output: false when anything written to it was lost (said already).
bool FlushOutput();

// A name (path, file or camera name) for JSON: decoded as the file system encodes names, every
// byte that is no part of a character replaced by U+FFFD, so the JSON is always valid UTF-8.
QString JsonName(std::string_view bytes);
// Compact JSON text of any value, also a bare string or number.
QByteArray JsonText(const QJsonValue& value);
// value as one line on standard output; false when it could not be written (said already).
bool PrintJsonLine(const QJsonValue& value);

// One line of JSON whose list is written an element at a time, so that a long list needs no
// memory: the members of head, then key with the list as the last member; a bare list when key
// is empty.
class JsonListWriter {
public:
    explicit JsonListWriter(const QJsonObject& head = {}, const QString& key = {});
    void Add(const QJsonValue& element);
    // Closes the list and the line. False when the output could not be written (said already).
    bool Finish();

private:
    bool is_in_object_ = false;
    bool is_first_ = true;
};

}  // namespace cli
