#include "cli/listen_options.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "cli/cli_output.h"
#include "platform/key_store.h"
#include "web/web_auth.h"
#include "web/web_tls.h"

std::vector<CliOption> ListenCliOptions() {
    return {{"listen", "ADDRESS:PORT", "serve the web page and API there (127.0.0.1:8642, [::1]:8642, 0.0.0.0:8642)"},
            {"password-file", "FILE", "the user and password viewers must give, as user:password on FILE's first line"},
            {"tls-cert", "FILE", "HTTPS with this PEM certificate (with --tls-key); else one made at first use"},
            {"tls-key", "FILE", "the certificate's PEM private key"},
            {"insecure-http", "", "serve plain HTTP beyond this computer: passwords and pictures travel in the clear"}};
}

WebServerOptions ReadListenOptions(const CliArguments& arguments, std::string& fingerprint) {
    WebServerOptions options;
    std::string error;
    if (!ParseListenAddress(arguments.Value("listen"), options, error)) throw CliUsageError(error);
    if (arguments.Has("password-file")) {
        const std::string& path = arguments.Value("password-file");
        std::ifstream file(path);
        std::string line;
        if (!file || !std::getline(file, line)) throw CliUsageError("cannot read the password file " + path);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == line.size()) {
            throw CliUsageError("the password file's first line must be user:password");
        }
        options.user = line.substr(0, colon);
        options.password_hash = HashPassword(line.substr(colon + 1));
        // A password others can read is no secret: said, not refused, as the owner may mean it.
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
            cli::PrintError("", "warning: the password file " + path + " is readable by " +
                                    ((info.st_mode & S_IROTH) != 0 ? "every user" : "its group") +
                                    "; chmod 600 would keep it to its owner");
        }
    }
    if (arguments.Has("tls-cert") != arguments.Has("tls-key"))
        throw CliUsageError("--tls-cert and --tls-key go together");
    if (arguments.Has("tls-cert")) {
        options.tls.certificate_path = arguments.Value("tls-cert");
        options.tls.key_path = arguments.Value("tls-key");
    }
    options.is_insecure_http = arguments.Has("insecure-http");
    const bool is_loopback = std::all_of(options.addresses.begin(), options.addresses.end(), IsLoopbackAddress);
    if (!is_loopback && options.tls.certificate_path.empty() && !options.is_insecure_http && !options.user.empty()) {
        const std::string folder = CKeyStore::DefaultFilePath().parent_path().string();
        // A certificate that cannot be made is a failure of the work, not of the command line.
        if (!EnsureSelfSignedCertificate(folder, options.tls, error)) {
            throw std::runtime_error("HTTPS is needed and no certificate can be made: " + error);
        }
    }
    const std::string refusal = ListenRefusal(options);
    if (!refusal.empty()) throw CliUsageError(refusal);
    if (!options.tls.certificate_path.empty()) {
        fingerprint = CertificateFingerprint(options.tls.certificate_path, error);
        if (fingerprint.empty()) throw CliUsageError(error);
    }
    return options;
}

bool StartServing(CWebServer& server, const WebServerOptions& options, const std::string& fingerprint,
                  const std::string& command) {
    std::string error;
    if (!server.Start(options, error)) {
        cli::PrintError(command, error);
        return false;
    }
    std::string line = "serving " + server.Url();
    if (!fingerprint.empty()) line += " (certificate SHA-256 " + fingerprint + ")";
    cli::PrintError(command, line);
    return true;
}
