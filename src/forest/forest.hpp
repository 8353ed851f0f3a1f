#pragma once
// The forest: the model's kind and configuration, its loader with the fitted bins, and its
// trees. Training and prediction run on the calling thread or on worker threads. This is what
// the Python binding holds.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "criteria/linalg.hpp"
#include "data/config.hpp"
#include "data/data_loader.hpp"
#include "data/dmatrix.hpp"
#include "forest/workers.hpp"
#include "io/model_file.hpp"
#include "tree/tree.hpp"

namespace quorvelin {

class Forest {
public:
    ModelKind kind;
    TreeConfig config;
    DataLoader loader;
    std::vector<FittedTree> trees;

    Forest(ModelKind kind, TreeConfig cfg);
    Forest(ModelKind kind, TreeConfig cfg, DataLoader loader_, std::vector<FittedTree> trees_);

    // Grows n_tree trees and replaces the forest's trees with them (the bins stay). `grown`,
    // when given, counts the trees finished so far (from any thread), for progress reports.
    void fit(DMatrix data, const InterruptCheck& interrupted = {}, std::atomic<uint64_t>* grown = nullptr);
    // The mean of the trees' lists for every row.
    RowLists predict(const DMatrix& data, const InterruptCheck& interrupted = {}) const;

    // Bin a table with the forest's loader, then train on it or predict it. A call that stops,
    // for any reason, leaves the forest exactly as it was: bins fitted on the way are dropped.
    void fit_table(const std::vector<std::string>& headers, const TableView& rows, const InterruptCheck& interrupted,
                   std::atomic<uint64_t>* grown = nullptr);
    RowLists predict_table(const std::vector<std::string>& headers, const TableView& rows,
                           const InterruptCheck& interrupted);

    // The model file's text, and the forest read back from it strictly (what save and load
    // write and read, without the file).
    std::string to_text() const;
    static Forest from_text(ModelKind kind, std::string_view text);
    // Stops when the forest's feature names cannot be stored in its text form.
    void check_storable() const;
    void save(const std::string& path) const;
    static Forest load(ModelKind kind, const std::string& path);
    // Rebuilds a forest from its own to_string text in any state, untrained or partly binned
    // included: every bin section present is read, and every tree section after them. Used to
    // pickle a model; `load` stays strict about the sections a saved model must have.
    static Forest from_state(ModelKind kind, std::string_view text);

private:
    static Forest read(ModelKind kind, std::string_view text, ReadMode mode);
};

// The binding's entry points: a new, loaded or unpickled forest, and the text it pickles to.
std::unique_ptr<Forest> new_model(ModelKind kind, TreeConfig config);
std::unique_ptr<Forest> load_model(ModelKind kind, const std::string& path);
std::string model_state(const Forest& model);
std::unique_ptr<Forest> model_from_state(ModelKind kind, std::string_view text);

}  // namespace quorvelin
