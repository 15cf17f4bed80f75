#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/frame_sink.h"
#include "jpeg/jpeg_codec.h"

namespace {

struct SinkCall {
    char kind;  // 's' size, 'f' frame
    int64_t a;  // size: width; frame: layout
    int64_t b;  // size: height; frame: first byte
    CameraFrame frame;
};

class RecordingOwner : public IFrameSinkOwner {
public:
    void OnFrameSize(int32_t width, int32_t height) override { calls.push_back({'s', width, height, {}}); }
    void OnFrame(const CameraFrame& frame) override {
        calls.push_back({'f', static_cast<int64_t>(frame.layout), frame.planes[0][0], frame});
    }
    void OnFrameUnusable(const std::string& cause) override { unusable.push_back(cause); }
    std::vector<SinkCall> calls;
    std::vector<std::string> unusable;
};

void Render(VRender& sink, const char* caps_text, const std::vector<uint8_t>& bytes) {
    GstCaps* caps = gst_caps_from_string(caps_text);
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, bytes.size(), nullptr);
    gst_buffer_fill(buffer, 0, bytes.data(), bytes.size());
    GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
    gst_buffer_unref(buffer);
    gst_caps_unref(caps);
    sink.DoRenderSample(sample);
    gst_sample_unref(sample);
}

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count, 0);
    if (count > 0) bytes[0] = first;
    return bytes;
}

constexpr char kI420_5x3[] = "video/x-raw, format=I420, width=5, height=3, framerate=0/1";
constexpr char kYuy2_4x2[] = "video/x-raw, format=YUY2, width=4, height=2, framerate=0/1";

TEST(FrameSink, ReportsTheSizeTopDownBeforeFramesAndAgainWhenItChanges) {
    RecordingOwner owner;
    VRender sink(owner, true);
    ASSERT_NE(sink.Element(), nullptr);
    // I420 5x3: four rows of luma padded to 8, chroma 3 wide padded to 4, two rows of chroma each.
    Render(sink, kI420_5x3, Bytes(8 * 4 + 2 * 4 * 2, 1));
    Render(sink, kI420_5x3, Bytes(8 * 4 + 2 * 4 * 2, 2));
    Render(sink, kYuy2_4x2, Bytes(4 * 2 * 2, 3));
    ASSERT_EQ(owner.calls.size(), 5u);
    EXPECT_EQ(owner.calls[0].kind, 's');
    EXPECT_EQ(owner.calls[0].a, 5);
    EXPECT_EQ(owner.calls[0].b, -3);
    const CameraFrame& planar = owner.calls[1].frame;
    EXPECT_EQ(planar.layout, PixelLayout::kI420);
    EXPECT_EQ(planar.height, -3);
    EXPECT_EQ(planar.strides[0], 8);
    EXPECT_EQ(planar.strides[1], 4);
    EXPECT_EQ(planar.planes[1] - planar.planes[0], 8 * 4);
    EXPECT_EQ(planar.planes[2] - planar.planes[1], 4 * 2);
    EXPECT_EQ(owner.calls[1].b, 1);
    EXPECT_EQ(owner.calls[2].b, 2);
    EXPECT_EQ(owner.calls[3].kind, 's');
    EXPECT_EQ(owner.calls[3].a, 4);
    EXPECT_EQ(owner.calls[3].b, -2);
    EXPECT_EQ(owner.calls[4].a, static_cast<int64_t>(PixelLayout::kYuy2));
    EXPECT_EQ(owner.calls[4].frame.strides[0], 8);
}

