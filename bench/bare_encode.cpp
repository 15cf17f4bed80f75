// The bare cost of storing camera frames: TurboJPEG compressing each frame's 4:2:0 planes
// (quality 75), nothing else. record_input_bench.sh sets it beside a whole recording run.
//
//   bare_encode i420|yuy2 WIDTH HEIGHT FILE     raw frames, one after another
//   bare_encode jpeg WIDTH HEIGHT FILE...       one JPEG frame a file
// prints "frames N encode_ms_per_frame X"; only the compression is timed (thread CPU time),
// the reading and the conversion to planes are not.
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct Planes {
    int width;
    int height;
    std::vector<unsigned char> bytes;
    unsigned char* planes[3];
    int strides[3];

    Planes(int w, int h)
        : width(w), height(h), bytes(static_cast<size_t>(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2)) {
        strides[0] = w;
        strides[1] = strides[2] = (w + 1) / 2;
        planes[0] = bytes.data();
        planes[1] = planes[0] + static_cast<size_t>(w) * h;
        planes[2] = planes[1] + static_cast<size_t>(strides[1]) * ((h + 1) / 2);
    }
};

// YUY2 to 4:2:0: the chroma of each pair of rows averaged.
void FromYuy2(const unsigned char* frame, Planes& out) {
    const size_t row_bytes = static_cast<size_t>((out.width + 1) / 2) * 4;
    for (int y = 0; y < out.height; ++y) {
        const unsigned char* row = frame + y * row_bytes;
        for (int x = 0; x < out.width; ++x) out.planes[0][static_cast<size_t>(y) * out.width + x] = row[2 * x];
    }
    for (int cy = 0; cy < (out.height + 1) / 2; ++cy) {
        const unsigned char* a = frame + 2 * cy * row_bytes;
        const unsigned char* b = frame + std::min(2 * cy + 1, out.height - 1) * row_bytes;
        for (int cx = 0; cx < out.strides[1]; ++cx) {
            out.planes[1][cy * out.strides[1] + cx] =
                static_cast<unsigned char>((a[4 * cx + 1] + b[4 * cx + 1] + 1) / 2);
            out.planes[2][cy * out.strides[2] + cx] =
                static_cast<unsigned char>((a[4 * cx + 3] + b[4 * cx + 3] + 1) / 2);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: bare_encode i420|yuy2 WIDTH HEIGHT FILE | jpeg WIDTH HEIGHT FILE...\n");
        return 2;
    }
    const std::string format = argv[1];
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    if (width <= 0 || height <= 0 || (format != "i420" && format != "yuy2" && format != "jpeg")) {
        std::fprintf(stderr, "bare_encode: bad format or size\n");
        return 2;
    }
    tjhandle compressor = tjInitCompress();
    tjhandle decompressor = tjInitDecompress();
    if (!compressor || !decompressor) {
        std::fprintf(stderr, "bare_encode: TurboJPEG: %s\n", tjGetErrorStr2(nullptr));
        return 1;
    }
    Planes planes(width, height);
    std::vector<unsigned char> jpeg(tjBufSize(width, height, TJSAMP_420));
    const size_t raw_bytes = format == "i420" ? planes.bytes.size() : static_cast<size_t>((width + 1) / 2) * 4 * height;
    std::vector<unsigned char> raw(raw_bytes);
    std::ifstream raw_file;
    if (format != "jpeg") raw_file.open(argv[4], std::ios::binary);
    int file_index = 4;
    int frames = 0;
    double encode_ms = 0;
    double output_bytes = 0;
    for (;;) {
        // The next frame as 4:2:0 planes, untimed.
        if (format == "jpeg") {
            if (file_index >= argc) break;
            std::ifstream file(argv[file_index++], std::ios::binary);
            const std::vector<unsigned char> stream((std::istreambuf_iterator<char>(file)),
                                                    std::istreambuf_iterator<char>());
            if (tjDecompressToYUVPlanes(decompressor, stream.data(), stream.size(), planes.planes, width,
                                        planes.strides, height, 0) != 0) {
                std::fprintf(stderr, "bare_encode: %s: %s\n", argv[file_index - 1], tjGetErrorStr2(decompressor));
                return 1;
            }
        } else {
            if (!raw_file.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()))) break;
            if (format == "i420") {
                std::memcpy(planes.bytes.data(), raw.data(), raw.size());
            } else {
                FromYuy2(raw.data(), planes);
            }
        }
        unsigned char* target = jpeg.data();
        unsigned long size = jpeg.size();
        const double started = ThreadCpuMs();
        if (tjCompressFromYUVPlanes(compressor, const_cast<const unsigned char**>(planes.planes), width, planes.strides,
                                    height, TJSAMP_420, &target, &size, 75, TJFLAG_NOREALLOC) != 0) {
            std::fprintf(stderr, "bare_encode: %s\n", tjGetErrorStr2(compressor));
            return 1;
        }
        encode_ms += ThreadCpuMs() - started;
        output_bytes += static_cast<double>(size);
        ++frames;
    }
    tjDestroy(compressor);
    tjDestroy(decompressor);
    if (frames == 0) {
        std::fprintf(stderr, "bare_encode: no frames\n");
        return 1;
    }
    std::printf("frames %d encode_ms_per_frame %.3f bytes_per_frame %.0f\n", frames, encode_ms / frames,
                output_bytes / frames);
    return 0;
}
