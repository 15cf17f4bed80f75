// The command line's own layer, in process: parsing by declaration, argument values, and the
// one place names become JSON or terminal text.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"

namespace {

const CliCommand kProbe{
    .name = "probe",
    .summary = "a command of every kind of argument",
    .arguments = {{"FILE", "", true}},
    .options = {{"json", ""}, {"jump", ""}, {"frames", "N"}, {"source", "DESCRIPTION"}},
};
const CliCommand kFixed{.name = "fixed", .summary = "one argument", .arguments = {{"FILE"}}};

CliArguments Parse(const CliCommand& command, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), command.name);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    return ParseCliArguments(command, static_cast<int>(arguments.size()), argv.data());
}

std::string UsageErrorOf(const CliCommand& command, const std::vector<std::string>& arguments) {
    try {
        Parse(command, arguments);
    } catch (const CliUsageError& error) {
        return error.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(CliParser, TakesArgumentsInAnyOrderAndKeepsTheirBytes) {
    struct Case {
        std::vector<std::string> given;
        std::vector<std::string> positional;
        std::string frames;  // Value("frames"), "-" when not given
        bool has_json;
    };
    const Case cases[] = {
        {{"a", "--json", "b"}, {"a", "b"}, "-", true},
        {{"--frames=5", "a", "--frames", "7"}, {"a"}, "7", false},  // the last one counts
        {{"a", "--fr", "3"}, {"a"}, "3", false},                    // an unambiguous prefix
        {{"a", "--", "--json", "-x"}, {"a", "--json", "-x"}, "-", false},
        {{"-", "odd\xFF\n\"name"}, {"-", "odd\xFF\n\"name"}, "-", false},
        {{"a", "--source", "--json"}, {"a"}, "-", false},  // a value is taken as given
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.given.front());
        const CliArguments parsed = Parse(kProbe, test.given);
        EXPECT_EQ(parsed.AllPositional(), test.positional);
        EXPECT_EQ(parsed.Value("frames", "-"), test.frames);
        EXPECT_EQ(parsed.Has("json"), test.has_json);
        EXPECT_FALSE(parsed.IsHelpRequested());
    }
    EXPECT_EQ(Parse(kProbe, {"a", "--source", "--json"}).Value("source"), "--json");
}

TEST(CliParser, RejectsWhatTheDeclarationDoesNotAllow) {
    struct Case {
        const CliCommand& command;
        std::vector<std::string> given;
        std::string message;
    };
    const Case cases[] = {
        {kProbe, {}, "missing FILE"},
        {kProbe, {"--json"}, "missing FILE"},
        {kFixed, {"a", "b"}, "unexpected argument 'b'"},
        {kProbe, {"a", "--yaml"}, "unknown option '--yaml'"},
        {kProbe, {"a", "--yaml=1"}, "unknown option '--yaml'"},
        {kProbe, {"a", "--j"}, "ambiguous option '--j' (--json, --jump)"},
        {kProbe, {"a", "--json=1"}, "option '--json' takes no value"},
        {kProbe, {"a", "--frames"}, "option '--frames' needs a value (N)"},
        {kProbe, {"a", "-1"}, "unknown option '-1'"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(UsageErrorOf(test.command, test.given), test.message);
    }
    // Help wins over what comes after it, and over arguments still missing.
    EXPECT_TRUE(Parse(kProbe, {"a", "--help", "--yaml"}).IsHelpRequested());
    EXPECT_TRUE(Parse(kFixed, {"-h"}).IsHelpRequested());
}

TEST(CliValues, NumbersSizesAndDates) {
    EXPECT_EQ(cli::ParseInteger("N", "0", 0, 10), 0);
    EXPECT_EQ(cli::ParseInteger("N", "-3", -5, 10), -3);
    EXPECT_EQ(cli::ParseInteger("N", "9223372036854775807", 1, INT64_MAX), INT64_MAX);
    for (const char* bad : {"", "x", "+1", " 1", "1 ", "1.0", "0x10", "11", "-1", "-", "99999999999999999999"}) {
        EXPECT_THROW(cli::ParseInteger("N", bad, 0, 10), CliUsageError) << bad;
    }

    EXPECT_EQ(cli::ParseByteSize("SIZE", "1000"), 1000u);
    EXPECT_EQ(cli::ParseByteSize("SIZE", "2k"), 2048u);
    EXPECT_EQ(cli::ParseByteSize("SIZE", "3M"), 3u << 20);
    EXPECT_EQ(cli::ParseByteSize("SIZE", "1G"), 1u << 30);
    EXPECT_EQ(cli::ParseByteSize("SIZE", "5T"), 5ull << 40);
    for (const char* bad : {"", "G", "1 G", "-1", "1P", "16777216T"}) {
        EXPECT_THROW(cli::ParseByteSize("SIZE", bad), CliUsageError) << bad;
    }

    EXPECT_EQ(cli::ParseDate("FROM", "2000-02-29"), (DayDate{2000, 2, 29}));
    EXPECT_EQ(cli::ParseDate("FROM", "2009-12-31"), (DayDate{2009, 12, 31}));
    for (const char* bad : {"2009-3-1", "2009/03/01", "2009-03-01x", "1900-02-29", "2009-02-29", "2009-04-31",
                            "2009-13-01", "2009-00-10", "2009-01-00", "0000-01-01", "+009-01-01"}) {
        EXPECT_THROW(cli::ParseDate("FROM", bad), CliUsageError) << bad;
    }
    const DayRange one_day = cli::ParseDayRange("2009-03-15", "2009-03-15");
    EXPECT_EQ(one_day.from, one_day.to);
    EXPECT_THROW(cli::ParseDayRange("2009-03-16", "2009-03-15"), CliUsageError);
    EXPECT_THROW(cli::ParseDayRange("2010-01-01", "2009-12-31"), CliUsageError);

    EXPECT_EQ(cli::ParseFolder("DIR", "/a/b"), "/a/b/");
    EXPECT_EQ(cli::ParseFolder("DIR", "/a/b/"), "/a/b/");
    EXPECT_THROW(cli::ParseFolder("DIR", ""), CliUsageError);
}

TEST(CliOutput, NamesBecomeValidJsonAndSafeTerminalText) {
    // Bytes no character holds, a line break, quotes, a backslash and a control character.
    const std::string name = "odd\xFF\xFE\n\"q\"\\\x01\xC3\xA9.CNA";
    const QByteArray json = cli::JsonText(cli::JsonName(name));
    EXPECT_EQ(QString::fromUtf8(json).toUtf8(), json) << "not valid UTF-8";
    EXPECT_TRUE(std::none_of(json.begin(), json.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson("[" + json + "]", &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.toStdString();
    EXPECT_EQ(document.array().at(0).toString(), QString::fromUtf8("odd\uFFFD\uFFFD\n\"q\"\\\x01\u00E9.CNA"));
    // Numbers: exact integers, shortest doubles, null for what JSON cannot hold.
    EXPECT_EQ(cli::JsonText(QJsonValue(static_cast<qint64>(9007199254740993LL))), "9007199254740993");
    EXPECT_EQ(cli::JsonText(39814.75), "39814.75");
    EXPECT_EQ(cli::JsonText(std::nan("")), "null");

    struct Case {
        std::string text;
        std::string escaped;
    };
    const Case cases[] = {
        {"plain \xC3\xA9", "plain \xC3\xA9"},  {"a\nb\tc\\", "a\\nb\\tc\\\\"},
        {"\x1B[31m\x7F", "\\x1B[31m\\x7F"},    {"\xC2\x85", "\\u0085"},  // a C1 control character
        {"x\xFF\xE2\x82", "x\\xFF\\xE2\\x82"},                           // a stray byte, a cut-off character
    };
    for (const Case& test : cases) EXPECT_EQ(cli::EscapeForTerminal(test.text), test.escaped);
}
