// The command line of cindral-cli: parsing by each command's declaration, help, version, and
// the exit statuses.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>

#include "cindral_version.h"
#include "cli/cli_command.h"
#include "cli/cli_output.h"

const std::string CliArguments::kNone;

bool CliArguments::Has(std::string_view option) const {
    return std::any_of(options_.begin(), options_.end(), [&](const auto& given) { return given.first == option; });
}

const std::string& CliArguments::Value(std::string_view option, const std::string& fallback) const {
    for (auto given = options_.rbegin(); given != options_.rend(); ++given) {
        if (given->first == option) return given->second;
    }
    return fallback;
}

std::vector<CliCommand>& CliCommands() {
    static std::vector<CliCommand> commands;
    return commands;
}

namespace {

// getopt_long's codes for the declared options: above every character.
constexpr int kFirstOptionCode = 256;

std::string OptionName(const CliCommand& command, int code) {
    if (code >= kFirstOptionCode) return "--" + command.options.at(static_cast<size_t>(code - kFirstOptionCode)).name;
    return code == 'h' ? std::string("--help") : std::string("-") + static_cast<char>(code);
}

// An option getopt_long did not take: unknown, or a prefix of several.
std::string UnknownOptionMessage(const CliCommand& command, std::string written) {
    written = written.substr(0, written.find('='));
    std::string matches;
    if (written.size() > 2) {
        for (const CliOption& option : command.options) {
            if (option.name.compare(0, written.size() - 2, written, 2) == 0)
                matches += (matches.empty() ? "--" : ", --") + option.name;
        }
    }
    if (matches.find(',') != std::string::npos) return "ambiguous option '" + written + "' (" + matches + ")";
    return "unknown option '" + written + "'";
}

std::string ArgumentsSynopsis(const CliCommand& command) {
    std::string synopsis;
    for (const CliArgument& argument : command.arguments) {
        const std::string name = argument.name + (argument.is_repeated ? "..." : "");
        synopsis += (synopsis.empty() ? "" : " ") + (argument.is_optional ? "[" + name + "]" : name);
    }
    for (const CliOption& option : command.options) {
        synopsis += " [--" + option.name + (option.value_name.empty() ? "" : " " + option.value_name) + "]";
    }
    return synopsis;
}

using Rows = std::vector<std::pair<std::string, std::string>>;

size_t FirstColumnWidth(const Rows& rows) {
    size_t width = 0;
    for (const auto& row : rows) width = std::max(width, row.first.size());
    return width;
}

// Rows of two columns, the second starting two spaces after a first column this wide.
std::string TwoColumns(const Rows& rows, size_t width) {
    std::string text;
    for (const auto& row : rows)
        text += "  " + row.first + std::string(width - row.first.size() + 2, ' ') + row.second + "\n";
    return text;
}

bool PrintToStdout(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return cli::FlushOutput();
}

const CliCommand* FindCommand(const std::vector<CliCommand>& commands, std::string_view name) {
    for (const CliCommand& command : commands) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

}  // namespace

CliArguments ParseCliArguments(const CliCommand& command, int argc, char** argv) {
    std::vector<option> long_options;
    for (size_t i = 0; i < command.options.size(); ++i) {
        long_options.push_back({command.options[i].name.c_str(),
                                command.options[i].value_name.empty() ? no_argument : required_argument, nullptr,
                                kFirstOptionCode + static_cast<int>(i)});
    }
    long_options.push_back({"help", no_argument, nullptr, 'h'});
    long_options.push_back({nullptr, 0, nullptr, 0});

    CliArguments parsed(command.name);
    // "-": arguments come back in order, whatever POSIXLY_CORRECT says; ":": errors are ours to word.
    optind = 0;  // glibc starts afresh
    opterr = 0;
    for (;;) {
        const int code = getopt_long(argc, argv, "-:h", long_options.data(), nullptr);
        if (code == -1) break;
        if (code == 1) {
            parsed.AddPositional(optarg);
        } else if (code == 'h') {
            parsed.RequestHelp();
            return parsed;
        } else if (code >= kFirstOptionCode) {
            parsed.AddOption(command.options[static_cast<size_t>(code - kFirstOptionCode)].name, optarg ? optarg : "");
        } else if (code == ':') {
            const std::string& value_name =
                optopt >= kFirstOptionCode ? command.options[static_cast<size_t>(optopt - kFirstOptionCode)].value_name
                                           : "";
            throw CliUsageError("option '" + OptionName(command, optopt) + "' needs a value" +
                                (value_name.empty() ? "" : " (" + value_name + ")"));
        } else if (optopt == 0) {
            throw CliUsageError(UnknownOptionMessage(command, argv[optind - 1]));
        } else if (optopt >= kFirstOptionCode || optopt == 'h') {
            throw CliUsageError("option '" + OptionName(command, optopt) + "' takes no value");
        } else {
            throw CliUsageError("unknown option '" + OptionName(command, optopt) + "'");
        }
    }
    for (int i = optind; i < argc; ++i) parsed.AddPositional(argv[i]);  // after "--"

    const std::vector<std::string>& given = parsed.AllPositional();
    const std::vector<CliArgument>& declared = command.arguments;
    const auto optional_count = static_cast<size_t>(std::count_if(
        declared.begin(), declared.end(), [](const CliArgument& argument) { return argument.is_optional; }));
    if (given.size() < declared.size() - optional_count) {
        throw CliUsageError("missing " + declared[optional_count + given.size()].name);
    }
    const bool is_repeated = !declared.empty() && declared.back().is_repeated;
    if (given.size() > declared.size() && !is_repeated) {
        throw CliUsageError("unexpected argument '" + given[declared.size()] + "'");
    }
    return parsed;
}

std::string CommandUsageLine(const CliCommand& command) {
    return "cindral-cli " + command.name + " " +
           (command.synopsis.empty() ? ArgumentsSynopsis(command) : command.synopsis);
}

std::string CommandHelp(const CliCommand& command) {
    Rows arguments;
    for (const CliArgument& argument : command.arguments) arguments.emplace_back(argument.name, argument.help);
    Rows options;
    for (const CliOption& option : command.options) {
        options.emplace_back("--" + option.name + (option.value_name.empty() ? "" : " " + option.value_name),
                             option.help);
    }
    options.emplace_back("-h, --help", "show this help and exit");
    const size_t width = std::max(FirstColumnWidth(arguments), FirstColumnWidth(options));
    std::string summary = command.summary;
    if (!summary.empty()) summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    std::string text = "Usage: " + CommandUsageLine(command) + "\n" + summary + ".\n";
    if (!arguments.empty()) text += "\nArguments:\n" + TwoColumns(arguments, width);
    return text + "\nOptions:\n" + TwoColumns(options, width);
}

std::string ProgramHelp(const std::vector<CliCommand>& commands) {
    Rows rows;
    for (const CliCommand& command : commands) rows.emplace_back(command.name, command.summary);
    std::sort(rows.begin(), rows.end());
    const Rows options = {{"-h, --help", "show this help and exit"}, {"-v, --version", "show the version and exit"}};
    const size_t width = std::max(FirstColumnWidth(rows), FirstColumnWidth(options));
    return "Usage: cindral-cli COMMAND [ARGUMENT]...\n"
           "Reads, lists, exports and records Cindral archives without a window.\n"
           "\nCommands:\n" +
           TwoColumns(rows, width) + "\nOptions:\n" + TwoColumns(options, width) +
           "\n'cindral-cli COMMAND --help' shows the arguments and options of one command.\n"
           "Exit status: 0 done, 1 the work failed, 2 the command line was wrong.\n";
}

std::string ProgramVersion() { return "cindral-cli " CINDRAL_VERSION "\n"; }

int RunCli(int argc, char** argv, const std::vector<CliCommand>& commands) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "-h" || first == "--help") return PrintToStdout(ProgramHelp(commands)) ? kCliSuccess : kCliFailure;
    if (first == "-v" || first == "--version") return PrintToStdout(ProgramVersion()) ? kCliSuccess : kCliFailure;
    const CliCommand* command = FindCommand(commands, first);
    if (!command) {
        const std::string problem = argc < 2                              ? std::string("no command given")
                                    : first.size() > 1 && first[0] == '-' ? "unknown option '" + first + "'"
                                                                          : "unknown command '" + first + "'";
        cli::PrintUsageError("", problem);
        return kCliUsage;
    }
    try {
        const CliArguments arguments = ParseCliArguments(*command, argc - 1, argv + 1);
        if (arguments.IsHelpRequested()) return PrintToStdout(CommandHelp(*command)) ? kCliSuccess : kCliFailure;
        return command->run(arguments);
    } catch (const CliUsageError& error) {
        cli::PrintUsageError(command->name, error.what());
        return kCliUsage;
    } catch (const std::exception& error) {
        // Out of memory, mostly: said, never a crash.
        cli::PrintError(command->name, error.what());
        return kCliFailure;
    }
}
