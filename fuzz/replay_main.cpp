// Runs a fuzz target without libFuzzer, as an ordinary test: an empty input first, then every file
// named on the command line or found under a folder named there, each handed once to
// LLVMFuzzerTestOneInput. The targets' own checks abort on a fault, which fails the run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Only some targets set themselves up first.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else if (fs::is_regular_file(argv[i], error)) {
            inputs.emplace_back(argv[i]);
        } else {
            fprintf(stderr, "no such input: %s\n", argv[i]);
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

    static const uint8_t kNothing = 0;  // a valid pointer for the empty input, as libFuzzer gives
    LLVMFuzzerTestOneInput(&kNothing, 0);
    for (const fs::path& path : inputs) {
        // Exactly the input's size on the heap, so that ASan sees a read past its end.
        size_t size = fs::file_size(path);
        std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
        std::ifstream in(path, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(data.get()), static_cast<std::streamsize>(size))) {
            fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(data.get(), size);
    }
    printf("%zu inputs and the empty one passed\n", inputs.size());
    return 0;
}
