#include "jpeg/camera_rows.h"

#include <algorithm>
#include <cstdlib>

void CCameraRows::Use(const CameraFrame& frame, const YuvCoefficients& coefficients) {
    frame_ = &frame;
    coefficients_ = &coefficients;
    const int32_t width = frame.width;
    const int32_t luma_stride = PaddedRowBytes(width);
    const int32_t chroma_stride = PaddedRowBytes((width + 1) / 2);
    const size_t luma_bytes = static_cast<size_t>(luma_stride) * kJpegLumaRowsPerCall;
    const size_t chroma_bytes = static_cast<size_t>(chroma_stride) * kJpegChromaRowsPerCall;
    if (strip_.size() < luma_bytes + 2 * chroma_bytes) strip_.resize(luma_bytes + 2 * chroma_bytes);
    planes_.width = width;
    planes_.planes[0] = strip_.data();
    planes_.planes[1] = strip_.data() + luma_bytes;
    planes_.planes[2] = strip_.data() + luma_bytes + chroma_bytes;
    planes_.strides[0] = luma_stride;
    planes_.strides[1] = chroma_stride;
    planes_.strides[2] = chroma_stride;
}

void CCameraRows::RowsFrom(int32_t first_row, JSAMPROW luma[kJpegLumaRowsPerCall], JSAMPROW cb[kJpegChromaRowsPerCall],
                           JSAMPROW cr[kJpegChromaRowsPerCall]) {
    const int32_t height = std::abs(frame_->height);
    const int32_t rows = std::min(kJpegLumaRowsPerCall, height - first_row);
    PassTarget target;
    for (int plane = 0; plane < 3; ++plane) {
        target.planes[plane] = planes_.planes[plane];
        target.strides[plane] = planes_.strides[plane];
    }
    target.first_row = first_row;
    target.end_row = first_row + rows;
    RunFramePass(*frame_, *coefficients_, target);
    planes_.height = rows;
    FillRowPadding(planes_);
    // Rows past the picture repeat its last, as the encoder would have padded it.
    const int32_t chroma_rows = (rows + 1) / 2;
    for (int i = 0; i < kJpegLumaRowsPerCall; ++i)
        luma[i] = planes_.planes[0] + static_cast<size_t>(std::min(i, rows - 1)) * planes_.strides[0];
    for (int i = 0; i < kJpegChromaRowsPerCall; ++i) {
        const size_t row = static_cast<size_t>(std::min(i, chroma_rows - 1));
        cb[i] = planes_.planes[1] + row * planes_.strides[1];
        cr[i] = planes_.planes[2] + row * planes_.strides[2];
    }
}
