#include "detection/motion_events.h"

#include <algorithm>

namespace {

constexpr const char* kPreRollValue = "Record Before Motion";
constexpr const char* kPostRollValue = "Record After Motion";
constexpr const char* kMinBlocksValue = "Smallest Motion";
constexpr const char* kFramesInARowValue = "Frames In A Row";
constexpr const char* kLightChangeValue = "Ignore Light Changes";
constexpr const char* kNotifyValue = "Notify";
constexpr const char* kCommandValue = "Command";

int32_t Within(int32_t value, int32_t low, int32_t high) { return std::clamp(value, low, high); }

}  // namespace

MotionRules DetectorSettings::Rules() const {
    MotionRules rules;
    rules.pre_roll_ms = int64_t{1000} * Within(pre_roll_s.load(std::memory_order_relaxed), 0, kMaxPreRollS);
    rules.post_roll_ms = int64_t{1000} * Within(post_roll_s.load(std::memory_order_relaxed), 0, kMaxPostRollS);
    rules.min_blocks = std::max(1, min_blocks.load(std::memory_order_relaxed));
    rules.frames_in_a_row = Within(frames_in_a_row.load(std::memory_order_relaxed), 1, kMaxFramesInARow);
    rules.light_change_percent = Within(light_change_percent.load(std::memory_order_relaxed), 0, 100);
    return rules;
}

void LoadDetectorSettings(CKeyStore& store, DetectorSettings& settings) {
    const std::optional<CRegistryKey> key = store.OpenKey(kDetectorKeyPath);
    if (!key) return;
    const auto load = [&](const char* name, std::atomic<int32_t>& value) {
        if (const auto stored = QueryDword(*key, name)) value = static_cast<int32_t>(*stored);
    };
    load(kPreRollValue, settings.pre_roll_s);
    load(kPostRollValue, settings.post_roll_s);
    load(kMinBlocksValue, settings.min_blocks);
    load(kFramesInARowValue, settings.frames_in_a_row);
    load(kLightChangeValue, settings.light_change_percent);
    if (const auto stored = QueryDword(*key, kNotifyValue)) settings.is_notifying = *stored != 0;
    if (auto stored = QueryText(*key, kCommandValue)) settings.event_command = std::move(*stored);
}

bool SaveDetectorSettings(CKeyStore& store, const DetectorSettings& settings) {
    std::optional<CRegistryKey> key = store.CreateKey(kDetectorKeyPath);
    if (!key) return false;
    bool is_saved = true;
    const auto save = [&](const char* name, int32_t value) {
        is_saved = SetDword(*key, name, static_cast<uint32_t>(value)) && is_saved;
    };
    save(kPreRollValue, settings.pre_roll_s.load());
    save(kPostRollValue, settings.post_roll_s.load());
    save(kMinBlocksValue, settings.min_blocks.load());
    save(kFramesInARowValue, settings.frames_in_a_row.load());
    save(kLightChangeValue, settings.light_change_percent.load());
    save(kNotifyValue, settings.is_notifying ? 1 : 0);
    is_saved = SetText(*key, kCommandValue, settings.event_command) && is_saved;
    return is_saved;
}

// ---------------------------------------------------------------- BlockMask

BlockMask::BlockMask(int32_t across, int32_t down, std::vector<uint8_t> ignored)
    : across_(across), down_(down), ignored_(std::move(ignored)) {
    if (across_ <= 0 || down_ <= 0) {
        across_ = down_ = 0;
        ignored_.clear();
    }
    ignored_.resize(static_cast<size_t>(across_) * static_cast<size_t>(down_), 0);
}

int64_t BlockMask::IgnoredCount() const {
    return std::count_if(ignored_.begin(), ignored_.end(), [](uint8_t byte) { return byte != 0; });
}

void BlockMask::PaintRectangle(int32_t from_x, int32_t from_y, int32_t to_x, int32_t to_y, bool is_ignored) {
    const int32_t left = std::max(std::min(from_x, to_x), 0);
    const int32_t right = std::min(std::max(from_x, to_x), across_ - 1);
    const int32_t top = std::max(std::min(from_y, to_y), 0);
    const int32_t bottom = std::min(std::max(from_y, to_y), down_ - 1);
    for (int32_t y = top; y <= bottom; ++y) {
        for (int32_t x = left; x <= right; ++x) ignored_[static_cast<size_t>(y) * across_ + x] = is_ignored ? 1 : 0;
    }
}