TEST(FrameSink, DropsBuffersThatAreNotOneWholeFrameOfAFormatItTakes) {
    RecordingOwner owner;
    VRender sink(owner, false);
    Render(sink, kYuy2_4x2, Bytes(15, 1));
    Render(sink, "video/x-raw, format=RGB16, width=4, height=2, framerate=0/1", Bytes(16, 1));
    Render(sink, "video/x-raw, format=BGRx, width=4, height=2, framerate=0/1", Bytes(32, 1));
    // The YUY2 size report, the RGB16 frame refused, then the BGRx size and its frame.
    ASSERT_EQ(owner.calls.size(), 3u);
    EXPECT_EQ(owner.calls[0].kind, 's');
    EXPECT_EQ(owner.calls[1].kind, 's');
    EXPECT_EQ(owner.calls[2].kind, 'f');
    EXPECT_EQ(owner.calls[2].a, static_cast<int64_t>(PixelLayout::kBgrx));
    EXPECT_EQ(sink.DroppedFrameCount(), 2u);
    // Each drop is told, with its cause.
    ASSERT_EQ(owner.unusable.size(), 2u);
    EXPECT_NE(owner.unusable[0].find("whole frame"), std::string::npos) << owner.unusable[0];
    EXPECT_NE(owner.unusable[1].find("RGB16"), std::string::npos) << owner.unusable[1];
}

TEST(FrameSink, TellsEveryJpegBufferItCannotHandOnWhateverTheCapsSay) {
    BMP_File picture;
    picture.Create(21, 13);
    JpegCodec codec;
    std::vector<uint8_t> jpeg(65536);
    jpeg.resize(codec.EncodeJpeg(picture, jpeg.data(), static_cast<uint32_t>(jpeg.size())));
    ASSERT_FALSE(jpeg.empty()) << codec.LastError();
    const std::vector<uint8_t> garbage(100, 0x55);

    RecordingOwner owner;
    VRender sink(owner, false);
    // No size in the caps: garbage before the first good frame has none to go by.
    Render(sink, "image/jpeg, framerate=10/1", garbage);
    Render(sink, "image/jpeg, framerate=10/1", {});
    Render(sink, "image/jpeg, framerate=10/1", jpeg);
    // Once the size is known, a damaged frame goes on to be decoded (and counted there); an
    // empty one never does.
    Render(sink, "image/jpeg, framerate=10/1", garbage);
    Render(sink, "image/jpeg, width=21, height=13, framerate=10/1", {});
    Render(sink, kI420_5x3, {});
    int frames = 0;
    for (const SinkCall& call : owner.calls) frames += call.kind == 'f' ? 1 : 0;
    EXPECT_EQ(frames, 2);
    ASSERT_EQ(owner.unusable.size(), 4u);
    EXPECT_NE(owner.unusable[0].find("size is not known"), std::string::npos) << owner.unusable[0];
    for (const size_t empty : {1, 2, 3}) {
        EXPECT_NE(owner.unusable[empty].find("empty"), std::string::npos) << owner.unusable[empty];
    }
    EXPECT_EQ(sink.DroppedFrameCount(), 4u);
}

TEST(FrameSink, JpegWithoutASizeInItsCapsTakesTheStreamsOwn) {
    BMP_File picture;
    picture.Create(21, 13);
    JpegCodec codec;
    std::vector<uint8_t> jpeg(65536);
    jpeg.resize(codec.EncodeJpeg(picture, jpeg.data(), static_cast<uint32_t>(jpeg.size())));
    ASSERT_FALSE(jpeg.empty()) << codec.LastError();

    RecordingOwner owner;
    VRender sink(owner, false);
    Render(sink, "image/jpeg, framerate=10/1", jpeg);
    Render(sink, "image/jpeg, framerate=10/1", jpeg);
    ASSERT_EQ(owner.calls.size(), 3u);
    EXPECT_EQ(owner.calls[0].a, 21);
    EXPECT_EQ(owner.calls[0].b, -13);
    const CameraFrame& frame = owner.calls[2].frame;
    EXPECT_EQ(frame.layout, PixelLayout::kJpeg);
    EXPECT_EQ(frame.size_bytes, jpeg.size());
    EXPECT_EQ(frame.width, 21);
    EXPECT_EQ(frame.height, -13);
}

}  // namespace

