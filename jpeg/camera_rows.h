#pragma once

#include <cstdint>
#include <vector>

#include "jpeg/raw_jpeg_encoder.h"
#include "picture/camera_frame.h"
#include "picture/frame_pass.h"

// The encoder's rows made from a YUV camera frame as it asks for them: each MCU row of the JPEG
// planes is converted into a strip of 16 rows that stays in the cache while it is encoded, so the
// whole planes are never written out. The bytes are those the frame pass writes into whole planes.
// The strip is kept from frame to frame and grows only for a wider one. One per thread.
class CCameraRows : public IJpegRowSource {
public:
    // frame and coefficients stay valid while the encoder runs.
    void Use(const CameraFrame& frame, const YuvCoefficients& coefficients);
    void RowsFrom(int32_t first_row, JSAMPROW luma[kJpegLumaRowsPerCall], JSAMPROW cb[kJpegChromaRowsPerCall],
                  JSAMPROW cr[kJpegChromaRowsPerCall]) override;

private:
    const CameraFrame* frame_ = nullptr;
    const YuvCoefficients* coefficients_ = nullptr;
    std::vector<uint8_t> strip_;
    PaddedYuvPlanes planes_;  // the strip's: 16 luma and 8 chroma rows
};
