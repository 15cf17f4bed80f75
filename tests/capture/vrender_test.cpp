#include <gst/gst.h>
#include <gtest/gtest.h>

#include <vector>

#include "capture/vrender.h"

namespace {

struct SinkCall {
    char kind;  // 's' size, 'f' frame
    int64_t a;
    int64_t b;
};

class RecordingOwner : public IFrameSinkOwner {
public:
    void OnFrameSize(int32_t width, int32_t height) override { calls.push_back({'s', width, height}); }
    void OnFrame(const uint8_t* pixels, size_t size_bytes) override {
        calls.push_back({'f', static_cast<int64_t>(size_bytes), pixels[0]});
    }
    std::vector<SinkCall> calls;
};

GstSample* MakeSample(const char* caps_text, size_t buffer_bytes, uint8_t first_byte) {
    GstCaps* caps = gst_caps_from_string(caps_text);
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, buffer_bytes, nullptr);
    gst_buffer_memset(buffer, 0, first_byte, buffer_bytes);
    GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
    gst_buffer_unref(buffer);
    gst_caps_unref(caps);
    return sample;
}

void Render(VRender& sink, const char* caps, size_t bytes, uint8_t first_byte = 7) {
    GstSample* sample = MakeSample(caps, bytes, first_byte);
    sink.DoRenderSample(sample);
    gst_sample_unref(sample);
}

constexpr char kBgrx4x2[] = "video/x-raw, format=BGRx, width=4, height=2, framerate=0/1";
constexpr char kBgrx2x2[] = "video/x-raw, format=BGRx, width=2, height=2, framerate=0/1";

TEST(FrameSink, ReportsTheSizeOnceBeforeFramesAndAgainWhenItChanges) {
    RecordingOwner owner;
    VRender sink(owner, true);
    ASSERT_NE(sink.Element(), nullptr);
    Render(sink, kBgrx4x2, 32, 1);
    Render(sink, kBgrx4x2, 32, 2);
    Render(sink, kBgrx2x2, 16, 3);
    ASSERT_EQ(owner.calls.size(), 5u);
    EXPECT_EQ(owner.calls[0].kind, 's');
    EXPECT_EQ(owner.calls[0].a, 4);
    EXPECT_EQ(owner.calls[0].b, 2);
    EXPECT_EQ(owner.calls[1].kind, 'f');
    EXPECT_EQ(owner.calls[1].a, 32);
    EXPECT_EQ(owner.calls[1].b, 1);
    EXPECT_EQ(owner.calls[2].kind, 'f');
    EXPECT_EQ(owner.calls[3].kind, 's');
    EXPECT_EQ(owner.calls[3].a, 2);
    EXPECT_EQ(owner.calls[4].kind, 'f');
    EXPECT_EQ(owner.calls[4].a, 16);
}

TEST(FrameSink, DropsBuffersThatAreNotOneWholeBgrxFrame) {
    RecordingOwner owner;
    VRender sink(owner, false);
    Render(sink, kBgrx4x2, 31);
    Render(sink, kBgrx4x2, 64);
    Render(sink, "video/x-raw, format=RGB, width=4, height=2, framerate=0/1", 24);
    Render(sink, "video/x-raw, format=BGRx, width=4, height=2, framerate=0/1", 32);
    // Only the size report and the one whole frame get through.
    ASSERT_EQ(owner.calls.size(), 2u);
    EXPECT_EQ(owner.calls[0].kind, 's');
    EXPECT_EQ(owner.calls[1].kind, 'f');
    EXPECT_EQ(sink.DroppedFrameCount(), 3u);
}

}  // namespace
