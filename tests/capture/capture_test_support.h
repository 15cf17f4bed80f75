#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

#include "capture/capture_graph.h"
#include "capture/capture_messages.h"
#include "support/wait.h"

struct RecordedMessage {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

class RecordingMessages : public ICaptureMessages {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override {
        shown.push_back({text, caption, icon});
    }
    std::vector<RecordedMessage> shown;
};

// Counts frames on the streaming thread; can be made slow or throwing.
class CountingReceiver : public IFrameReceiver {
public:
    void ProcessFrame(const CameraFrame& frame) override {
        if (is_closed.load()) late_frames.fetch_add(1);
        last_width.store(frame.width);
        last_height.store(frame.height);
        last_layout.store(frame.layout);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (keep_first_row) {
                first_row.assign(frame.planes[0],
                                 frame.planes[0] + std::min<size_t>(frame.size_bytes, first_row_bytes));
            }
        }
        frames.fetch_add(1);
        if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        if (is_throwing) throw std::runtime_error("frame failed");
    }
    void FrameUnusable(const std::string&) override { unusable.fetch_add(1); }
    std::atomic<int> frames{0};
    std::atomic<int> unusable{0};
    std::atomic<int> late_frames{0};
    // The last frame's size (height negative: top row first) and layout.
    std::atomic<int32_t> last_width{0};
    std::atomic<int32_t> last_height{0};
    std::atomic<PixelLayout> last_layout{PixelLayout::kBgrx};
    std::atomic<bool> is_closed{false};
    int delay_ms = 0;  // a slow receiver on purpose: each frame is held this long
    bool is_throwing = false;
    bool keep_first_row = false;
    size_t first_row_bytes = 0;
    std::mutex mutex;
    std::vector<uint8_t> first_row;
};

// The three settings the capture object reads and overwrites.
struct CaptureSettings {
    std::atomic<int32_t> width{640};
    std::atomic<int32_t> height{480};
    std::atomic<int64_t> frame_duration_100ns{0};
};

// Property pages that pick a scripted format and remember what they were shown.
class ScriptedPages : public ICameraPropertyPages {
public:
    std::optional<CameraFormat> ChooseFormat(const std::vector<CameraFormat>& formats,
                                             const CameraFormat& current) override {
        ++format_calls;
        offered = formats;
        shown_current = current;
        if (!pick) return std::nullopt;
        for (const CameraFormat& format : formats) {
            if (pick(format)) return format;
        }
        return std::nullopt;
    }
    void EditControls(GstElement* source) override {
        ++control_calls;
        edited = source;
        if (during_edit) during_edit();
    }
    std::function<bool(const CameraFormat&)> pick;
    std::function<void()> during_edit;
    int format_calls = 0;
    int control_calls = 0;
    std::vector<CameraFormat> offered;
    CameraFormat shown_current;
    GstElement* edited = nullptr;
};
