// A request as the web server reads it, without a socket: method, path and query routed, and the
// Authorization header parsed. Lines of the input are, in turn, method, path (decoded, as libsoup
// hands it over), query and Authorization header.
#include <cstdint>
#include <string>
#include <string_view>

#include <QByteArray>

#include "fuzz/memory_file.h"
#include "web/web_auth.h"
#include "web/web_request.h"

namespace {

std::string_view NextLine(std::string_view& rest) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return line;
}

bool IsDay(const std::string& text) {
    return text.size() == 8 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool SameRequest(const WebRequest& a, const WebRequest& b) {
    return a.route == b.route && a.day == b.day && a.name == b.name && a.frame == b.frame;
}

void CheckRoute(std::string_view method, std::string_view path, std::string_view query) {
    const WebRequest request = RouteRequest(method, path, query);

    switch (request.route) {
        case WebRoute::kNotFound:
            FUZZ_CHECK(request.day.empty() && request.name.empty() && request.frame == -1);
            return;
        case WebRoute::kMethodNotAllowed: FUZZ_CHECK(method != "GET" && method != "HEAD"); return;
        case WebRoute::kArchives: FUZZ_CHECK(IsDay(request.day) && request.name.empty()); break;
        case WebRoute::kFrame:
        case WebRoute::kVideo:
        case WebRoute::kArchive: {
            // Only a plain name of a day reaches the catalogue.
            FUZZ_CHECK(IsDay(request.day));
            const std::string& name = request.name;
            FUZZ_CHECK(!name.empty() && name != "." && name != ".." && name.front() != '.');
            FUZZ_CHECK(name.find_first_of(std::string("/\\\0", 3)) == std::string::npos);
            FUZZ_CHECK((request.frame >= 0) == (request.route == WebRoute::kFrame));
            // The path is decoded once, before routing: a name comes back as it was given, '%' and all.
            std::string again = "/api/archives/" + request.day + "/" + name;
            if (request.route == WebRoute::kFrame)
                again += "/frames/" + std::to_string(request.frame) + ".jpg";
            else
                again += request.route == WebRoute::kVideo ? ".mkv" : ".cna";
            FUZZ_CHECK(SameRequest(RouteRequest(method, again, ""), request));
            break;
        }
        default: FUZZ_CHECK(request.day.empty() && request.name.empty() && request.frame == -1); break;
    }
    FUZZ_CHECK(method == "GET" || method == "HEAD");
}

void CheckAuthorization(std::string_view header) {
    std::string user;
    std::string password;
    if (!ParseBasicAuthorization(header, user, password)) return;
    // The user name ends at the first colon; sent again, the pair reads the same.
    FUZZ_CHECK(user.find(':') == std::string::npos);
    const std::string pair = user + ":" + password;
    const std::string sent = "Basic " + QByteArray::fromStdString(pair).toBase64().toStdString();
    std::string user_again;
    std::string password_again;
    FUZZ_CHECK(ParseBasicAuthorization(sent, user_again, password_again));
    FUZZ_CHECK(user_again == user && password_again == password);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view method = NextLine(rest);
    const std::string_view path = NextLine(rest);
    const std::string_view query = NextLine(rest);
    const std::string_view authorization = NextLine(rest);
    CheckRoute(method, path, query);
    CheckAuthorization(authorization);
    return 0;
}
