// What the web server lets in before authentication, on 127.0.0.1 with real clients.
#include <gtest/gtest.h>

// GLib's headers before Qt's, whose keywords they use as names.
#include "web_test_support.h"

#include <chrono>
#include <thread>

#include "support/temp_folder.h"

namespace {

using namespace std::chrono_literals;
using web_test::LocalOptions;
using web_test::RawClient;
using web_test::ServerThread;

TEST(WebAdmission, ABodyAnnouncedWithContinueIsRefusedFromItsHeaders) {
    TempFolder storage;
    ServerThread server(storage.Folder(), nullptr, LocalOptions());
    ASSERT_EQ(server.Error(), "");
    // Answered before a byte of the body is sent, without "100 Continue", and closed.
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(
        "POST /api/days HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 300000000\r\nExpect: 100-continue\r\n\r\n"));
    const std::string answer = client.Receive(12);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 413");
    EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
    EXPECT_TRUE(client.WaitForClose(5));
}

TEST(WebAdmission, SlowHeadersAreCutAtTheDeadlineAndOneAddressHoldsAtMostEight) {
    TempFolder storage;
    WebServerOptions options = LocalOptions();
    options.header_deadline_s = 2;
    ServerThread server(storage.Folder(), nullptr, options);
    ASSERT_EQ(server.Error(), "");

    // A byte every quarter second keeps every read short of the idle time, not the deadline.
    RawClient dribbling(server.Port());
    const std::string request = "GET /api/days HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(200, 'a');
    const auto started = std::chrono::steady_clock::now();
    size_t sent = 0;
    while (sent < request.size() && dribbling.Send(request.substr(sent, 1))) {
        ++sent;
        std::this_thread::sleep_for(250ms);
        if (server.ClientCount() == 0) break;
    }
    const auto cut_after = std::chrono::steady_clock::now() - started;
    EXPECT_GE(cut_after, 1900ms);
    EXPECT_LT(cut_after, 6s);
    EXPECT_TRUE(dribbling.WaitForClose(5));

    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 8; ++i) held.push_back(std::make_unique<RawClient>(server.Port()));
    RawClient ninth(server.Port());
    EXPECT_TRUE(ninth.WaitForClose(1));  // long before the deadline
    EXPECT_EQ(server.ClientCount(), 8);
}

}  // namespace
