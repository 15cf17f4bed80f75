#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// The picture the view paints: width x height pixels of four bytes (blue, green, red, 255), rows
// top first and packed. On a little-endian machine each pixel is the 32-bit word 0xffRRGGBB,
// which a painter draws and scales without converting it first. Sizing it again keeps its memory
// when that is large enough, so live pictures cost no allocation per frame.
class ViewPicture {
public:
    // Throws std::bad_alloc when memory runs out (the picture is then empty); a negative size
    // gives an empty picture.
    void Resize(int32_t width, int32_t height);

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    bool IsEmpty() const { return width_ <= 0 || height_ <= 0; }
    int32_t BytesPerLine() const { return width_ * 4; }
    uint8_t* Bits() { return reinterpret_cast<uint8_t*>(pixels_.get()); }
    const uint8_t* Bits() const { return reinterpret_cast<const uint8_t*>(pixels_.get()); }
    // A pixel inside the picture; anything outside is left alone.
    void SetPixel(int32_t x, int32_t y, uint8_t blue, uint8_t green, uint8_t red);

private:
    int32_t width_ = 0;
    int32_t height_ = 0;
    struct AlignedDelete {
        void operator()(uint32_t* pixels) const;
    };
    // Aligned to a cache line, so rows whose length is a multiple of 32 bytes can be written whole.
    std::unique_ptr<uint32_t[], AlignedDelete> pixels_;
    size_t capacity_ = 0;
};

// Live pictures handed from the streaming thread to the user-interface thread without copying:
// three pictures take turns being filled, waiting and on show. A finished picture replaces one
// still waiting (the newest wins), and the user-interface thread needs waking only when none was.
class CViewPictureSlot {
public:
    // Streaming thread: the picture to fill next.
    ViewPicture& Back() { return pictures_[back_]; }
    // Streaming thread: the filled picture becomes the waiting one. True when none was waiting.
    bool Publish();
    // User-interface thread: the waiting picture goes on show. False when none was waiting.
    bool TakeNewest();
    // User-interface thread: the picture on show; it stays untouched until the next TakeNewest.
    const ViewPicture& Shown() const { return pictures_[shown_]; }

private:
    std::mutex mutex_;
    ViewPicture pictures_[3];
    // back_ changes only on the streaming thread and shown_ only on the user-interface thread,
    // each under the mutex, so each thread reads its own without it.
    int back_ = 0;
    int waiting_ = 1;
    int shown_ = 2;
    bool is_waiting_ = false;
};

// A part of a picture drawn scaled to scaled_width x scaled_height: the pixels [left, right) x
// [top, bottom) of the scaled picture, written to 32-bit rows starting at bits (where pixel
// (left, top) goes), bytes_per_line apart.
struct ScaledPart {
    int32_t scaled_width = 0;
    int32_t scaled_height = 0;
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    uint8_t* bits = nullptr;
    ptrdiff_t bytes_per_line = 0;
};
// Draws pictures scaled with the nearest pixel: a target pixel takes the source pixel its centre
// falls in. One pass over the part: a row as wide as the picture is copied whole, another is
// gathered once per source row into a row of its own and copied from there. Its tables are kept
// from one picture to the next.
class CNearestScaler {
public:
    void Draw(const ViewPicture& picture, const ScaledPart& part);

private:
    std::vector<int32_t> columns_;  // the source column of every target column of the part
    std::vector<uint32_t> row_;     // one target row, gathered
};

class BMP_File;
// The view's picture of a packed frame (a playback frame), made by the frame pass.
void FillViewPicture(const BMP_File& frame, ViewPicture& picture);
