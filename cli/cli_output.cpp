#include "cli/cli_output.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <cstdint>
#include <cstdio>

#include "cli/cli_command.h"

namespace cli {

namespace {

// Length of the valid UTF-8 sequence at the start of text (0 when there is none) and its code point.
size_t Utf8SequenceAt(std::string_view text, uint32_t& code_point) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    size_t length = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, minimum = 0x80, code_point = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, minimum = 0x800, code_point = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, minimum = 0x10000, code_point = lead & 0x07;
    else
        return 0;
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) return 0;
        code_point = (code_point << 6) | (byte & 0x3F);
    }
    const bool is_surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    return code_point < minimum || code_point > 0x10FFFF || is_surrogate ? 0 : length;
}

// A failed write shows in the stream's error flag, which the flush at the end reads.
void WriteToStdout(const QByteArray& text) {
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
    std::string escaped;
    char hex[8];
    while (!text.empty()) {
        uint32_t code_point = 0;
        const size_t length = Utf8SequenceAt(text, code_point);
        if (length == 0) {
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[0]));
            escaped += hex;
            text.remove_prefix(1);
            continue;
        }
        if (code_point == '\\')
            escaped += "\\\\";
        else if (code_point == '\n')
            escaped += "\\n";
        else if (code_point == '\t')
            escaped += "\\t";
        else if (code_point < 0x20 || code_point == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02X", code_point);
            escaped += hex;
        } else if (code_point >= 0x80 && code_point < 0xA0) {
            std::snprintf(hex, sizeof hex, "\\u%04X", code_point);
            escaped += hex;
        } else {
            escaped += text.substr(0, length);
        }
        text.remove_prefix(length);
    }
    return escaped;
}

void PrintError(std::string_view command, std::string_view message) {
    const std::string prefix = command.empty() ? std::string("cindral-cli") : "cindral-cli " + std::string(command);
    std::fprintf(stderr, "%s: %s\n", prefix.c_str(), EscapeForTerminal(message).c_str());
    std::fflush(stderr);
}

bool FlushOutput() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    PrintError("", "cannot write to standard output");
    return false;
}

int Fail(std::string_view command, std::string_view message) {
    PrintError(command, message);
    return kCliFailure;
}

void PrintUsageError(std::string_view command, std::string_view message) {
    const std::string help =
        command.empty() ? std::string("cindral-cli --help") : "cindral-cli " + std::string(command) + " --help";
    PrintError(command, std::string(message) + ". Try '" + help + "'.");
}

QString JsonName(std::string_view bytes) {
    return QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

QByteArray JsonText(const QJsonValue& value) {
    // A document holds only objects and lists: the value goes in a list of one, which is taken off.
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

bool PrintJsonLine(const QJsonValue& value) {
    WriteToStdout(JsonText(value) + '\n');
    return FlushOutput();
}

JsonListWriter::JsonListWriter(const QJsonObject& head, const QString& key) : is_in_object_(!key.isEmpty()) {
    QByteArray opening = "[";
    if (is_in_object_) {
        opening = JsonText(head);
        opening.chop(1);  // its closing brace
        if (!head.isEmpty()) opening += ',';
        opening += JsonText(key) + ":[";
    }
    WriteToStdout(opening);
}

void JsonListWriter::Add(const QJsonValue& element) {
    WriteToStdout((is_first_ ? QByteArray() : QByteArray(",")) + JsonText(element));
    is_first_ = false;
}

bool JsonListWriter::Finish() {
    WriteToStdout(is_in_object_ ? "]}\n" : "]\n");
    return FlushOutput();
}

}  // namespace cli
