#pragma once
// The forest: the model's configuration, its loader with the fitted bins, and its trees.
// Training and prediction run on the calling thread or on worker threads; written once for both
// learner kinds.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "data/config.hpp"
#include "data/data_loader.hpp"
#include "data/dmatrix.hpp"
#include "forest/learn.hpp"
#include "criteria/linalg.hpp"
#include "forest/random.hpp"

namespace quorvelin {

// Called on the calling thread between trees and while it waits for workers; it may throw to
// abandon the call (the forest is then left as it was).
using InterruptCheck = std::function<void()>;

template <class LearnT>
class RandomForest {
public:
    TreeConfig config;
    DataLoader loader;
    std::vector<LearnT> trees;

    explicit RandomForest(TreeConfig cfg);
    RandomForest(TreeConfig cfg, DataLoader loader_, std::vector<LearnT> trees_);

    // Grows n_tree learners and replaces the forest's trees with them (the bins stay).
    void fit(DMatrix data, const InterruptCheck& interrupted = {});
    RowLists predict(DMatrix data, const InterruptCheck& interrupted = {});

    static std::vector<LearnT> fit_par_thread(uint64_t n, const TreeConfig& config, const DMatrix& data,
                                              const RowCodes& rc, Random& random);
    static RowLists predict_par_thread(std::vector<LearnT> learners, const DMatrix& data);

    std::string to_string() const;
    void save(const std::string& path) const;
    static RandomForest load(const std::string& path);
    // Rebuilds a forest from its own to_string text in any state, untrained or partly binned
    // included: every bin section present is read, and every tree section after them. Used to
    // pickle a model; `load` stays strict about the sections a saved model must have.
    static RandomForest from_state(std::string_view text);
};

// Tree counts per worker: T < W gives T workers of one tree; otherwise W shares differing by at
// most one, larger first. W = 0 with T >= W stops with "attempt to divide by zero".
std::vector<uint64_t> work_plan(uint64_t n_tree, uint64_t n_thread);

using ClassifierForest = RandomForest<ClassifierLearn>;
using RegressorForest = RandomForest<RegressorLearn>;

extern template class RandomForest<ClassifierLearn>;
extern template class RandomForest<RegressorLearn>;

}  // namespace quorvelin
