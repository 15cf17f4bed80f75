#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Looking for people in what moved, with OpenCV's built-in people detector (a HOG descriptor
// and its linear classifier: no model file, nothing fetched). Only the region that moved is
// looked at, scaled so that a person of its height fits the detector's 64x128 window.

// A rectangle in a frame's pixels.
struct PixelRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool IsEmpty() const { return width <= 0 || height <= 0; }
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

inline constexpr int32_t kPeopleWindowWidth = 64;
inline constexpr int32_t kPeopleWindowHeight = 128;
// Regions are scaled so that their height is this many pixels: a person as tall as the moving
// blocks (the region less its widening) is then about 1.4 windows tall, which the detector's
// own pyramid brings down to its window; smaller, the outline loses the detail it needs.
inline constexpr int32_t kPeopleRegionHeight = 240;
// A region is enlarged at most this much; one smaller still is not looked at (too far away).
inline constexpr double kMostEnlargement = 2.0;

// The moving blocks' bounding box (4x4-pixel blocks, indices row by row over blocks_across),
// widened by a quarter of its size each way and kept within the frame; empty when none moved.
PixelRect LookRegion(const std::vector<uint32_t>& moving_blocks, int32_t blocks_across, int32_t frame_width,
                     int32_t frame_height);
// The factor a region of region_height pixels is scaled by before it is looked at; 0 when it
// is too small to hold a person the detector can find even enlarged.
double LookScale(int32_t region_height);

// The classifier's score the median of three checks must reach for a person to be seen.
// Tuned on photographs: people standing 0.23-0.92, houses and buildings nothing at all.
inline constexpr double kPersonThreshold = 0.2;

// A person the detector found, in the frame's pixels, with its classifier's score.
struct PersonFound {
    PixelRect box;
    double score = 0.0;
};

// The detector; not thread-safe, one per checking thread.
class CPeopleDetector {
public:
    CPeopleDetector();
    ~CPeopleDetector();
    CPeopleDetector(const CPeopleDetector&) = delete;
    CPeopleDetector& operator=(const CPeopleDetector&) = delete;

    // False when OpenCV could not set the detector up; Error() says why.
    bool IsReady() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // People in region of a frame's lightness (8-bit, row 0 on top, stride bytes a row), their
    // boxes in the frame's pixels. Nothing (with Error() set) when the detector failed.
    std::vector<PersonFound> Find(const uint8_t* lightness, int32_t frame_width, int32_t frame_height, size_t stride,
                                  const PixelRect& region);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

// The best score of the people found whose box overlaps a moving block; 0 when none does.
double BestScoreOverMotion(const std::vector<PersonFound>& found, const std::vector<uint32_t>& moving_blocks,
                           int32_t blocks_across);

// A person is seen once the median of the best scores of kChecks consecutive checks reaches the
// threshold: one stray hit on leaves, or one miss on a person turning, decides nothing.
class CPersonConfirmation {
public:
    static constexpr size_t kChecks = 3;
    explicit CPersonConfirmation(double threshold) : threshold_(threshold) {}
    // The next check's best score (0: nobody); true while a person is seen.
    bool Add(double best_score);
    void Reset() { count_ = 0; }
    // The median of the last kChecks scores (0 before there are that many).
    double Median() const;

private:
    double threshold_;
    std::array<double, kChecks> scores_{};
    size_t count_ = 0;
};
