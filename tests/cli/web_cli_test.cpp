// End to end: cindral-cli records and serves, a browser and a stream reader watch.
#include <gtest/gtest.h>
#include <sys/stat.h>

// GLib's headers before Qt's, whose keywords they use as names.
#include "web/web_test_support.h"

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "archive/archive_reader.h"
#include "support/temp_folder.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using web_test::Fetch;

// cindral-cli with its arguments, running until stopped; the port it serves on.
class ServingCli {
public:
    explicit ServingCli(const QStringList& arguments) {
        process_.setProgram(QStringLiteral(CINDRAL_CLI_PATH));
        process_.setArguments(arguments);
        process_.start();
        const QRegularExpression serving(QStringLiteral("serving http://127\\.0\\.0\\.1:(\\d+)/"));
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (port_ == 0 && std::chrono::steady_clock::now() < deadline && process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(200);
            errors_ += process_.readAllStandardError();
            const auto match = serving.match(QString::fromUtf8(errors_));
            if (match.hasMatch()) port_ = match.captured(1).toUShort();
        }
    }
    ~ServingCli() { Stop(); }
    int Stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            process_.waitForFinished(60000);
        }
        errors_ += process_.readAllStandardError();
        return process_.exitCode();
    }
    uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::string Errors() const { return errors_.toStdString(); }

private:
    QProcess process_;
    QByteArray errors_;
    uint16_t port_ = 0;
};

std::set<std::string> StoredJpegs(const std::string& storage) {
    std::set<std::string> jpegs;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(storage)) {
        if (entry.path().extension() != ".CNA") continue;
        CArchiveReader reader;
        if (!reader.OpenFile(entry.path().string())) continue;
        for (int32_t i = 0; i < reader.GetFrameCount(); ++i) {
            std::vector<uint8_t> jpeg;
            if (reader.ReadFrameJpeg(i, jpeg)) jpegs.insert(std::string(jpeg.begin(), jpeg.end()));
        }
    }
    return jpegs;
}

QStringList RecordArguments(const TempFolder& storage, const char* pattern) {
    return {
        QStringLiteral("record"),
        QStringLiteral("--storage"),
        QString::fromStdString(storage.Folder()),
        QStringLiteral("--source"),
        QStringLiteral(
            "videotestsrc is-live=true pattern=%1 ! capsfilter caps=video/x-raw,width=320,height=240,framerate=30/1")
            .arg(QLatin1String(pattern)),
        QStringLiteral("--mode"),
        QStringLiteral("always"),
        QStringLiteral("--listen"),
        QStringLiteral("127.0.0.1:0")};
}

