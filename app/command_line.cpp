#include "app/command_line.h"

#include <QCommandLineParser>

#include "cindral_version.h"

namespace {

// Options QApplication takes for itself (its own, the platform's and the X11 plugin's).
// They are known here only so that they are not taken for mistakes.
constexpr const char* kQtOptionsWithValue[] = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "qwindowicon",
    "qwindowtitle",
    "session",
    "display",
    "geometry",
    "title",
    "icon",
    "name",
    "visual",
    "style",
    "stylesheet",
    "qmljsdebugger",
};
constexpr const char* kQtFlags[] = {"reverse", "widgetcount", "sync", "nograb", "dograb"};

}  // namespace

CommandLineRequest ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // Qt's options are written with one dash ("-platform offscreen"): no bundled short options.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    parser.addOption(help);
    parser.addOption(version);
    for (const char* name : kQtOptionsWithValue)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char* name : kQtFlags) parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    // The parser expects the program's name first.
    if (!parser.parse(QStringList{QStringLiteral("cindral")} + arguments)) {
        // Named as the user wrote it ("--bogus"), where the parser drops the dashes.
        if (!parser.unknownOptionNames().isEmpty()) {
            const QString name = parser.unknownOptionNames().first();
            for (const QString& argument : arguments) {
                const QString written = argument.section(QLatin1Char('='), 0, 0);
                if (written == QLatin1Char('-') + name || written == QStringLiteral("--") + name)
                    return {CommandLineRequest::Action::kUsageError,
                            QStringLiteral("unknown option '%1'.").arg(written)};
            }
        }
        QString error = parser.errorText();
        if (!error.isEmpty()) error[0] = error[0].toLower();
        return {CommandLineRequest::Action::kUsageError, error};
    }
    if (!parser.positionalArguments().isEmpty()) {
        return {CommandLineRequest::Action::kUsageError,
                QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().first())};
    }
    if (parser.isSet(help)) return {CommandLineRequest::Action::kShowHelp, QString()};
    if (parser.isSet(version)) return {CommandLineRequest::Action::kShowVersion, QString()};
    return {};
}

QString UsageText() {
    return QStringLiteral(
        "Usage: cindral [QT-OPTION]...\n"
        "Shows one camera's live picture, detects motion in it, records it into archive files\n"
        "and plays the recordings back.\n"
        "\n"
        "  -h, --help     show this help and exit\n"
        "  -v, --version  show the version and exit\n"
        "\n"
        "Qt's own options are accepted as well, for example -platform offscreen or -style fusion.\n"
        "\n"
        "Settings:   $XDG_CONFIG_HOME/Tovamesh/Cindral.reg (by default ~/.config/Tovamesh/Cindral.reg)\n"
        "Recordings: one folder per day in Storage beside the program when it exists, else in the\n"
        "            folder chosen in File > Storage..., else in Cindral in your videos folder\n"
        "            (~/Videos/Cindral)\n"
        "Test cameras: CINDRAL_TEST_CAMERAS='Test Camera=videotestsrc pattern=ball is-live=true'\n"
        "More in cindral(1) and in the help page, Help > Chm Help...\n");
}

QString VersionText() { return QStringLiteral("cindral " CINDRAL_VERSION "\n"); }
