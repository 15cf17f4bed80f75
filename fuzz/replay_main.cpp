// Outside a fuzzing build a fuzz target is this program: it runs the target once over each file
// it is given, so that the seed corpus and every input that once failed stay regression tests.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::vector<uint8_t> bytes;
        if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.is_open() || in.bad()) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        std::printf("ran %s (%zu bytes)\n", argv[i], bytes.size());
    }
    return 0;
}