namespace {

TEST(FrameSink, YuvColourIsTheCapsOwnElseBt601LimitedRange) {
    struct Case {
        const char* colorimetry;
        double kr;
        bool is_full_range;
    };
    const Case cases[] = {
        {"", 0.299, false}, {", colorimetry=bt709", 0.2126, false}, {", colorimetry=1:4:0:0", 0.299, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.colorimetry);
        RecordingOwner owner;
        VRender sink(owner, false);
        Render(sink, (std::string(kYuy2_4x2) + c.colorimetry).c_str(), Bytes(16, 1));
        ASSERT_EQ(owner.calls.size(), 2u);
        EXPECT_NEAR(owner.calls[1].frame.colour.kr, c.kr, 1e-6);
        EXPECT_EQ(owner.calls[1].frame.colour.is_full_range, c.is_full_range);
    }
}

}  // namespace

namespace {

TEST(FrameSink, TakesFramesWithTheirOwnLayoutInsteadOfACopy) {
    RecordingOwner owner;
    VRender sink(owner, false);
    GstCaps* caps = gst_caps_from_string(kYuy2_4x2);
    GstQuery* query = gst_query_new_allocation(caps, TRUE);
    GstPad* pad = gst_element_get_static_pad(sink.Element(), "sink");
    gst_pad_query(pad, query);
    EXPECT_TRUE(gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr));
    gst_object_unref(pad);
    gst_query_unref(query);
    gst_caps_unref(caps);
}

// Keeps every frame it is handed, as the encoders would.
class KeepingOwner : public IFrameSinkOwner {
public:
    void OnFrameSize(int32_t, int32_t) override {}
    void OnFrame(const CameraFrame& frame) override {
        CameraFrame kept = frame;
        void* token = frame.keeper != nullptr ? frame.keeper->Keep(kept) : nullptr;
        tokens.push_back(token);
        if (token == nullptr) return;
        frames.push_back(kept);
        // The sink's one mapping is kept: the same frame cannot be kept twice.
        CameraFrame again = frame;
        if (frame.keeper->Keep(again) != nullptr) ++kept_twice;
    }
    void OnFrameUnusable(const std::string& cause) override { ADD_FAILURE() << cause; }
    int kept_twice = 0;
    std::vector<void*> tokens;
    std::vector<CameraFrame> frames;
};

TEST(FrameSink, KeepsFramesReadableAfterTheCallUpToItsCapacityUntilLetGo) {
    KeepingOwner owner;
    std::optional<VRender> sink(std::in_place, owner, false);
    const size_t capacity = CKeptFrames::kCapacity;
    for (size_t frame = 0; frame <= capacity; ++frame)
        Render(*sink, kI420_5x3, Bytes(8 * 4 + 2 * 4 * 2, static_cast<uint8_t>(10 + frame)));
    ASSERT_EQ(owner.tokens.size(), capacity + 1);
    EXPECT_EQ(owner.tokens[capacity], nullptr) << "one more than it keeps";
    EXPECT_EQ(owner.kept_twice, 0);
    ASSERT_EQ(owner.frames.size(), capacity);
    // The samples are gone; the kept frames' pixels are still theirs.
    for (size_t frame = 0; frame < capacity; ++frame) EXPECT_EQ(owner.frames[frame].planes[0][0], 10 + frame);
    ICameraFrameKeeper* keeper = owner.frames[0].keeper;
    keeper->LetGo(owner.tokens[0]);
    Render(*sink, kI420_5x3, Bytes(8 * 4 + 2 * 4 * 2, 99));
    EXPECT_NE(owner.tokens.back(), nullptr) << "room again once one is let go of";
    // The sink goes only once the encoders have let go of every frame they keep.
    std::atomic<bool> is_all_let_go{false};
    std::thread encoder([&] {
        // Late on purpose: the sink's end must wait for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        is_all_let_go = true;
        for (size_t token = 1; token < owner.tokens.size(); ++token) {
            if (owner.tokens[token] != nullptr) keeper->LetGo(owner.tokens[token]);
        }
    });
    sink.reset();
    EXPECT_TRUE(is_all_let_go.load());
    encoder.join();
}

}  // namespace
