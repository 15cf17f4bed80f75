// The web server on 127.0.0.1 with real clients: libsoup's, hand-written requests and openssl.
#include <gtest/gtest.h>
#include <sys/stat.h>

// GLib's headers before Qt's, whose keywords they use as names.
#include "web_test_support.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "archive/archive_reader.h"
#include "capture/viewer_frames.h"
#include "recorder/frame_archive.h"
#include "storage/events_database.h"
#include "support/archive_test_support.h"
#include "support/wait.h"
#include "web/web_auth.h"
#include "web/web_catalogue.h"
#include "web/web_tls.h"

namespace {

using namespace std::chrono_literals;
using archive_test::ReadBytes;
using web_test::Fetch;
using web_test::LocalOptions;
using web_test::RawClient;
using web_test::ServerThread;

QJsonObject Json(const std::string& body) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << body;
    return document.object();
}

// A storage folder with one archive of five recorded frames.
struct RecordedStorage {
    TempFolder storage;
    std::string day;
    std::string name;
    std::string path;

    RecordedStorage() {
        CFrameArchive recorder(storage.Folder());
        recorder.SetFileCreatedCallback([&](const std::string& created) { path = created; });
        for (int i = 0; i < 5; ++i) {
            BMP_File frame;
            archive_test::PaintScene(frame, 64, 48, i);
            EXPECT_TRUE(recorder.WriteFrame(frame));
            std::this_thread::sleep_for(20ms);  // paced on purpose: frames apart in time, as a camera's
        }
        recorder.CloseFile();
        recorder.WaitForFlushes();
        const std::filesystem::path file(path);
        day = file.parent_path().filename().string();
        name = file.stem().string();
    }
};

// Puts a frame in the slot whenever a viewer waits, as the recorder does, until stopped.
class FrameFeeder {
public:
    FrameFeeder(CViewerFrames& frames, int width, int height) : frames_(frames) {
        for (int i = 0; i < 4; ++i) {
            BMP_File picture;
            archive_test::PaintNoise(picture, width, height, static_cast<uint32_t>(i + 1));
            JpegCodec codec;
            std::vector<uint8_t> jpeg(static_cast<size_t>(width) * height * 3 + 65536);
            jpeg.resize(codec.EncodeJpeg(picture, jpeg.data(), static_cast<uint32_t>(jpeg.size())));
            jpegs_.push_back(std::move(jpeg));
        }
        thread_ = std::thread([this] {
            for (size_t n = 0; !is_stopped_.load(); ++n) {
                const std::vector<uint8_t>& jpeg = jpegs_[n % jpegs_.size()];
                frames_.OfferStored(jpeg.data(), static_cast<uint32_t>(jpeg.size()));
                std::this_thread::sleep_for(33ms);  // paced on purpose: a camera's 30 frames a second
            }
        });
    }
    ~FrameFeeder() {
        is_stopped_.store(true);
        thread_.join();
    }

private:
    CViewerFrames& frames_;
    std::vector<std::vector<uint8_t>> jpegs_;
    std::atomic<bool> is_stopped_{false};
    std::thread thread_;
};

// The parts of a multipart stream read from stream until count JPEGs are complete.
std::vector<std::string> ReadParts(GInputStream* stream, size_t count) {
    std::vector<std::string> parts;
    std::string data;
    char buffer[65536];
    while (parts.size() < count) {
        const gssize n = g_input_stream_read(stream, buffer, sizeof buffer, nullptr, nullptr);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
        while (true) {
            const size_t length_at = data.find("Content-Length: ");
            const size_t body_at = data.find("\r\n\r\n", length_at);
            if (length_at == std::string::npos || body_at == std::string::npos) break;
            const size_t length = std::stoul(data.substr(length_at + 16));
            if (data.size() < body_at + 4 + length) break;
            parts.push_back(data.substr(body_at + 4, length));
            data.erase(0, body_at + 4 + length);
        }
    }
    return parts;
}

