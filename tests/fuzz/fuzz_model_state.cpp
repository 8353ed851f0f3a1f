// Fuzz target for the pickled-state reader: any text must end in a model or a Stop, and a model
// that was read predicts a small table (or stops) and writes back a state that reads again.
//
// Built and run like fuzz_model_file.cpp (scripts/fuzz.sh does both); without libFuzzer the
// same entry point replays the files given as arguments.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "data/data_loader.hpp"
#include "error.hpp"
#include "forest/forest.hpp"

namespace {

// Four rows over the model's features: in range, large, missing, negative.
quorvelin::RowTable probe_rows(size_t n_features) {
    quorvelin::RowTable rows;
    const float values[] = {0.5f, 1e6f, 0.0f, -3.0f};
    for (int r = 0; r < 4; ++r) {
        for (size_t f = 0; f < n_features; ++f) rows.push(values[r] + static_cast<float>(f), r != 2);
        rows.end_row();
    }
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvelin;
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        Forest forest = Forest::from_state(ModelKind::Classifier, text);
        const std::string again = forest.to_text();
        const Forest reread = Forest::from_state(ModelKind::Classifier, again);
        if (reread.to_text() != again) __builtin_trap();
        // Thread counts come from the input; one thread keeps a run to one process's worth.
        if (forest.config.feature_cols.size() <= 64 && forest.trees.size() <= 64) {
            forest.config.n_thread = 1;
            forest.loader.workers = 1;
            const RowTable rows = probe_rows(forest.config.feature_cols.size());
            try {
                forest.predict_table(forest.config.feature_cols, rows, {});
            } catch (const Stop&) {
            }
        }
    } catch (const Stop&) {
    } catch (const std::bad_alloc&) {  // the binding turns it into MemoryError
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