TEST(WebCli, RecordServesTheJpegsItStoresAndServeRefusesTheOpenNetworkWithoutAPassword) {
    TempFolder storage;
    ServingCli cli(RecordArguments(storage, "ball"));
    ASSERT_NE(cli.Port(), 0) << cli.Errors();
    SoupSession* session = soup_session_new();
    SoupMessage* message = soup_message_new("GET", cli.Url("/live.mjpeg").c_str());
    GInputStream* stream = soup_session_send(session, message, nullptr, nullptr);
    ASSERT_NE(stream, nullptr);
    std::string data;
    char buffer[65536];
    const auto count_parts = [&] {
        size_t count = 0;
        for (size_t at = data.find("--cindralframe"); at != std::string::npos; at = data.find("--cindralframe", at + 1))
            ++count;
        return count;
    };
    while (count_parts() < 11 && data.size() < 40000000) {
        const gssize n = g_input_stream_read(stream, buffer, sizeof buffer, nullptr, nullptr);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    g_object_unref(stream);
    g_object_unref(message);
    g_object_unref(session);
    const QJsonObject status =
        QJsonDocument::fromJson(QByteArray::fromStdString(Fetch(cli.Url("/api/status")).body)).object();
    EXPECT_EQ(status["phase"].toString(), "recording");
    EXPECT_TRUE(status["text"].toString().startsWith("REC "));
    EXPECT_EQ(cli.Stop(), 0) << cli.Errors();

    // Every whole part is a record the recorder stored, byte for byte: no encode of its own.
    const std::set<std::string> stored = StoredJpegs(storage.Folder());
    ASSERT_FALSE(stored.empty());
    size_t parts = 0;
    for (size_t at = data.find("Content-Length: "); at != std::string::npos;
         at = data.find("Content-Length: ", at + 1)) {
        const size_t length = std::stoul(data.substr(at + 16));
        const size_t body = data.find("\r\n\r\n", at) + 4;
        if (body + length > data.size()) break;
        EXPECT_EQ(stored.count(data.substr(body, length)), 1u) << "part " << parts;
        ++parts;
    }
    EXPECT_GE(parts, 10u);

    QProcess serve;
    serve.start(QStringLiteral(CINDRAL_CLI_PATH),
                {QStringLiteral("serve"), QStringLiteral("--storage"), QString::fromStdString(storage.Folder()),
                 QStringLiteral("--listen"), QStringLiteral("0.0.0.0:0")});
    ASSERT_TRUE(serve.waitForFinished(30000));
    EXPECT_EQ(serve.exitCode(), 2);
    EXPECT_TRUE(serve.readAllStandardError().contains("needs a user name and password"));
}

TEST(WebCli, TheRealBrowserShowsTheLivePictureAndTheDaysArchives) {
    TempFolder storage;
    ServingCli cli(RecordArguments(storage, "green"));
    ASSERT_NE(cli.Port(), 0) << cli.Errors();
    // An archive of today exists by the time the browser asks.
    WaitUntil([&] { return !StoredJpegs(storage.Folder()).empty(); }, 10000);

    const QString url = QString::fromStdString(cli.Url("/"));
    const QString shot = QString::fromStdString(storage.File("page.png"));
    const QStringList common = {QStringLiteral("--headless"),
                                QStringLiteral("--no-sandbox"),
                                QStringLiteral("--disable-gpu"),
                                QStringLiteral("--hide-scrollbars"),
                                QStringLiteral("--user-data-dir=") + QString::fromStdString(storage.File("chromium")),
                                QStringLiteral("--window-size=412,915"),
                                QStringLiteral("--virtual-time-budget=6000")};
    QProcess dump;
    dump.start(QStringLiteral("chromium"), common + QStringList{QStringLiteral("--dump-dom"), url});
    ASSERT_TRUE(dump.waitForFinished(120000));
    const QString dom = QString::fromUtf8(dump.readAllStandardOutput());
    EXPECT_TRUE(dom.contains(QStringLiteral("<li data-index=\"0\""))) << dom.toStdString();
    EXPECT_TRUE(dom.contains(QStringLiteral(" frames</span>"))) << dom.toStdString();
    EXPECT_TRUE(dom.contains(QStringLiteral("REC "))) << dom.toStdString();

    QProcess screenshot;
    screenshot.start(QStringLiteral("chromium"), common + QStringList{QStringLiteral("--screenshot=") + shot, url});
    ASSERT_TRUE(screenshot.waitForFinished(120000));
    const QImage image(shot);
    ASSERT_FALSE(image.isNull()) << screenshot.readAllStandardError().toStdString();
    // The test source is plain green: the live picture is on the page.
    int green = 0;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            const QColor c = image.pixelColor(x, y);
            if (c.green() > 200 && c.red() < 60 && c.blue() < 60) ++green;
        }
    }
    EXPECT_GT(green, image.width() * image.height() / 4 / 10);
    EXPECT_EQ(cli.Stop(), 0) << cli.Errors();
}

// Measured on serve itself: what a client can push of a body before the server closes.
TEST(WebCli, RequestsWithABodyAreRefusedFromTheirHeadersWithoutReadingIt) {
    TempFolder storage;
    ServingCli server({QStringLiteral("serve"), QStringLiteral("--storage"), QString::fromStdString(storage.Folder()),
                       QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    ASSERT_NE(server.Port(), 0) << server.Errors();
    // The headers, then as much of the body as the server takes: a server reading the body takes
    // all 64 MiB, one that refused it has closed before the sockets' buffers are full.
    const std::string chunk(16 * 1024, 'x');
    for (const std::string head : {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 300000000\r\n\r\n",
                                   "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                                   "POST /api/days HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 300000000\r\n\r\n"}) {
        web_test::RawClient client(server.Port(), 0, 16 * 1024);
        ASSERT_TRUE(client.Send(head));
        size_t sent_bytes = 0;
        while (sent_bytes < 64u * 1024 * 1024 && client.Send(chunk)) sent_bytes += chunk.size();
        EXPECT_LT(sent_bytes, 4u * 1024 * 1024) << head;
        const std::string answer = client.Receive(200);
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 413") << head;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
    }
    EXPECT_EQ(Fetch(server.Url("/api/days")).status, 200u);
}

TEST(WebCli, APasswordFileOthersCanReadIsWarnedOf) {
    TempFolder storage;
    const std::string password_file = storage.File("password");
    std::ofstream(password_file) << "viewer:s3cretXY\n";
    for (const mode_t mode : {0644, 0640, 0600}) {
        ASSERT_EQ(chmod(password_file.c_str(), mode), 0);
        ServingCli server({QStringLiteral("serve"), QStringLiteral("--storage"),
                           QString::fromStdString(storage.Folder()), QStringLiteral("--listen"),
                           QStringLiteral("127.0.0.1:0"), QStringLiteral("--password-file"),
                           QString::fromStdString(password_file)});
        ASSERT_NE(server.Port(), 0) << server.Errors();
        const bool is_warned =
            server.Errors().find("password file " + password_file + " is readable") != std::string::npos;
        EXPECT_EQ(is_warned, mode != 0600) << std::oct << mode << ": " << server.Errors();
        EXPECT_EQ(server.Errors().find("s3cretXY"), std::string::npos);  // the password is never shown
    }
}

}  // namespace
