// The web server's parts without a socket: routing, passwords, the slowdown, the catalogue
// lookups, the listening rules, the certificate and the live frames' slot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

// GLib's headers before Qt's, whose keywords they use as names.
#include "web_test_support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "archive_core/video_export.h"
#include "capture/viewer_frames.h"
#include "jpeg/jpeg_codec.h"
#include "picture/packed_picture.h"
#include "platform/tick_clock.h"
#include "recorder/frame_archive.h"
#include "recorder/recorder_monitor.h"
#include "support/archive_test_support.h"
#include "support/cli_runner.h"
#include "support/temp_folder.h"
#include "web/matroska_duration.h"
#include "web/web_auth.h"
#include "web/web_catalogue.h"
#include "web/web_request.h"
#include "web/web_server.h"
#include "web/web_tls.h"

namespace {

TEST(WebRequest, RoutesEveryEndpointAndNothingElse) {
    struct Case {
        const char* method;
        const char* path;
        const char* query;
        WebRoute route;
        const char* day;
        const char* name;
        int32_t frame;
    };
    const Case cases[] = {
        {"GET", "/", "", WebRoute::kPage, "", "", -1},
        {"GET", "/app.js", "", WebRoute::kScript, "", "", -1},
        {"GET", "/style.css", "", WebRoute::kStyle, "", "", -1},
        {"GET", "/live.mjpeg", "", WebRoute::kLive, "", "", -1},
        {"GET", "/snapshot.jpg", "", WebRoute::kSnapshot, "", "", -1},
        {"GET", "/api/status", "", WebRoute::kStatus, "", "", -1},
        {"HEAD", "/api/days", "", WebRoute::kDays, "", "", -1},
        {"GET", "/api/archives", "day=20261207", WebRoute::kArchives, "20261207", "", -1},
        {"GET", "/api/archives", "x=1&day=20261207", WebRoute::kArchives, "20261207", "", -1},
        {"GET", "/api/archives/20261207/12345/frames/17.jpg", "", WebRoute::kFrame, "20261207", "12345", 17},
        {"GET", "/api/archives/20261207/123 45.mkv", "", WebRoute::kVideo, "20261207", "123 45", -1},
        // The path comes decoded: a '%' left is the name's own.
        {"GET", "/api/archives/20261207/pct%41.cna", "", WebRoute::kArchive, "20261207", "pct%41", -1},
        {"GET", "/api/archives/20261207/12345.cna", "", WebRoute::kArchive, "20261207", "12345", -1},
        {"GET", "/api/events", "day=20261207", WebRoute::kEvents, "20261207", "", -1},
        {"GET", "/api/events/42/picture.jpg", "", WebRoute::kEventPicture, "", "", -1},
        // Changing anything is not answered.
        {"POST", "/api/days", "", WebRoute::kMethodNotAllowed, "", "", -1},
        {"DELETE", "/api/archives/20261207/12345.cna", "", WebRoute::kMethodNotAllowed, "20261207", "12345", -1},
        // Unknown, malformed and traversing requests.
        {"GET", "/api/archives", "day=2026120", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives", "day=..%2f..", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/../12345.cna", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/...cna", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/../frames/1.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/../../etc/passwd.cna", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/a/b.cna", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/a\\b.cna", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/a\\b/frames/1.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/.hidden.cna", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/2026120x/12345.cna", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/12345/frames/-1.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/12345/frames/+1.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/12345/frames/99999999999.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/archives/20261207/12345.exe", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "//etc/passwd", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/index.html/", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/events", "day=today", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/events/-1/picture.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/events/4x/picture.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/events/9999999999999999999/picture.jpg", "", WebRoute::kNotFound, "", "", -1},
        {"GET", "/api/events/1/../picture.jpg", "", WebRoute::kNotFound, "", "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + "?" + c.query);
        const WebRequest request = RouteRequest(c.method, c.path, c.query);
        EXPECT_EQ(request.route, c.route);
        EXPECT_EQ(request.day, c.day);
        EXPECT_EQ(request.name, c.name);
        EXPECT_EQ(request.frame, c.frame);
        EXPECT_EQ(request.event_id, c.route == WebRoute::kEventPicture ? 42 : -1);
    }
}

TEST(WebAuth, PasswordsAreSaltedSlowHashesThatVerifyOnlyTheirPassword) {
    const std::string record = HashPassword("secret word");
    EXPECT_EQ(record.rfind("pbkdf2-sha256$100000$", 0), 0u) << record;
    EXPECT_EQ(record.find("secret"), std::string::npos);
    EXPECT_NE(record, HashPassword("secret word"));  // salted
    EXPECT_TRUE(VerifyPassword("secret word", record));
    EXPECT_FALSE(VerifyPassword("secret wore", record));
    EXPECT_FALSE(VerifyPassword("", record));
    // A record with fewer rounds than ours, or damaged, is never accepted.
    const std::string weak = HashPassword("secret word", 1000);
    EXPECT_FALSE(VerifyPassword("secret word", weak));
    std::string damaged = record;
    damaged.back() = damaged.back() == 'A' ? 'B' : 'A';
    EXPECT_FALSE(VerifyPassword("secret word", damaged));
    EXPECT_FALSE(VerifyPassword("secret word", "secret word"));

    std::string user;
    std::string password;
    ASSERT_TRUE(ParseBasicAuthorization("Basic dXNlcjpwYTpzcw==", user, password));  // user:pa:ss
    EXPECT_EQ(user, "user");
    EXPECT_EQ(password, "pa:ss");
    ASSERT_TRUE(ParseBasicAuthorization("basic dXNlcjpwYTpzcw==", user, password));  // any case
    ASSERT_TRUE(ParseBasicAuthorization("BASIC dXNlcjpwYTpzcw==", user, password));
    EXPECT_FALSE(ParseBasicAuthorization("Bearer dXNlcjpwYTpzcw==", user, password));
    EXPECT_FALSE(ParseBasicAuthorization("Basic !!!", user, password));
    EXPECT_FALSE(ParseBasicAuthorization("Basic dXNlcg==", user, password));  // no colon

    CWebCredentials credentials("user", record);
    EXPECT_FALSE(credentials.Check(""));
    EXPECT_FALSE(credentials.Check("Basic dXNlcjpzZWNyZXQgd29yZQ=="));  // user:secret wore
    EXPECT_FALSE(credentials.Check("Basic b3RoZXI6c2VjcmV0IHdvcmQ="));  // other:secret word
    EXPECT_TRUE(credentials.Check("Basic dXNlcjpzZWNyZXQgd29yZA=="));   // user:secret word
    EXPECT_TRUE(credentials.Check("Basic dXNlcjpzZWNyZXQgd29yZA=="));   // remembered, same answer
    EXPECT_FALSE(credentials.Check("Basic dXNlcjpzZWNyZXQgd29yZQ=="));
    // Of the same length and ending alike, whether remembered or not: every byte counts.
    EXPECT_FALSE(credentials.Check("Basic dXhlcjpzZWNyZXQgd29yZA=="));  // uxer:secret word
    EXPECT_FALSE(VerifyCredentials("user", record, "uxer", "secret word"));
    EXPECT_FALSE(VerifyCredentials("user", record, "user", "sexret word"));
    EXPECT_TRUE(VerifyCredentials("user", record, "user", "secret word"));
}

TEST(WebAuth, NetworksAreRefusedAfterFiveFailuresDoublingUpToThirtySeconds) {
    CFailureThrottle throttle;
    // Neighbours count as one: rotating through a /24 gains nothing.
    for (int i = 0; i < 4; ++i) {
        throttle.Failed("10.0.0." + std::to_string(i + 1), 0);
        EXPECT_EQ(throttle.RefusedForMs("10.0.0.1", 0), 0);
    }
    const int64_t expected[] = {1000, 2000, 4000, 8000, 16000, 30000, 30000};
    int64_t now_ms = 0;
    for (int64_t delay : expected) {
        throttle.Failed("10.0.0.77", now_ms);
        EXPECT_EQ(throttle.RefusedForMs("10.0.0.200", now_ms), delay);
        EXPECT_EQ(throttle.RefusedForMs("::ffff:10.0.0.9", now_ms + delay - 1), 1);
        now_ms += delay;
        EXPECT_EQ(throttle.RefusedForMs("10.0.0.1", now_ms), 0);
    }
    EXPECT_EQ(throttle.RefusedForMs("10.0.1.1", now_ms - 1), 0);  // another network
    throttle.Succeeded("10.0.0.5");
    throttle.Failed("10.0.0.1", now_ms);
    EXPECT_EQ(throttle.RefusedForMs("10.0.0.1", now_ms), 0);
    EXPECT_EQ(FailureNetwork("2001:db8:1:2::1"), FailureNetwork("2001:db8:1:2:ffff::9"));
    EXPECT_NE(FailureNetwork("2001:db8:1:2::1"), FailureNetwork("2001:db8:1:3::1"));

    // Bounded: a flood of networks forgets those failed longest ago, never one being refused.
    CFailureThrottle flooded;
    flooded.Failed("192.168.1.1", 0);  // failed first, not refused: forgotten
    for (int i = 0; i < CFailureThrottle::kFreeFailures; ++i) flooded.Failed("192.168.2.1", 1);
    for (size_t i = 0; i < CFailureThrottle::kMaxNetworks + 10; ++i) {
        flooded.Failed("10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1", 2);
    }
    EXPECT_EQ(flooded.RefusedForMs("192.168.2.1", 2), CFailureThrottle::kFirstDelayMs - 1);
    EXPECT_EQ(flooded.Failed("192.168.1.1", 3), 1);
}

TEST(WebListen, BeyondLoopbackNeedsAPasswordAndHttpsUnlessInsecureIsAsked) {
    WebServerOptions options;
    EXPECT_EQ(ListenRefusal(options), "");  // 127.0.0.1 and ::1
    options.addresses = {"0.0.0.0"};
    EXPECT_NE(ListenRefusal(options).find("user name and password"), std::string::npos);
    options.user = "user";
    options.password_hash = HashPassword("pw");
    EXPECT_NE(ListenRefusal(options).find("HTTPS"), std::string::npos);
    options.is_insecure_http = true;
    EXPECT_EQ(ListenRefusal(options), "");
    options.is_insecure_http = false;
    options.tls.certificate_path = "cert.pem";
    EXPECT_EQ(ListenRefusal(options), "");

    std::string error;
    WebServerOptions parsed;
    ASSERT_TRUE(ParseListenAddress("[::1]:8642", parsed, error)) << error;
    EXPECT_EQ(parsed.addresses, std::vector<std::string>{"::1"});
    EXPECT_EQ(parsed.port, 8642);
    ASSERT_TRUE(ParseListenAddress("localhost:0", parsed, error)) << error;
    EXPECT_EQ(parsed.addresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_FALSE(ParseListenAddress("example.org:80", parsed, error));
    EXPECT_FALSE(ParseListenAddress("127.0.0.1:65536", parsed, error));
    EXPECT_FALSE(ParseListenAddress("127.0.0.1", parsed, error));
}

TEST(WebCatalogue, OnlyRealArchivesOfRealDayFoldersAreFound) {
    TempFolder storage;
    const std::string day = storage.File("20090107");
    std::filesystem::create_directory(day);
    std::filesystem::create_directory(storage.File("2009010x"));
    std::filesystem::create_directory(storage.File("outside"));
    {
        // Recorded for real, then moved to the test's day.
        CFrameArchive recorder(storage.Folder());
        std::string created;
        recorder.SetFileCreatedCallback([&](const std::string& path) { created = path; });
        BMP_File frame;
        frame.Create(32, 24);
        ASSERT_TRUE(recorder.WriteFrame(frame));
        ASSERT_TRUE(recorder.WriteFrame(frame));
        recorder.CloseFile();
        recorder.WaitForFlushes();
        std::filesystem::rename(created, day + "/1000.CNA");
    }
    std::filesystem::copy_file(day + "/1000.CNA", storage.File("outside/2000.CNA"));
    std::filesystem::create_symlink(storage.File("outside/2000.CNA"), day + "/2000.CNA");
    std::filesystem::create_directory_symlink(storage.File("outside"), storage.File("20090108"));
    std::filesystem::copy_file(day + "/1000.CNA", day + "/3000.cna");
    ::chmod((day + "/3000.cna").c_str(), 0444);
    std::ofstream(day + "/notes.txt") << "not an archive";
    std::filesystem::copy_file(day + "/1000.CNA", day + "/.4000.CNA");  // a real archive, hidden

    const std::vector<std::string> days = ListDays(storage.Folder());
    EXPECT_NE(std::find(days.begin(), days.end(), "20090107"), days.end());
    EXPECT_EQ(std::find(days.begin(), days.end(), "20090108"), days.end());  // a link
    EXPECT_EQ(std::find(days.begin(), days.end(), "2009010x"), days.end());

    const auto archives = ListArchives(storage.Folder(), "20090107");
    ASSERT_TRUE(archives.has_value());
    ASSERT_EQ(archives->size(), 2u);
    EXPECT_EQ((*archives)[0].name, "1000");
    EXPECT_EQ((*archives)[0].frames, 2);
    EXPECT_TRUE((*archives)[0].first_ole.has_value());
    EXPECT_FALSE((*archives)[0].is_pinned);
    EXPECT_EQ((*archives)[1].name, "3000");
    EXPECT_TRUE((*archives)[1].is_pinned);

    EXPECT_TRUE(FindArchive(storage.Folder(), "20090107", "1000").has_value());
    EXPECT_FALSE(FindArchive(storage.Folder(), "20090107", "2000").has_value());  // a link
    EXPECT_FALSE(FindArchive(storage.Folder(), "20090108", "2000").has_value());  // a linked day
    EXPECT_FALSE(FindArchive(storage.Folder(), "20090107", "notes").has_value());
    EXPECT_FALSE(FindArchive(storage.Folder(), "20090107", ".4000").has_value());
    EXPECT_FALSE(FindArchive(storage.Folder(), "20090107", "../outside/2000").has_value());
    EXPECT_FALSE(ListArchives(storage.Folder(), "20090109").has_value());
}

TEST(WebCatalogue, ListedTimesAreTheFirstAndLastRecordsOfTheArchiveAsItIsNow) {
    TempFolder storage;
    std::filesystem::create_directory(storage.File("20090107"));
    const std::string path = storage.File("20090107/1000.CNA");
    // Each record a different time, the last ones at and past the half second.
    const double day = 39820.0;
    const double seconds[] = {36000.25, 36000.5, 36000.75, 36001.6};
    archive_test::ArchiveBytes file(4);
    for (const double second : seconds) file.AddRecord(day + second / 86400.0, archive_test::EncodeScene(16, 16, 1));
    archive_test::WriteBytes(path, file.bytes);
    auto listed = ListArchives(storage.Folder(), "20090107");
    ASSERT_TRUE(listed && listed->size() == 1u);
    EXPECT_EQ((*listed)[0].frames, 4);
    EXPECT_EQ((*listed)[0].first_ole, day + seconds[0] / 86400.0);
    EXPECT_EQ((*listed)[0].last_ole, day + seconds[3] / 86400.0);
    EXPECT_EQ(IsoLocalTime(*(*listed)[0].last_ole), "2009-01-07T10:00:01.600");

    // The archive grows as it is recorded: the listing follows.
    archive_format::WriteU32(file.bytes.data(), 5);
    file.AddRecord(day + 36002.5 / 86400.0, archive_test::EncodeScene(16, 16, 2));
    archive_test::WriteBytes(path, file.bytes);
    listed = ListArchives(storage.Folder(), "20090107");
    ASSERT_TRUE(listed && listed->size() == 1u);
    EXPECT_EQ((*listed)[0].frames, 5);
    EXPECT_EQ((*listed)[0].last_ole, day + 36002.5 / 86400.0);
    const std::optional<WebFrame> frame = ReadArchiveFrame(path, 4);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->time, "2009-01-07T10:00:02.500");
    EXPECT_EQ(DownloadName((*listed)[0]), "Cindral 2009-01-07 10-00-00");
    WebArchive untimed = (*listed)[0];
    untimed.first_ole.reset();
    EXPECT_EQ(DownloadName(untimed), "1000");
}

TEST(WebVideo, AStreamedVideoGainsItsLengthHoweverItsBytesArriveAndOtherBytesPassUnchanged) {
    TempFolder storage;
    const std::string path = storage.File("1000.CNA");
    archive_test::ArchiveBytes file(3);
    for (int i = 0; i < 3; ++i)
        file.AddRecord(39820.0 + (36000.0 + 0.5 * i) / 86400.0, archive_test::EncodeScene(16, 16, i));
    archive_test::WriteBytes(path, file.bytes);
    const std::string streamed_path = storage.File("streamed.mkv");
    {
        const UniqueFd streamed(::open(streamed_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        VideoExportOptions options;
        options.container = VideoContainer::kMatroska;
        ASSERT_TRUE(ExportVideoToStream({path}, streamed.Get(), options).is_written);
    }
    const std::vector<uint8_t> streamed = archive_test::ReadBytes(streamed_path);
    const uint64_t duration_ns = 1500000000;  // three frames half a second apart
    std::vector<uint8_t> whole;
    CMatroskaDurationInserter at_once(duration_ns);
    at_once.Feed(streamed.data(), streamed.size(), whole);
    at_once.Flush(whole);
    std::vector<uint8_t> bytewise;
    CMatroskaDurationInserter byte_by_byte(duration_ns);
    for (const uint8_t byte : streamed) byte_by_byte.Feed(&byte, 1, bytewise);
    byte_by_byte.Flush(bytewise);
    EXPECT_EQ(bytewise, whole);
    EXPECT_EQ(whole.size(), streamed.size() + 11);
    const std::string patched_path = storage.File("patched.mkv");
    archive_test::WriteBytes(patched_path, whole);
    for (const auto& [file_path, expected] : {std::pair{streamed_path, std::string("duration=N/A")},
                                              std::pair{patched_path, std::string("duration=1.500000")}}) {
        const CommandResult probe = RunShell(
            "ffprobe -v error -count_frames -show_entries format=duration:stream=nb_read_frames -of "
            "default=nw=1 '" +
            file_path + "'");
        EXPECT_NE(probe.out.find(expected), std::string::npos) << probe.out << probe.err;
        EXPECT_NE(probe.out.find("nb_read_frames=3"), std::string::npos) << probe.out;
    }

    const std::vector<uint8_t> other = {0x1A, 0x45, 0xDF, 0xA3, 0x81, 0x00, 0x12, 0x34, 0x56};
    std::vector<uint8_t> passed;
    CMatroskaDurationInserter unchanged(duration_ns);
    unchanged.Feed(other.data(), other.size(), passed);
    unchanged.Flush(passed);
    EXPECT_EQ(passed, other);
}

TEST(WebTls, SelfSignedCertificateIsMadeOnceWithAPrivateKeyForThisHostAndLoopback) {
    TempFolder settings;
    TlsFiles files;
    std::string error;
    ASSERT_TRUE(EnsureSelfSignedCertificate(settings.File("config/Tovamesh"), files, error)) << error;
    struct stat key_info {};
    ASSERT_EQ(::stat(files.key_path.c_str(), &key_info), 0);
    EXPECT_EQ(key_info.st_mode & 0777, 0600u);
    const std::string fingerprint = CertificateFingerprint(files.certificate_path, error);
    ASSERT_EQ(fingerprint.size(), 32u * 3 - 1) << error;
    // Made once: a second call keeps it.
    TlsFiles again;
    ASSERT_TRUE(EnsureSelfSignedCertificate(settings.File("config/Tovamesh"), again, error));
    EXPECT_EQ(CertificateFingerprint(again.certificate_path, error), fingerprint);
    const std::string text = RunShell("openssl x509 -noout -text -in '" + files.certificate_path + "'").out;
    EXPECT_NE(text.find("IP Address:127.0.0.1"), std::string::npos) << text;
    EXPECT_TRUE(CertificateFingerprint(settings.File("missing.crt"), error).empty());
    EXPECT_FALSE(error.empty());
}

TEST(ViewerFrames, NothingIsCopiedOrEncodedUnlessAViewerWaitsAndStoredFramesWin) {
    CViewerFrames frames;
    int told = 0;
    frames.SetListener([&] { ++told; });
    const uint8_t stored[] = {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9};
    frames.OfferStored(stored, sizeof stored);
    EXPECT_EQ(frames.Newest(), nullptr);  // nobody waited
    frames.Want();
    frames.OfferStored(stored, sizeof stored);
    ASSERT_NE(frames.Newest(), nullptr);
    EXPECT_EQ(frames.Newest()->bytes, std::vector<uint8_t>(stored, stored + sizeof stored));
    EXPECT_EQ(frames.Newest()->sequence, 1u);
    EXPECT_EQ(told, 1);
    EXPECT_FALSE(frames.IsWanted());  // once per wait: never faster than viewers take frames

    // A camera's packed frame, while the recorder stores nothing: one encode that decodes.
    std::vector<uint8_t> bgrx(64 * 48 * 4);
    for (size_t i = 0; i < bgrx.size(); ++i) bgrx[i] = static_cast<uint8_t>(i * 7);
    CameraFrame camera;
    camera.layout = PixelLayout::kBgrx;
    camera.width = 64;
    camera.height = -48;
    camera.planes[0] = bgrx.data();
    camera.strides[0] = 64 * 4;
    camera.size_bytes = bgrx.size();
    frames.Want();
    frames.OfferCameraFrame(camera, MonotonicMs(), 500);
    EXPECT_EQ(frames.EncodeCount(), 0);  // a record was stored just now: its JPEGs are the viewers'
    frames.OfferCameraFrame(camera, MonotonicMs() + 1000, 500);
    EXPECT_EQ(frames.EncodeCount(), 1);
    const auto encoded = frames.Newest();
    ASSERT_NE(encoded, nullptr);
    JpegCodec codec;
    BMP_File picture;
    ASSERT_TRUE(codec.DecodeJpeg(encoded->bytes.data(), static_cast<uint32_t>(encoded->bytes.size()), picture));
    EXPECT_EQ(picture.GetWidth(), 64);
    EXPECT_EQ(picture.GetHeight(), 48);
    frames.OfferCameraFrame(camera, MonotonicMs() + 1000, 500);
    EXPECT_EQ(frames.EncodeCount(), 1);  // nobody waits

    // A camera's own JPEG goes as it came.
    camera.layout = PixelLayout::kJpeg;
    camera.planes[0] = stored;
    camera.size_bytes = sizeof stored;
    frames.Want();
    frames.OfferCameraFrame(camera, MonotonicMs() + 1000, 500);
    EXPECT_EQ(frames.EncodeCount(), 1);
    EXPECT_EQ(frames.Newest()->bytes, std::vector<uint8_t>(stored, stored + sizeof stored));
    EXPECT_EQ(told, 3);
}

}  // namespace
