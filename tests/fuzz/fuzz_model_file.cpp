// Fuzz target for the model file reader: any bytes must end in a loaded model or a Stop.
//
// With clang and libFuzzer:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -DQUORVELIN_LIBFUZZER \
//     -Isrc tests/fuzz/fuzz_model_file.cpp $(find src -name '*.cpp' -not -path 'src/python/*') -lsimdjson -o fuzz_model_file
//   ./fuzz_model_file -max_total_time=600 tests/data/
// Without libFuzzer (any compiler) the same entry point runs over the files given as arguments,
// which replays a crash found elsewhere:
//   g++ -std=c++20 -g -fsanitize=address,undefined -Isrc tests/fuzz/fuzz_model_file.cpp \
//     build/<dir>/libquorvelin_core.a -lsimdjson -pthread -o fuzz_model_file && ./fuzz_model_file crash-*
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "data/data_loader.hpp"
#include "error.hpp"
#include "io/model_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvelin;
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        ModelReader reader(text);
        const TreeConfig& config = reader.config();
        DataLoader loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col,
                          config.cat_cols, config.n_bin, reader.continuous_bins(), reader.discrete_bins());
        std::vector<std::string> sections;
        for (const FittedTree& t : reader.read_trees()) sections.push_back(tree_section_text(t.config, t.tree));
        check_storable(config, loader);
        // What was read is written back the same way every time.
        const std::string once = model_text(config, loader, sections);
        ModelReader again(once);
        if (again.config().feature_cols != config.feature_cols) __builtin_trap();
    } catch (const Stop&) {
    }
    return 0;
}

#ifndef QUORVELIN_LIBFUZZER
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string bytes = ss.str();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        std::printf("%s: done\n", argv[i]);
    }
    return 0;
}
#endif
