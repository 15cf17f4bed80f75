#pragma once

#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "web/web_server.h"

// The options every serving command takes.
std::vector<CliOption> ListenCliOptions();
// The server's options from --listen, --password-file, --tls-cert, --tls-key and
// --insecure-http. CliUsageError for what cannot be served (exit status 2); a self-signed
// certificate is made beside the settings when HTTPS is needed and none was given
// (std::runtime_error when it cannot be). fingerprint is set when HTTPS is served.
WebServerOptions ReadListenOptions(const CliArguments& arguments, std::string& fingerprint);
// Starts server; says where it serves on standard error. False after saying why.
bool StartServing(CWebServer& server, const WebServerOptions& options, const std::string& fingerprint,
                  const std::string& command);
