#include "jpeg/raw_jpeg_encoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <jerror.h>

namespace {

int32_t PlaneWidth(const PaddedYuvPlanes& planes, int plane) {
    return plane == 0 ? planes.width : (planes.width + 1) / 2;
}

int32_t PlaneHeight(const PaddedYuvPlanes& planes, int plane) {
    return plane == 0 ? planes.height : (planes.height + 1) / 2;
}

// Rows straight from whole padded planes.
class PlaneRows : public IJpegRowSource {
public:
    explicit PlaneRows(const PaddedYuvPlanes& planes) : planes_(planes) {}
    void RowsFrom(int32_t first_row, JSAMPROW luma[kJpegLumaRowsPerCall], JSAMPROW cb[kJpegChromaRowsPerCall],
                  JSAMPROW cr[kJpegChromaRowsPerCall]) override {
        const int32_t chroma_height = (planes_.height + 1) / 2;
        for (int i = 0; i < kJpegLumaRowsPerCall; ++i) {
            const int32_t row = std::min(first_row + i, planes_.height - 1);
            luma[i] = planes_.planes[0] + static_cast<size_t>(row) * planes_.strides[0];
        }
        for (int i = 0; i < kJpegChromaRowsPerCall; ++i) {
            const int32_t row = std::min(first_row / 2 + i, chroma_height - 1);
            cb[i] = planes_.planes[1] + static_cast<size_t>(row) * planes_.strides[1];
            cr[i] = planes_.planes[2] + static_cast<size_t>(row) * planes_.strides[2];
        }
    }

private:
    const PaddedYuvPlanes& planes_;
};

}  // namespace

void FillRowPadding(const PaddedYuvPlanes& planes) {
    for (int plane = 0; plane < 3; ++plane) {
        const int32_t width = PlaneWidth(planes, plane);
        const int32_t padded = PaddedRowBytes(width);
        if (padded == width) continue;
        const int32_t height = PlaneHeight(planes, plane);
        for (int32_t row = 0; row < height; ++row) {
            uint8_t* samples = planes.planes[plane] + static_cast<size_t>(row) * planes.strides[plane];
            std::memset(samples + width, samples[width - 1], static_cast<size_t>(padded - width));
        }
    }
}

RawJpegEncoder::RawJpegEncoder() {
    cinfo_.err = jpeg_std_error(&errors_.pub);
    errors_.pub.error_exit = &RawJpegEncoder::OnError;
    errors_.owner = this;
    destination_.pub.init_destination = &RawJpegEncoder::OnInitDestination;
    destination_.pub.empty_output_buffer = &RawJpegEncoder::OnEmptyOutput;
    destination_.pub.term_destination = &RawJpegEncoder::OnTermDestination;
}

RawJpegEncoder::~RawJpegEncoder() {
    if (is_created_) jpeg_destroy_compress(&cinfo_);
}

void RawJpegEncoder::OnError(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
    char message[JMSG_LENGTH_MAX] = {};
    (*cinfo->err->format_message)(cinfo, message);
    errors->owner->last_error_ = message;
    std::longjmp(errors->jump, 1);
}

void RawJpegEncoder::OnInitDestination(j_compress_ptr cinfo) {
    auto* destination = reinterpret_cast<Destination*>(cinfo->dest);
    destination->pub.next_output_byte = destination->out->data();
    destination->pub.free_in_buffer = destination->out->size();
}

boolean RawJpegEncoder::OnEmptyOutput(j_compress_ptr cinfo) {
    // The stream outgrew every earlier one: twice the room, kept for the frames after it.
    auto* destination = reinterpret_cast<Destination*>(cinfo->dest);
    const size_t used = destination->out->size();
    try {
        destination->out->resize(std::max<size_t>(used * 2, 65536));
    } catch (const std::bad_alloc&) {
        destination->is_grown_failed = true;
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
    destination->pub.next_output_byte = destination->out->data() + used;
    destination->pub.free_in_buffer = destination->out->size() - used;
    return TRUE;
}

void RawJpegEncoder::OnTermDestination(j_compress_ptr) {}

bool RawJpegEncoder::Run(int32_t width, int32_t height, IJpegRowSource& rows, int quality) {
    if (setjmp(errors_.jump) != 0) {
        jpeg_abort_compress(&cinfo_);
        return false;
    }
    if (!is_created_) {
        jpeg_create_compress(&cinfo_);
        is_created_ = true;
        cinfo_.dest = &destination_.pub;
    }
    cinfo_.image_width = static_cast<JDIMENSION>(width);
    cinfo_.image_height = static_cast<JDIMENSION>(height);
    cinfo_.input_components = 3;
    cinfo_.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo_);
    jpeg_set_colorspace(&cinfo_, JCS_YCbCr);  // also asks for the JFIF segment
    jpeg_set_quality(&cinfo_, quality, TRUE);
    cinfo_.dct_method = JDCT_IFAST;  // what TurboJPEG compresses with below quality 96
    cinfo_.raw_data_in = TRUE;
    cinfo_.comp_info[0].h_samp_factor = 2;
    cinfo_.comp_info[0].v_samp_factor = 2;
    for (int component = 1; component < 3; ++component) {
        cinfo_.comp_info[component].h_samp_factor = 1;
        cinfo_.comp_info[component].v_samp_factor = 1;
    }
    jpeg_start_compress(&cinfo_, TRUE);

    JSAMPROW luma_rows[kJpegLumaRowsPerCall];
    JSAMPROW cb_rows[kJpegChromaRowsPerCall];
    JSAMPROW cr_rows[kJpegChromaRowsPerCall];
    JSAMPARRAY plane_rows[3] = {luma_rows, cb_rows, cr_rows};
    for (int32_t first_row = 0; first_row < height; first_row += kJpegLumaRowsPerCall) {
        rows.RowsFrom(first_row, luma_rows, cb_rows, cr_rows);
        jpeg_write_raw_data(&cinfo_, plane_rows, kJpegLumaRowsPerCall);
    }
    jpeg_finish_compress(&cinfo_);
    return true;
}

uint32_t RawJpegEncoder::Encode(const PaddedYuvPlanes& planes, int quality, std::vector<uint8_t>& out) {
    if (planes.planes[0] == nullptr || planes.planes[1] == nullptr || planes.planes[2] == nullptr) {
        last_error_ = "cannot encode a picture without its planes";
        return 0;
    }
    for (int plane = 0; plane < 3; ++plane) {
        if (planes.strides[plane] < PaddedRowBytes(PlaneWidth(planes, plane))) {
            last_error_ = "plane rows are not padded to whole blocks";
            return 0;
        }
    }
    PlaneRows rows(planes);
    return Encode(planes.width, planes.height, rows, quality, out);
}

uint32_t RawJpegEncoder::Encode(int32_t width, int32_t height, IJpegRowSource& rows, int quality,
                                std::vector<uint8_t>& out) {
    if (width < 1 || height < 1) {
        last_error_ = "cannot encode a picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels";
        return 0;
    }
    if (out.empty()) out.resize(65536);
    destination_.out = &out;
    destination_.is_grown_failed = false;
    if (!Run(width, height, rows, quality)) {
        last_error_ = "jpeg_write_raw_data: " + last_error_;
        return 0;
    }
    const size_t size = out.size() - destination_.pub.free_in_buffer;
    if (size > UINT32_MAX) {
        last_error_ = "JPEG stream too long";
        return 0;
    }
    last_error_.clear();
    return static_cast<uint32_t>(size);
}
