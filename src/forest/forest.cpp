#include "forest/forest.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "criteria/criterion.hpp"
#include "error.hpp"
#include "forest/grow.hpp"
#include "forest/random.hpp"
#include "io/model_file.hpp"
#include "tree/route.hpp"

namespace quorvelin {

namespace {

// The loader bins features on as many threads as the forest trains on.
size_t loader_workers(uint64_t n_thread) { return static_cast<size_t>(std::clamp<uint64_t>(n_thread, 1, 64)); }

DataLoader loader_for(const TreeConfig& c, std::unordered_map<std::string, ContinuousBin> continuous = {},
                      std::unordered_map<std::string, DiscreteBin> discrete = {}) {
    return DataLoader(c.feature_cols, c.y_col, c.treatment_cols, c.weight_col, c.cat_cols, c.n_bin,
                      std::move(continuous), std::move(discrete));
}

// sum = first tree's lists, then sum = add(sum, tree's lists) tree by tree: routed row by row
// when every leaf gives a list of the running width, else through the tree's own lists.
void accumulate(std::optional<RowLists>& sum, const Tree& tree, const DMatrix& data) {
    if (!sum) {
        size_t width = 0;
        for (uint64_t node = 0; node < tree.n_nodes(); ++node)
            if (!tree.left_children[node]) {
                width = tree.get_uplift(node).size();
                break;
            }
        if (width > 0) {
            RowLists first(data.n_rows(), width);
            if (predict_add(tree, data, first, true)) {
                sum = std::move(first);
                return;
            }
        }
        sum = predict_tree(tree, data);
        return;
    }
    if (predict_add(tree, data, *sum, false)) return;
    add_into(*sum, predict_tree(tree, data));
}

// The sum of the trees' lists, tree after tree for every row (the order add() gives), walked
// in blocks of rows so a block's cells stay in cache across all trees. Empty when some tree's
// leaves do not all give lists of one common width; the caller then goes tree by tree.
std::optional<RowLists> blocked_sum(std::span<const FittedTree> trees, const DMatrix& data,
                                    const InterruptCheck& interrupted) {
    if (trees.empty()) return std::nullopt;
    const uint64_t n = data.n_rows();
    std::vector<RoutedTree> routed(trees.size());
    for (size_t t = 0; t < trees.size(); ++t)
        if (!route_tree(trees[t].tree, data, routed[t]) || routed[t].width != routed[0].width) return std::nullopt;
    const size_t width = routed[0].width;
    RowLists sum(n, width);
    constexpr size_t kBlock = 4096;
    std::vector<uint32_t> leaf(kBlock);
    for (size_t begin = 0; begin < n; begin += kBlock) {
        if (interrupted) interrupted();
        const size_t end = std::min<size_t>(n, begin + kBlock);
        for (size_t t = 0; t < routed.size(); ++t) {
            routed[t].leaves(begin, end, leaf.data());
            const float* uplift = routed[t].uplift.data();
            for (size_t r = begin; r < end; ++r) {
                const float* u = uplift + static_cast<size_t>(leaf[r - begin]) * width;
                float* out = sum.row(r);
                if (t == 0)
                    std::copy(u, u + width, out);
                else
                    for (size_t j = 0; j < width; ++j) out[j] = out[j] + u[j];
            }
        }
    }
    std::fill(sum.len.begin(), sum.len.end(), static_cast<uint32_t>(width));
    return sum;
}

// The sum of some trees' lists, as one worker computes it.
std::optional<RowLists> sum_of(std::span<const FittedTree> trees, const DMatrix& data,
                               const InterruptCheck& interrupted) {
    std::optional<RowLists> sum = blocked_sum(trees, data, interrupted);
    if (sum) return sum;
    for (const FittedTree& t : trees) {
        if (interrupted) interrupted();
        accumulate(sum, t.tree, data);
    }
    return sum;
}

}  // namespace

Forest::Forest(ModelKind kind_, TreeConfig cfg) : kind(kind_), config(std::move(cfg)), loader(loader_for(config)) {
    check_settings(config);
    loader.workers = loader_workers(config.n_thread);
}

Forest::Forest(ModelKind kind_, TreeConfig cfg, DataLoader loader_, std::vector<FittedTree> trees_)
    : kind(kind_), config(std::move(cfg)), loader(std::move(loader_)), trees(std::move(trees_)) {
    loader.workers = loader_workers(config.n_thread);
}

void Forest::fit(DMatrix data, const InterruptCheck& interrupted, std::atomic<uint64_t>* grown) {
    const StopScope stops(interrupted);
    const uint64_t n_tree = config.n_tree, n_thread = config.n_thread;
    if (n_tree > 0) data.ensure_slots();
    // Stream 0 of the seed's key is the random source every worker shares, as the file
    // format's seed defines it. With seed_per_tree, tree i reads stream i + 1 alone, so its
    // draws do not depend on which thread grows it or when.
    const std::array<uint32_t, 8> key = Random::key_for(config.seed);
    Random shared(key, 0);
    const TreeConfig& shared_config = config;
    auto grow = [&](TreeGrower& grower, const RowCodes& rc, uint64_t index) {
        Tree tree;
        if (shared_config.seed_per_tree) {
            Random own(key, index + 1);
            tree = grower.grow(data, rc, own);
        } else {
            tree = grower.grow(data, rc, shared);
        }
        if (grown) grown->fetch_add(1, std::memory_order_relaxed);
        return FittedTree{shared_config, std::move(tree)};
    };
    if (n_thread == 1) {
        std::unique_ptr<Criterion> criterion = make_criterion(kind, shared_config);
        const RowCodes rc = criterion->row_codes(data);
        TreeGrower grower(shared_config, *criterion);
        std::vector<FittedTree> out;
        for (uint64_t i = 0; i < n_tree; ++i) {
            if (interrupted) interrupted();
            out.push_back(grow(grower, rc, i));
        }
        trees = std::move(out);
        return;
    }

    const std::vector<uint64_t> plan = work_plan(n_tree, n_thread);
    const RowCodes rc = make_criterion(kind, shared_config)->row_codes(data);
    std::vector<std::vector<FittedTree>> results(plan.size());
    WorkerGroup workers(plan.size());
    uint64_t first = 0;
    for (size_t w = 0; w < plan.size(); ++w) {
        workers.start([&, w, first] {
            std::unique_ptr<Criterion> criterion = make_criterion(kind, shared_config);
            TreeGrower grower(shared_config, *criterion);
            for (uint64_t i = 0; i < plan[w]; ++i) {
                workers.check_cancelled();
                results[w].push_back(grow(grower, rc, first + i));
            }
        });
        first += plan[w];
    }
    workers.wait(interrupted);
    workers.rethrow_first_error();
    std::vector<FittedTree> out;
    for (auto& part : results)
        for (auto& t : part) out.push_back(std::move(t));
    trees = std::move(out);
}

RowLists Forest::predict(const DMatrix& data, const InterruptCheck& interrupted) const {
    const StopScope stops(interrupted);
    const uint64_t n_tree = config.n_tree, n_thread = config.n_thread;
    const uint64_t n_learners = trees.size();
    if (n_thread == 1) {
        const std::optional<RowLists> sum = sum_of(trees, data, interrupted);
        if (!sum) stop("the model has no trees to predict with; fit it first");
        return divide_scalar(*sum, static_cast<float>(n_learners));
    }

    // Consecutive runs of trees per worker, in worker order, as training planned them.
    const std::vector<uint64_t> plan = work_plan(n_tree, n_thread);
    std::vector<std::optional<RowLists>> sums(plan.size());
    {
        WorkerGroup workers(plan.size());
        uint64_t begin = 0;
        for (size_t w = 0; w < plan.size(); ++w) {
            if (begin + plan[w] > n_learners)
                stop("the model holds " + std::to_string(n_learners) + " trees but n_tree is " + std::to_string(n_tree));
            const std::span<const FittedTree> part(trees.data() + begin, plan[w]);
            begin += plan[w];
            // Checked between blocks of rows, so Ctrl-C stops the work, not just the wait.
            workers.start([&, w, part] { sums[w] = sum_of(part, data, [&workers] { workers.check_cancelled(); }); });
        }
        workers.wait(interrupted);
        workers.rethrow_first_error();
    }
    if (sums.empty()) stop("the model has no trees to predict with; fit it first");
    RowLists total = std::move(*sums[0]);
    for (size_t w = 1; w < sums.size(); ++w) add_into(total, *sums[w]);
    return divide_scalar(total, static_cast<float>(n_learners));
}

namespace {

// One bin record is stored per feature name, so a model fitted on a name listed twice could be
// saved but never loaded again.
void refuse_duplicate_features(const std::vector<std::string>& features) {
    std::unordered_set<std::string_view> seen;
    for (const std::string& name : features)
        if (!seen.insert(name).second) stop("feature column " + name + " is listed more than once in the configuration");
}

}  // namespace

void Forest::fit_table(const std::vector<std::string>& headers, const TableView& rows,
                       const InterruptCheck& interrupted, std::atomic<uint64_t>* grown) {
    refuse_duplicate_features(config.feature_cols);
    BinsTransaction bins(loader);
    const StopScope stops(interrupted);
    fit(loader.from_memory(headers, rows), interrupted, grown);
    bins.commit();
}

RowLists Forest::predict_table(const std::vector<std::string>& headers, const TableView& rows,
                               const InterruptCheck& interrupted) {
    BinsTransaction bins(loader);
    const StopScope stops(interrupted);
    RowLists result = predict(loader.from_memory(headers, rows), interrupted);
    bins.commit();
    return result;
}

std::string Forest::to_text() const {
    std::vector<std::string> sections;
    sections.reserve(trees.size());
    for (const FittedTree& t : trees) sections.push_back(tree_section_text(t.config, t.tree));
    return model_text(config, loader, sections);
}

void Forest::check_storable() const { quorvelin::check_storable(config, loader); }

void Forest::save(const std::string& path) const {
    check_storable();
    write_file_atomic(path, to_text());
}

Forest Forest::load(ModelKind kind, const std::string& path) {
    return from_text(kind, read_model_file(path));
}

Forest Forest::from_text(ModelKind kind, std::string_view text) { return read(kind, text, ReadMode::File); }

Forest Forest::from_state(ModelKind kind, std::string_view text) { return read(kind, text, ReadMode::State); }

Forest Forest::read(ModelKind kind, std::string_view text, ReadMode mode) {
    ModelReader reader(text, mode);
    const TreeConfig& config = reader.config();
    // The loader gets copies of the (small) bin records: the reader checks every tree against
    // its own, after the loader has refused a bad n_bin.
    DataLoader loader = loader_for(config, reader.continuous_bins(), reader.discrete_bins());
    return Forest(kind, config, std::move(loader), reader.read_trees());
}

std::unique_ptr<Forest> new_model(ModelKind kind, TreeConfig config) {
    return std::make_unique<Forest>(kind, std::move(config));
}

std::unique_ptr<Forest> load_model(ModelKind kind, const std::string& path) {
    return std::make_unique<Forest>(Forest::load(kind, path));
}

std::string model_state(const Forest& model) {
    model.check_storable();
    return model.to_text();
}

std::unique_ptr<Forest> model_from_state(ModelKind kind, std::string_view text) {
    return std::make_unique<Forest>(Forest::from_state(kind, text));
}

}  // namespace quorvelin
