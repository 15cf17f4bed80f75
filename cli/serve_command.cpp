// cindral-cli serve: the recordings of a storage folder to browsers, without a camera.
#include <glib-unix.h>
#include <glib.h>

#include <csignal>

#include "cli/cli_command.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "cli/listen_options.h"
#include "web/web_server.h"

namespace {

int RunServe(const CliArguments& arguments) {
    const std::string storage_folder = cli::ParseStorageFolder(arguments);
    if (!arguments.Has("listen")) throw CliUsageError("--listen is required");
    std::string fingerprint;
    const WebServerOptions options = ReadListenOptions(arguments, fingerprint);

    // No live session here: the server has the main loop to itself.
    CWebServer server(storage_folder, nullptr, [] { return WebLiveStatus{"stopped", "Recordings only", {}, {}}; });
    if (!StartServing(server, options, fingerprint, "serve")) return kCliFailure;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    const auto quit = [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_CONTINUE;
    };
    const guint on_int = g_unix_signal_add(SIGINT, quit, loop);
    const guint on_term = g_unix_signal_add(SIGTERM, quit, loop);
    g_main_loop_run(loop);
    g_source_remove(on_int);
    g_source_remove(on_term);
    server.Stop();
    g_main_loop_unref(loop);
    return kCliSuccess;
}

std::vector<CliOption> ServeOptions() {
    std::vector<CliOption> options = {{"storage", "DIR", "serve the day folders of DIR (or --program-folder)"},
                                      {"program-folder", "DIR", "serve DIR/Storage (or --storage)"}};
    for (CliOption& option : ListenCliOptions()) options.push_back(std::move(option));
    return options;
}

const CliCommandRegistration kServe{{
    .name = "serve",
    .synopsis = "(--storage DIR | --program-folder DIR) --listen ADDRESS:PORT [--password-file FILE] "
                "[--tls-cert FILE --tls-key FILE] [--insecure-http]",
    .summary = "serves the recordings to browsers (read-only) until SIGINT or SIGTERM",
    .options = ServeOptions(),
    .run = &RunServe,
}};

}  // namespace