TEST(WebServer, EveryEndpointAnswersFromTheCatalogueWithTheStoredBytes) {
    RecordedStorage recorded;
    const std::string day_folder = recorded.storage.File(recorded.day);
    std::filesystem::create_directory(recorded.storage.File("elsewhere"));
    std::filesystem::copy_file(recorded.path, recorded.storage.File("elsewhere/777.CNA"));
    std::filesystem::create_symlink(recorded.storage.File("elsewhere/777.CNA"), day_folder + "/777.CNA");
    ServerThread server(recorded.storage.Folder(), nullptr, LocalOptions());
    ASSERT_EQ(server.Error(), "");

    const auto page = Fetch(server.Url("/"));
    EXPECT_EQ(page.status, 200u);
    EXPECT_NE(page.body.find("<title>Cindral</title>"), std::string::npos);
    EXPECT_EQ(Fetch(server.Url("/app.js")).status, 200u);
    EXPECT_EQ(Fetch(server.Url("/style.css")).content_type, "text/css; charset=utf-8");

    const QJsonObject days = Json(Fetch(server.Url("/api/days")).body);
    EXPECT_EQ(days["days"].toArray(), QJsonArray{QString::fromStdString(recorded.day)});
    const QJsonObject listed = Json(Fetch(server.Url("/api/archives?day=" + recorded.day)).body);
    const QJsonArray archives = listed["archives"].toArray();
    ASSERT_EQ(archives.size(), 1);  // the link is not listed
    const QJsonObject archive = archives[0].toObject();
    EXPECT_EQ(archive["name"].toString().toStdString(), recorded.name);
    EXPECT_EQ(archive["frames"].toInt(), 5);
    EXPECT_TRUE(archive["first"].isString());
    EXPECT_LE(archive["first"].toString(), archive["last"].toString());
    EXPECT_FALSE(archive["pinned"].toBool());

    const QJsonObject status = Json(Fetch(server.Url("/api/status")).body);
    EXPECT_EQ(status["text"].toString(), "REC 00:00:01");
    EXPECT_GT(status["free_bytes"].toDouble(), 0.0);
    EXPECT_EQ(status["open_archive"].toObject()["name"].toString(), "123");

    const std::string base = "/api/archives/" + recorded.day + "/" + recorded.name;
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(recorded.path));
    for (int32_t frame = 0; frame < 5; ++frame) {
        std::vector<uint8_t> stored;
        ASSERT_TRUE(reader.ReadFrameJpeg(frame, stored));
        const auto answer = Fetch(server.Url(base + "/frames/" + std::to_string(frame) + ".jpg"));
        EXPECT_EQ(answer.status, 200u);
        EXPECT_EQ(answer.body, std::string(stored.begin(), stored.end())) << frame;
        EXPECT_EQ(answer.record_time, IsoLocalTime(reader.GetRecord(frame)->time_stamp));
    }
    const std::vector<uint8_t> file = ReadBytes(recorded.path);
    // Downloads are named by when the archive begins, not by its file's name.
    std::string begins = IsoLocalTime(reader.GetRecord(0)->time_stamp).substr(0, 19);
    begins.replace(10, 1, " ").replace(13, 1, "-").replace(16, 1, "-");
    const auto download = Fetch(server.Url(base + ".cna"));
    EXPECT_EQ(download.body, std::string(file.begin(), file.end()));
    EXPECT_EQ(download.disposition, "attachment; filename=\"Cindral " + begins + ".cna\"");

    // The copy export, streamed: Matroska with every stored JPEG, and its length in its header.
    const auto video = Fetch(server.Url(base + ".mkv"));
    ASSERT_EQ(video.status, 200u);
    EXPECT_EQ(video.disposition, "attachment; filename=\"Cindral " + begins + ".mkv\"");
    const double span_s = (reader.GetRecord(4)->time_stamp - reader.GetRecord(0)->time_stamp) * 86400.0;
    const std::string video_path = recorded.storage.File("download.mkv");
    archive_test::WriteBytes(video_path, std::vector<uint8_t>(video.body.begin(), video.body.end()));
    const std::string probe =
        RunShell(
            "ffprobe -v error -count_frames -show_entries format=format_name,duration:stream=codec_name,nb_read_frames "
            "-of default=nw=1 '" +
            video_path + "'")
            .out;
    // The last frame lasts as long as the mean gap before it.
    const size_t duration_at = probe.find("duration=");
    ASSERT_NE(duration_at, std::string::npos) << probe;
    EXPECT_NEAR(std::atof(probe.c_str() + duration_at + 9), span_s * 5 / 4, 0.01) << probe;
    EXPECT_NE(probe.find("codec_name=mjpeg"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=5"), std::string::npos) << probe;
    EXPECT_NE(probe.find("format_name=matroska"), std::string::npos) << probe;

    // Refusals: nothing outside the catalogue, nothing that changes anything.
    const std::string refused[] = {
        base + "/frames/5.jpg",
        "/api/archives/" + recorded.day + "/777.cna",
        "/api/archives/" + recorded.day + "/..%2felsewhere%2f777.cna",
        "/api/archives/" + recorded.day + "/%2e%2e/frames/0.jpg",
        "/api/archives/" + recorded.day + "/../" + recorded.day + "/" + recorded.name + "%2f..%2f..%2f777.cna",
        "/api/archives/19991231/" + recorded.name + ".cna",
        "/api/archives?day=19991231",
        "/api/archives/" + recorded.day + "/nothing.cna",
        "/live.mjpeg",  // recordings only here: 503
    };
    for (const std::string& path : refused) {
        // libsoup itself answers an encoded slash with 400 before any handler runs.
        const guint expected = path == "/live.mjpeg" ? 503u : path.find("%2f") != std::string::npos ? 400u : 404u;
        EXPECT_EQ(Fetch(server.Url(path)).status, expected) << path;
    }
    EXPECT_EQ(Fetch(server.Url("/api/days"), "POST").status, 405u);
    EXPECT_EQ(Fetch(server.Url(base + ".cna"), "DELETE").status, 405u);
    EXPECT_TRUE(std::filesystem::exists(recorded.path));
}

TEST(WebServer, RecordTimesAreTheOnesInfoShowsForEveryFrame) {
    TempFolder storage;
    std::filesystem::create_directory(storage.File("20090107"));
    const std::string path = storage.File("20090107/1000.CNA");
    // 30 frames a second for a second: half of them at or past the half second.
    archive_test::ArchiveBytes file(31);
    const std::vector<uint8_t> jpeg = archive_test::EncodeScene(16, 16, 1);
    for (int i = 0; i < 31; ++i) file.AddRecord(39820.0 + (36000.0 + i * 0.033) / 86400.0, jpeg);
    file.AddTrailer(39820.0 + 36002.0 / 86400.0, 31);
    archive_test::WriteBytes(path, file.bytes);
    const std::string info = RunCli({"info", path}).out;
    ServerThread server(storage.Folder(), nullptr, LocalOptions());
    ASSERT_EQ(server.Error(), "");
    for (int frame = 0; frame < 31; ++frame) {
        const auto answer = Fetch(server.Url("/api/archives/20090107/1000/frames/" + std::to_string(frame) + ".jpg"));
        ASSERT_EQ(answer.status, 200u);
        std::string shown = answer.record_time;
        std::replace(shown.begin(), shown.end(), 'T', ' ');
        // "frame N: time OLE (YYYY-MM-DD HH:MM:SS.mmm), ..."
        const size_t line = info.find("frame " + std::to_string(frame) + ": time ");
        ASSERT_NE(line, std::string::npos) << info;
        const size_t open = info.find('(', line);
        EXPECT_EQ(info.substr(open + 1, info.find(')', open) - open - 1), shown) << frame;
    }
    const QJsonObject listed = Json(Fetch(server.Url("/api/archives?day=20090107")).body);
    const QJsonObject archive = listed["archives"].toArray()[0].toObject();
    EXPECT_EQ(archive["first"].toString(), "2009-01-07T10:00:00.000");
    EXPECT_EQ(archive["last"].toString(), "2009-01-07T10:00:00.990");
    EXPECT_NE(info.find("(2009-01-07 10:00:00.990)"), std::string::npos) << info;
}

TEST(WebServer, ASlowArchiveBeingListedHoldsUpNoOtherRequest) {
    TempFolder storage;
    std::filesystem::create_directory(storage.File("20090107"));
    const std::string path = storage.File("20090107/1000.CNA");
    // 100 records, then damage that is slow to search (a tag every five bytes, none with a head),
    // then a 20 GB hole and a trailer: cheap on disk.
    archive_test::ArchiveBytes file(0);
    const std::vector<uint8_t> jpeg = archive_test::EncodeScene(16, 16, 1);
    for (int i = 0; i < 100; ++i) file.AddRecord(39820.0 + i / 86400.0, jpeg);
    for (int i = 0; i < 8 * 1024 * 1024; ++i) file.bytes.insert(file.bytes.end(), {'J', 'F', 'I', 'F', 0});
    archive_test::WriteSparseArchive(path, file, int64_t{20} << 30, 100);
    ServerThread server(storage.Folder(), nullptr, LocalOptions());
    ASSERT_EQ(server.Error(), "");

    using Clock = std::chrono::steady_clock;
    std::atomic<bool> is_listed{false};
    const Clock::time_point listing_started = Clock::now();
    std::thread listing([&] {
        EXPECT_EQ(Fetch(server.Url("/api/archives?day=20090107")).status, 200u);
        is_listed.store(true);
    });
    // Status answers while the listing is under way: several of them, each fast.
    int answered_during_listing = 0;
    Clock::duration slowest{};
    while (!is_listed.load()) {
        const Clock::time_point asked = Clock::now();
        const auto status = Fetch(server.Url("/api/status"));
        EXPECT_EQ(status.status, 200u);
        slowest = std::max(slowest, Clock::now() - asked);
        if (!is_listed.load()) ++answered_during_listing;
    }
    listing.join();
    const Clock::duration listing_took = Clock::now() - listing_started;
    EXPECT_GE(answered_during_listing, 3)
        << "the listing took " << std::chrono::duration_cast<std::chrono::milliseconds>(listing_took).count() << " ms";
    EXPECT_LT(slowest, 500ms);
    // Listed once, indexed once: the frame after it is quick.
    const Clock::time_point asked = Clock::now();
    EXPECT_EQ(Fetch(server.Url("/api/archives/20090107/1000/frames/99.jpg")).status, 200u);
    EXPECT_LT(Clock::now() - asked, listing_took / 4);
}

TEST(WebServer, LiveViewersGetTheNewestFramesAndAStalledOneHoldsNobodyUp) {
    TempFolder storage;
    CViewerFrames frames;
    WebServerOptions options = LocalOptions();
    options.idle_timeout_s = 5;
    ServerThread server(storage.Folder(), &frames, options);
    ASSERT_EQ(server.Error(), "");
    FrameFeeder feeder(frames, 640, 480);

    // Connected, asking for the stream, reading nothing, with a small window.
    RawClient stalled(server.Port(), 4096);
    ASSERT_TRUE(stalled.IsConnected());
    ASSERT_TRUE(stalled.Send("GET /live.mjpeg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));

    SoupSession* session = soup_session_new();
    SoupMessage* message = soup_message_new("GET", server.Url("/live.mjpeg").c_str());
    GInputStream* stream = soup_session_send(session, message, nullptr, nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(soup_message_get_status(message), 200u);
    EXPECT_EQ(std::string(soup_message_headers_get_one(soup_message_get_response_headers(message), "Content-Type")),
              "multipart/x-mixed-replace; boundary=cindralframe");
    const std::vector<std::string> parts = ReadParts(stream, 20);
    ASSERT_EQ(parts.size(), 20u);
    EXPECT_EQ(server.ClientCount(), 2);  // the stalled one is still connected
    JpegCodec codec;
    for (const std::string& part : parts) {
        BMP_File picture;
        EXPECT_TRUE(codec.DecodeJpeg(reinterpret_cast<const uint8_t*>(part.data()), static_cast<uint32_t>(part.size()),
                                     picture));
        EXPECT_EQ(picture.GetWidth(), 640);
    }
    const auto snapshot = Fetch(server.Url("/snapshot.jpg"));
    EXPECT_EQ(snapshot.status, 200u);
    EXPECT_EQ(snapshot.content_type, "image/jpeg");
    BMP_File picture;
    EXPECT_TRUE(codec.DecodeJpeg(reinterpret_cast<const uint8_t*>(snapshot.body.data()),
                                 static_cast<uint32_t>(snapshot.body.size()), picture));
    g_object_unref(stream);
    g_object_unref(message);
    g_object_unref(session);

    // The stalled connection is closed once its writes have waited for the idle time.
    EXPECT_TRUE(WaitUntil([&] { return server.ClientCount() == 0; })) << server.ClientCount();
}

TEST(WebServer, PasswordsAreAskedAndAnswersSlowDownAfterFiveFailures) {
    TempFolder storage;
    WebServerOptions options = LocalOptions();
    options.user = "viewer";
    options.password_hash = HashPassword("right");
    ServerThread server(storage.Folder(), nullptr, options);
    ASSERT_EQ(server.Error(), "");
    const std::string right = "Basic dmlld2VyOnJpZ2h0";  // viewer:right
    const std::string wrong = "Basic dmlld2VyOndyb25n";  // viewer:wrong

    const auto asked = Fetch(server.Url("/api/days"));
    EXPECT_EQ(asked.status, 401u);
    EXPECT_EQ(asked.www_authenticate, "Basic realm=\"Cindral\", charset=\"UTF-8\"");
    EXPECT_EQ(Fetch(server.Url("/api/days"), "GET", right).status, 200u);
    // Five failures (a request without a password is only asked for one): then the network is
    // refused at once for a second, its password unread, and told how long.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Fetch(server.Url("/api/days"), "GET", wrong).status, 401u);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(server.Url("/api/days"), "GET", wrong).status, 429u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    // The pair that passed before is still let in at once.
    EXPECT_EQ(Fetch(server.Url("/api/days"), "GET", right).status, 200u);
    guint status = 429;
    while (status == 429 && std::chrono::steady_clock::now() - started < 5s) {
        status = Fetch(server.Url("/api/days"), "GET", wrong).status;
    }
    EXPECT_EQ(status, 401u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
    // That sixth failure refuses the network for two seconds.
    EXPECT_EQ(Fetch(server.Url("/api/days"), "GET", wrong).status, 429u);
    EXPECT_EQ(Fetch(server.Url("/api/days"), "GET", "basic dmlld2VyOnJpZ2h0").status, 200u);  // any case
}

TEST(WebServer, AtMost32ClientsAndIdleConnectionsAreClosed) {
    TempFolder storage;
    WebServerOptions options = LocalOptions();
    options.idle_timeout_s = 6;
    options.max_clients_per_address = 64;  // all come from 127.0.0.1 here
    options.header_deadline_s = 60;        // the idle time is what is tested
    ServerThread server(storage.Folder(), nullptr, options);
    ASSERT_EQ(server.Error(), "");
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 32; ++i) idle.push_back(std::make_unique<RawClient>(server.Port()));
    WaitUntil([&] { return server.ClientCount() >= 32; }, 5000);
    ASSERT_EQ(server.ClientCount(), 32);
    RawClient extra(server.Port());
    ASSERT_TRUE(extra.Send("GET /api/days HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(extra.Receive(12).substr(0, 12), "HTTP/1.1 503");
    // The idle ones are closed after the idle time, and room is made.
    for (auto& client : idle) EXPECT_TRUE(client->WaitForClose(30));
    WaitUntil([&] { return server.ClientCount() == 0; }, 5000);
    EXPECT_EQ(server.ClientCount(), 0);
    EXPECT_EQ(Fetch(server.Url("/api/days")).status, 200u);
}

TEST(WebServer, HttpsIsServedWithTheCertificateWhoseFingerprintIsShown) {
    TempFolder storage;
    TlsFiles files;
    std::string error;
    ASSERT_TRUE(EnsureSelfSignedCertificate(storage.File("settings"), files, error)) << error;
    const std::string fingerprint = CertificateFingerprint(files.certificate_path, error);
    WebServerOptions options = LocalOptions();
    options.tls = files;
    ServerThread server(storage.Folder(), nullptr, options);
    ASSERT_EQ(server.Error(), "");
    server.SetHttps(true);
    EXPECT_EQ(Fetch(server.Url("/api/days"), "GET", {}, fingerprint).status, 200u);
    EXPECT_NE(Fetch(server.Url("/api/days"), "GET", {}, "00:11").status, 200u);
    EXPECT_NE(Fetch("http://127.0.0.1:" + std::to_string(server.Port()) + "/api/days").status, 200u);
    const std::string seen = RunShell("openssl s_client -connect 127.0.0.1:" + std::to_string(server.Port()) +
                                      " </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256")
                                 .out;
    EXPECT_NE(seen.find(fingerprint), std::string::npos) << seen;
}

std::mutex g_web_log_mutex;
QStringList g_web_log;
void CatchWebLog(QtMsgType, const QMessageLogContext&, const QString& text) {
    const std::lock_guard<std::mutex> lock(g_web_log_mutex);
    g_web_log.append(text);
}

TEST(WebServer, AllNetworksAreServedByOneDualStackSocketWithoutABindError) {
    TempFolder storage;
    TlsFiles files;
    std::string error;
    ASSERT_TRUE(EnsureSelfSignedCertificate(storage.File("settings"), files, error)) << error;
    const std::string fingerprint = CertificateFingerprint(files.certificate_path, error);
    WebServerOptions options = LocalOptions();
    options.addresses = {"::", "0.0.0.0"};  // what "All networks" listens on
    options.tls = files;
    options.user = "viewer";
    options.password_hash = HashPassword("right");
    const QtMessageHandler previous = qInstallMessageHandler(CatchWebLog);
    {
        ServerThread server(storage.Folder(), nullptr, options);
        ASSERT_EQ(server.Error(), "");
        const std::string port = std::to_string(server.Port());
        const std::string authorization = "Basic dmlld2VyOnJpZ2h0";  // viewer:right
        EXPECT_EQ(Fetch("https://127.0.0.1:" + port + "/api/days", "GET", authorization, fingerprint).status, 200u);
        // libsoup's client does not take an IPv6 literal with a certificate here; curl does.
        EXPECT_EQ(
            RunShell("curl -sk -u viewer:right -o /dev/null -w '%{http_code}' 'https://[::1]:" + port + "/api/days'")
                .out,
            "200");
    }
    qInstallMessageHandler(previous);
    const std::lock_guard<std::mutex> lock(g_web_log_mutex);
    EXPECT_FALSE(g_web_log.join('\n').contains(QStringLiteral("Address already in use")))
        << g_web_log.join('\n').toStdString();
}

TEST(WebServer, ConnectionsAreKeptAliveOverHttpAndHttpsAndClosedWhenTheClientCloses) {
    TempFolder storage;
    TlsFiles files;
    std::string error;
    ASSERT_TRUE(EnsureSelfSignedCertificate(storage.File("settings"), files, error)) << error;
    for (const bool is_https : {false, true}) {
        WebServerOptions options = LocalOptions();
        options.header_deadline_s = 60;  // the client's close, not the deadline, must end it
        if (is_https) options.tls = files;
        ServerThread server(storage.Folder(), nullptr, options);
        ASSERT_EQ(server.Error(), "");
        server.SetHttps(is_https);
        SoupSession* session = soup_session_new();
        std::set<guint64> connections;
        for (int i = 0; i < 50; ++i) {
            SoupMessage* message = soup_message_new("GET", server.Url("/api/days").c_str());
            g_signal_connect(message, "accept-certificate",
                             G_CALLBACK(+[](SoupMessage*, GTlsCertificate*, GTlsCertificateFlags) { return TRUE; }),
                             nullptr);
            GBytes* body = soup_session_send_and_read(session, message, nullptr, nullptr);
            EXPECT_EQ(soup_message_get_status(message), 200u);
            connections.insert(soup_message_get_connection_id(message));
            if (body) g_bytes_unref(body);
            g_object_unref(message);
        }
        EXPECT_EQ(connections.size(), 1u) << (is_https ? "https" : "http");
        EXPECT_EQ(server.ClientCount(), 1);
        g_object_unref(session);
        WaitUntil([&] { return server.ClientCount() == 0; }, 10000);
        EXPECT_EQ(server.ClientCount(), 0) << (is_https ? "https" : "http");
    }
    // A connection the server will close says so.
    ServerThread server(storage.Folder(), nullptr, LocalOptions());
    RawClient closing(server.Port());
    ASSERT_TRUE(closing.Send("GET /api/days HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    EXPECT_NE(closing.Receive(200).find("Connection: close"), std::string::npos);
    EXPECT_TRUE(closing.WaitForClose(5));
}

}  // namespace

TEST(WebServer, EventsAreListedByDayAndShownByTheirBestFrameWithTheirBox) {
    RecordedStorage recorded;
    CArchiveReader reader;
    ASSERT_TRUE(reader.OpenFile(recorded.path));
    const double start_ole = reader.GetRecord(0)->time_stamp;
    {
        CEventsDatabase database;
        std::string error;
        ASSERT_TRUE(database.Open(recorded.storage.Folder(), error)) << error;
        StoredEvent boxed;
        boxed.start_ole = start_ole;
        boxed.end_ole = reader.GetRecord(4)->time_stamp;
        boxed.archive = recorded.day + "/" + recorded.name + ".CNA";
        boxed.label = "person";
        boxed.best_frame = 2;
        boxed.box = {8, 8, 24, 24};
        ASSERT_TRUE(database.Add(boxed, error)) << error;
        StoredEvent outside = boxed;  // names a file outside the day folders: never read
        outside.archive = recorded.day + "/../../etc.CNA";
        outside.box = {};
        ASSERT_TRUE(database.Add(outside, error)) << error;
    }
    ServerThread server(recorded.storage.Folder(), nullptr, LocalOptions());
    ASSERT_EQ(server.Error(), "");
    const QJsonObject listed = Json(Fetch(server.Url("/api/events?day=" + recorded.day)).body);
    const QJsonArray events = listed["events"].toArray();
    ASSERT_EQ(events.size(), 2);
    const QJsonObject event = events[0].toObject();
    EXPECT_EQ(event["label"].toString(), "person");
    EXPECT_EQ(event["archive"].toString().toStdString(), recorded.name);
    EXPECT_EQ(event["box"].toArray(), (QJsonArray{8, 8, 24, 24}));
    EXPECT_EQ(event["start"].toString().toStdString(), IsoLocalTime(start_ole));
    EXPECT_TRUE(Json(Fetch(server.Url("/api/events?day=19991231")).body)["events"].toArray().isEmpty());

    const auto picture = Fetch(server.Url("/api/events/" + std::to_string(event["id"].toInteger()) + "/picture.jpg"));
    ASSERT_EQ(picture.status, 200u);
    EXPECT_EQ(picture.content_type, "image/jpeg");
    const QImage image = QImage::fromData(QByteArray::fromStdString(picture.body), "JPEG");
    ASSERT_EQ(image.size(), QSize(64, 48));
    const QColor edge = image.pixelColor(9, 20);  // on the box's left side
    EXPECT_GT(edge.red(), 180);
    EXPECT_LT(edge.green(), 90);
    const auto outside =
        Fetch(server.Url("/api/events/" + std::to_string(events[1].toObject()["id"].toInteger()) + "/picture.jpg"));
    EXPECT_EQ(outside.status, 404u);
    EXPECT_EQ(Fetch(server.Url("/api/events/999/picture.jpg")).status, 404u);
}

// The page in a real browser, in real time: each archive plays at its recorded pace, rows are
// picked by keyboard, the timeline's blocks are large enough to tap, and a refresh keeps the
// selection, and the day's events are pictures that play their archive from the best frame.
TEST(WebPage, PlaysArchivesAtTheirRecordedPaceAndKeepsItsSelection) {
    TempFolder storage;
    std::filesystem::create_directory(storage.File("20090107"));
    const double day = 39820.0;
    struct Recording {
        const char* name;
        int frames_per_s;
        double start_s;
    };
    const Recording recordings[] = {{"1000", 30, 36000.0}, {"2000", 15, 39600.0}};
    for (const Recording& recording : recordings) {
        const int frames = recording.frames_per_s * 8;
        archive_test::ArchiveBytes file(frames);
        const std::vector<uint8_t> jpeg = archive_test::EncodeScene(64, 48, 1);
        for (int i = 0; i < frames; ++i) {
            file.AddRecord(day + (recording.start_s + static_cast<double>(i) / recording.frames_per_s) / 86400.0, jpeg);
        }
        archive_test::WriteBytes(storage.File(std::string("20090107/") + recording.name + ".CNA"), file.bytes);
    }
    {
        // One event, in the 15 fps archive, best seen at its 31st frame.
        CEventsDatabase database;
        std::string error;
        ASSERT_TRUE(database.Open(storage.Folder(), error)) << error;
        StoredEvent event;
        event.start_ole = event.end_ole = day + 39602.0 / 86400.0;
        event.archive = "20090107/2000.CNA";
        event.label = "person";
        event.best_frame = 30;
        ASSERT_TRUE(database.Add(event, error)) << error;
    }
    ServerThread server(storage.Folder(), nullptr, LocalOptions());
    ASSERT_EQ(server.Error(), "");
    const std::string script = storage.File("play.js");
    archive_test::WriteBytes(script, [] {
        const std::string text = R"(
const $ = (id) => document.getElementById(id);
const until = async (test) => {
  for (const end = performance.now() + 20000; !test(); await new Promise((r) => setTimeout(r, 20)))
    if (performance.now() > end) throw new Error('timed out');
};
await until(() => document.querySelectorAll('#archives li').length === 2);
const result = { played: [] };
for (const index of [0, 1]) {
  const row = document.querySelector('#archives li[data-index="' + index + '"]');
  row.focus();
  row.dispatchEvent(new KeyboardEvent('keydown', { key: 'Enter', bubbles: true }));
  await until(() => $('position').textContent.startsWith('1 / ') && $('frame-time').textContent !== '');
  $('play').click();
  await new Promise((r) => setTimeout(r, 6000));
  result.played.push({ position: parseInt($('position').textContent), clock: $('frame-time').textContent });
  $('play').click();
}
const block = document.querySelector('.timeline .block').getBoundingClientRect();
result.block = { width: block.width, height: block.height };
result.focusable = document.querySelector('.timeline .block').tabIndex === 0;
await loadArchives($('day').value);
result.selected = document.querySelector('#archives li.selected')?.dataset.index ?? null;
// The day's events as pictures: a tap plays the event's archive from its best frame.
await until(() => document.querySelector('#events img')?.naturalWidth > 0);
result.event = document.querySelector('#events li span').textContent;
document.querySelector('#events li').click();
await until(() => $('position').textContent.startsWith('31 / 120'));
result.eventSelected = document.querySelector('#archives li.selected')?.dataset.index ?? null;
return result;
)";
        return std::vector<uint8_t>(text.begin(), text.end());
    }());
    const CommandResult run = RunShell("python3 '" CINDRAL_SOURCE_DIR "/tests/web/page_driver.py' '" + server.Url("/") +
                                       "' '" + script + "' '" + storage.File("chromium") + "' 2>&1");
    const QJsonObject result = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object();
    ASSERT_FALSE(result.isEmpty()) << run.out;
    const QJsonArray played = result["played"].toArray();
    ASSERT_EQ(played.size(), 2) << run.out;
    for (int i = 0; i < 2; ++i) {
        // Frames shown in 6 s against the recording's 6 s, within a tenth.
        const int expected = recordings[i].frames_per_s * 6;
        const int position = played[i].toObject()["position"].toInt();
        EXPECT_NEAR(position - 1, expected, expected / 10) << recordings[i].name << ": " << run.out;
        // Beside the position, the shown frame's own recorded time.
        const int second = static_cast<int>(recordings[i].start_s) + (position - 1) / recordings[i].frames_per_s;
        char clock[16];
        std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
        EXPECT_EQ(played[i].toObject()["clock"].toString().toStdString(), clock) << run.out;
    }
    EXPECT_GE(result["block"].toObject()["width"].toDouble(), 8.0) << run.out;
    EXPECT_GE(result["block"].toObject()["height"].toDouble(), 24.0) << run.out;
    EXPECT_TRUE(result["focusable"].toBool()) << run.out;
    EXPECT_EQ(result["selected"].toString(), "1") << run.out;
    EXPECT_EQ(result["event"].toString(), QStringLiteral("11:00:02 · person")) << run.out;
    EXPECT_EQ(result["eventSelected"].toString(), "1") << run.out;
}