void BlockMask::PaintLine(int32_t from_x, int32_t from_y, int32_t to_x, int32_t to_y, int32_t brush_blocks,
                          bool is_ignored) {
    // Far ends are brought to the grid's edge first, so that a line costs at most the grid's size.
    const auto clamp_x = [this](int32_t x) { return std::clamp(x, -1, across_); };
    const auto clamp_y = [this](int32_t y) { return std::clamp(y, -1, down_); };
    from_x = clamp_x(from_x), to_x = clamp_x(to_x), from_y = clamp_y(from_y), to_y = clamp_y(to_y);
    const int32_t before = (std::max(brush_blocks, 1) - 1) / 2;
    const int32_t after = std::max(brush_blocks, 1) - 1 - before;
    // One block per step along the longer side: each block touches the last by a side or a corner.
    const int32_t steps = std::max(std::abs(to_x - from_x), std::abs(to_y - from_y));
    for (int32_t step = 0; step <= steps; ++step) {
        const int64_t x = from_x + (steps == 0 ? 0 : (int64_t{to_x - from_x} * step * 2 + steps) / (2 * steps));
        const int64_t y = from_y + (steps == 0 ? 0 : (int64_t{to_y - from_y} * step * 2 + steps) / (2 * steps));
        PaintRectangle(static_cast<int32_t>(x - before), static_cast<int32_t>(y - before),
                       static_cast<int32_t>(x + after), static_cast<int32_t>(y + after), is_ignored);
    }
}

BlockMask BlockMask::ScaledTo(int32_t across, int32_t down) const {
    if (across == across_ && down == down_) return *this;
    std::vector<uint8_t> scaled(static_cast<size_t>(std::max(across, 0)) * static_cast<size_t>(std::max(down, 0)), 0);
    if (across_ > 0 && down_ > 0) {
        // The mask cells a block overlaps: from floor(i * size / count) to ceil((i + 1) * size / count).
        const auto range = [](int32_t i, int32_t count, int32_t size) {
            const int64_t begin = int64_t{i} * size / count;
            const int64_t end = (int64_t{i + 1} * size + count - 1) / count;
            return std::pair<int64_t, int64_t>(begin, std::max(end, begin + 1));
        };
        for (int32_t y = 0; y < down; ++y) {
            const auto [y_begin, y_end] = range(y, down, down_);
            for (int32_t x = 0; x < across; ++x) {
                const auto [x_begin, x_end] = range(x, across, across_);
                uint8_t is_ignored = 0;
                for (int64_t sy = y_begin; sy < y_end && !is_ignored; ++sy) {
                    for (int64_t sx = x_begin; sx < x_end && !is_ignored; ++sx) {
                        is_ignored = ignored_[static_cast<size_t>(sy * across_ + sx)] != 0 ? 1 : 0;
                    }
                }
                scaled[static_cast<size_t>(y) * across + x] = is_ignored;
            }
        }
    }
    return BlockMask(across, down, std::move(scaled));
}

// ---------------------------------------------------------------- CMotionEvents

MotionStep CMotionEvents::Next(int64_t moving_blocks, int64_t counted_blocks, int64_t time_ms,
                               const MotionRules& rules) {
    MotionStep step;
    step.is_light_change = rules.light_change_percent > 0 && counted_blocks > 0 &&
                           moving_blocks * 100 > int64_t{rules.light_change_percent} * counted_blocks;
    step.is_moving = !step.is_light_change && moving_blocks >= std::max(1, rules.min_blocks);

    if (is_in_event_) {
        if (step.is_moving) {
            last_motion_ms_ = time_ms;
            step.is_recorded = true;
            return step;
        }
        // Until the post-roll has passed without motion; with none, the first still frame ends it.
        if (time_ms - last_motion_ms_ < rules.post_roll_ms) {
            step.is_recorded = true;
            return step;
        }
        step.ends = true;
        is_in_event_ = false;
        run_length_ = 0;
        return step;
    }

    if (!step.is_moving) {
        run_length_ = 0;
        return step;
    }
    if (run_length_ == 0) run_start_ms_ = time_ms;
    ++run_length_;
    if (run_length_ >= std::max(1, rules.frames_in_a_row)) {
        is_in_event_ = true;
        last_motion_ms_ = time_ms;
        step.begins = true;
        step.is_recorded = true;
        step.first_moving_ms = run_start_ms_;
        run_length_ = 0;
    }
    return step;
}

bool CMotionEvents::Reset() {
    const bool was_in_event = is_in_event_;
    is_in_event_ = false;
    run_length_ = 0;
    return was_in_event;
}
