#include "detection/people_check.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

namespace {

constexpr int32_t kBlockSize = 4;
// Tuned on photographs of people and of houses (see the tests): the window stride, the pyramid's
// step, and no grouping of overlapping hits (only the best score over the motion counts, and
// grouping dropped a lone person's hits). Equalising the histogram lowered people's scores.
constexpr int kStridePx = 8;
constexpr double kScaleStep = 1.05;
constexpr int kGroupThreshold = 0;
// Room around the region, as the detector's window has around a person.
constexpr int kPaddingPx = 16;
// The smallest region, in pixels tall, worth enlarging.
constexpr int32_t kSmallestRegionHeight = static_cast<int32_t>(kPeopleRegionHeight / kMostEnlargement);

}  // namespace

PixelRect LookRegion(const std::vector<uint32_t>& moving_blocks, int32_t blocks_across, int32_t frame_width,
                     int32_t frame_height) {
    if (moving_blocks.empty() || blocks_across <= 0 || frame_width <= 0 || frame_height <= 0) return {};
    int32_t left = INT32_MAX;
    int32_t top = INT32_MAX;
    int32_t right = 0;
    int32_t bottom = 0;
    for (const uint32_t block : moving_blocks) {
        const int32_t x = static_cast<int32_t>(block % static_cast<uint32_t>(blocks_across)) * kBlockSize;
        const int32_t y = static_cast<int32_t>(block / static_cast<uint32_t>(blocks_across)) * kBlockSize;
        left = std::min(left, x);
        top = std::min(top, y);
        right = std::max(right, x + kBlockSize);
        bottom = std::max(bottom, y + kBlockSize);
    }
    const int32_t widen_x = (right - left) / 4;
    const int32_t widen_y = (bottom - top) / 4;
    left = std::max(0, left - widen_x);
    top = std::max(0, top - widen_y);
    right = std::min(frame_width, right + widen_x);
    bottom = std::min(frame_height, bottom + widen_y);
    if (right <= left || bottom <= top) return {};
    return PixelRect{left, top, right - left, bottom - top};
}

double LookScale(int32_t region_height) {
    if (region_height < kSmallestRegionHeight) return 0.0;
    return static_cast<double>(kPeopleRegionHeight) / region_height;
}

struct CPeopleDetector::Impl {
    cv::HOGDescriptor hog;
    cv::Mat scaled;
};

CPeopleDetector::CPeopleDetector() {
    try {
        // One check runs on the one thread that asks for it: never on the other cores the
        // recording needs.
        cv::setNumThreads(0);
        impl_ = std::make_unique<Impl>();
        impl_->hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    } catch (const cv::Exception& exception) {
        error_ = std::string("OpenCV cannot set up its people detector: ") + exception.what();
        impl_.reset();
    }
}

CPeopleDetector::~CPeopleDetector() = default;

std::vector<PersonFound> CPeopleDetector::Find(const uint8_t* lightness, int32_t frame_width, int32_t frame_height,
                                               size_t stride, const PixelRect& region) {
    std::vector<PersonFound> people;
    if (!impl_ || region.IsEmpty() || region.x < 0 || region.y < 0 || region.x + region.width > frame_width ||
        region.y + region.height > frame_height) {
        return people;
    }
    const double scale = LookScale(region.height);
    if (scale <= 0.0) return people;
    try {
        const cv::Mat frame(frame_height, frame_width, CV_8UC1, const_cast<uint8_t*>(lightness), stride);
        const cv::Mat part = frame(cv::Rect(region.x, region.y, region.width, region.height));
        const cv::Size size(std::max(kPeopleWindowWidth, static_cast<int>(std::lround(region.width * scale))),
                            std::max(kPeopleWindowHeight, static_cast<int>(std::lround(region.height * scale))));
        cv::resize(part, impl_->scaled, size, 0, 0, scale < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
        std::vector<cv::Rect> boxes;
        std::vector<double> weights;
        impl_->hog.detectMultiScale(impl_->scaled, boxes, weights, 0.0, cv::Size(kStridePx, kStridePx),
                                    cv::Size(kPaddingPx, kPaddingPx), kScaleStep, kGroupThreshold);
        for (size_t i = 0; i < boxes.size(); ++i) {
            const cv::Rect& box = boxes[i];
            PersonFound found;
            found.box = PixelRect{region.x + static_cast<int32_t>(std::lround(box.x / scale)),
                                  region.y + static_cast<int32_t>(std::lround(box.y / scale)),
                                  static_cast<int32_t>(std::lround(box.width / scale)),
                                  static_cast<int32_t>(std::lround(box.height / scale))};
            found.score = i < weights.size() ? weights[i] : 0.0;
            people.push_back(found);
        }
    } catch (const cv::Exception& exception) {
        error_ = std::string("OpenCV's people detector failed: ") + exception.what();
        people.clear();
    }
    return people;
}

double BestScoreOverMotion(const std::vector<PersonFound>& found, const std::vector<uint32_t>& moving_blocks,
                           int32_t blocks_across) {
    double best = 0.0;
    if (blocks_across <= 0) return best;
    for (const PersonFound& person : found) {
        if (person.score <= best) continue;
        const bool is_over_motion = std::any_of(moving_blocks.begin(), moving_blocks.end(), [&](uint32_t block) {
            const int32_t x = static_cast<int32_t>(block % static_cast<uint32_t>(blocks_across)) * kBlockSize;
            const int32_t y = static_cast<int32_t>(block / static_cast<uint32_t>(blocks_across)) * kBlockSize;
            return x + kBlockSize > person.box.x && x < person.box.x + person.box.width &&
                   y + kBlockSize > person.box.y && y < person.box.y + person.box.height;
        });
        if (is_over_motion) best = person.score;
    }
    return best;
}

bool CPersonConfirmation::Add(double best_score) {
    scores_[count_ % kChecks] = best_score;
    ++count_;
    return count_ >= kChecks && Median() >= threshold_;
}

double CPersonConfirmation::Median() const {
    if (count_ < kChecks) return 0.0;
    std::array<double, kChecks> sorted = scores_;
    std::sort(sorted.begin(), sorted.end());
    return sorted[kChecks / 2];
}
