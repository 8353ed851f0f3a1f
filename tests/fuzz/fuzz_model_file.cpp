// Fuzz target for the model file reader: any bytes must end in a loaded model or a Stop, and a
// loaded model must write back the same way every time and predict a table with its columns.
//
// With clang and libFuzzer:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -DQUORVELIN_LIBFUZZER
//     -Isrc tests/fuzz/fuzz_model_file.cpp $(find src -name '*.cpp' -not -path 'src/python/*') -lsimdjson -o fuzz_model_file
//   ./fuzz_model_file -max_total_time=600 tests/fuzz/corpus tests/data   (or: scripts/fuzz.sh)
// Without libFuzzer the same entry point runs over the files given as arguments: the C++ test
// build makes it (target fuzz_model_file) and CTest replays tests/fuzz/corpus and tests/data
// through it, under the sanitizers too when they are on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "data/data_loader.hpp"
#include "error.hpp"
#include "forest/forest.hpp"
#include "io/model_file.hpp"

namespace {

// A six-row table holding every column the model names: treatments and outcome 0 or 1, the
// features small numbers with some cells missing.
quorvelin::RowTable table_for(const quorvelin::TreeConfig& c, std::vector<std::string>& headers) {
    auto add = [&](const std::string& h) {
        if (std::find(headers.begin(), headers.end(), h) == headers.end()) headers.push_back(h);
    };
    for (const auto& f : c.treatment_cols) add(f);
    add(c.y_col);
    const size_t n_fixed = headers.size();
    for (const auto& f : c.feature_cols) add(f);
    quorvelin::RowTable table;
    for (size_t r = 0; r < 6; ++r) {
        for (size_t k = 0; k < headers.size(); ++k) {
            const size_t v = (r * 7 + k * 3) % 9;
            if (k < n_fixed)
                table.push(static_cast<float>(v % 2), true);
            else
                table.push(static_cast<float>(static_cast<int>(v) - 3) * 0.75f, v % 5 != 0);
        }
        table.end_row();
    }
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvelin;
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        Forest forest = Forest::from_text(ModelKind::Classifier, text);
        forest.check_storable();
        // What was read is written back the same way every time.
        const std::string once = forest.to_text();
        if (Forest::from_text(ModelKind::Classifier, once).to_text() != once) __builtin_trap();
        forest.config.n_thread = std::min<uint64_t>(forest.config.n_thread, 2);
        std::vector<std::string> headers;
        const RowTable table = table_for(forest.config, headers);
        forest.predict_table(headers, table, {});
    } catch (const Stop&) {
    } catch (const std::bad_alloc&) {  // the binding turns it into MemoryError
    }
    return 0;
}

#ifndef QUORVELIN_LIBFUZZER
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "%s: cannot read\n", argv[i]);
            return 1;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string bytes = ss.str();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        std::printf("%s: done\n", argv[i]);
    }
    return 0;
}
#endif
