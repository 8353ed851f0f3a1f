#include "forest/forest.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
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
    for (size_t begin = 0; begin < n; begin += kBlock) {
        if (interrupted) interrupted();
        const size_t end = std::min<size_t>(n, begin + kBlock);
        for (size_t r = begin; r < end; ++r) {
            const float* u = routed[0].leaf_uplift(r);
            std::copy(u, u + width, sum.row(r));
        }
        for (size_t t = 1; t < routed.size(); ++t)
            for (size_t r = begin; r < end; ++r) {
                const float* u = routed[t].leaf_uplift(r);
                float* out = sum.row(r);
                for (size_t j = 0; j < width; ++j) out[j] = out[j] + u[j];
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
    loader.workers = loader_workers(config.n_thread);
}

Forest::Forest(ModelKind kind_, TreeConfig cfg, DataLoader loader_, std::vector<FittedTree> trees_)
    : kind(kind_), config(std::move(cfg)), loader(std::move(loader_)), trees(std::move(trees_)) {
    loader.workers = loader_workers(config.n_thread);
}

void Forest::fit(DMatrix data, const InterruptCheck& interrupted) {
    const uint64_t n_tree = config.n_tree, n_thread = config.n_thread;
    if (n_tree > 0) data.ensure_slots();
    // One random source shared by every worker, as the file format's seed defines it.
    Random random(config.seed);
    const TreeConfig& shared_config = config;
    if (n_thread == 1) {
        std::unique_ptr<Criterion> criterion = make_criterion(kind, shared_config);
        const RowCodes rc = criterion->row_codes(data);
        TreeGrower grower(shared_config, *criterion);
        std::vector<FittedTree> grown;
        for (uint64_t i = 0; i < n_tree; ++i) {
            if (interrupted) interrupted();
            Tree tree = grower.grow(data, rc, random);
            grown.push_back({shared_config, std::move(tree)});
        }
        trees = std::move(grown);
        return;
    }

    const std::vector<uint64_t> plan = work_plan(n_tree, n_thread);
    const RowCodes rc = make_criterion(kind, shared_config)->row_codes(data);
    std::vector<std::vector<FittedTree>> results(plan.size());
    WorkerGroup workers(plan.size());
    for (size_t w = 0; w < plan.size(); ++w) {
        workers.start([&, w] {
            std::unique_ptr<Criterion> criterion = make_criterion(kind, shared_config);
            TreeGrower grower(shared_config, *criterion);
            for (uint64_t i = 0; i < plan[w]; ++i) {
                if (workers.stop_requested.load()) throw Cancelled{};
                Tree tree = grower.grow(data, rc, random);
                results[w].push_back({shared_config, std::move(tree)});
            }
        });
    }
    workers.wait(interrupted);
    workers.rethrow_first_error();
    std::vector<FittedTree> grown;
    for (auto& part : results)
        for (auto& t : part) grown.push_back(std::move(t));
    trees = std::move(grown);
}

RowLists Forest::predict(const DMatrix& data, const InterruptCheck& interrupted) const {
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
            workers.start([&, w, part] { sums[w] = sum_of(part, data, {}); });
        }
        workers.wait(interrupted);
        workers.rethrow_first_error();
    }
    if (sums.empty()) stop("the model has no trees to predict with; fit it first");
    RowLists total = std::move(*sums[0]);
    for (size_t w = 1; w < sums.size(); ++w) add_into(total, *sums[w]);
    return divide_scalar(total, static_cast<float>(n_learners));
}

void Forest::fit_table(const std::vector<std::string>& headers, const TableView& rows,
                       const InterruptCheck& interrupted) {
    BinsTransaction bins(loader);
    fit(loader.from_memory(headers, rows), interrupted);
    bins.commit();
}

RowLists Forest::predict_table(const std::vector<std::string>& headers, const TableView& rows,
                               const InterruptCheck& interrupted) {
    BinsTransaction bins(loader);
    RowLists result = predict(loader.from_memory(headers, rows), interrupted);
    bins.commit();
    return result;
}

std::string Forest::to_string() const {
    std::vector<std::string> sections;
    sections.reserve(trees.size());
    for (const FittedTree& t : trees) sections.push_back(tree_section_text(t.config, t.tree));
    return model_text(config, loader, sections);
}

void Forest::check_storable() const { quorvelin::check_storable(config, loader); }

void Forest::save(const std::string& path) const {
    check_storable();
    write_file_atomic(path, to_string());
}

Forest Forest::load(ModelKind kind, const std::string& path) {
    const std::string text = read_model_file(path);
    ModelReader reader(text);
    const TreeConfig& config = reader.config();
    DataLoader loader = loader_for(config, std::move(reader.continuous_bins()), std::move(reader.discrete_bins()));
    std::vector<FittedTree> trees;
    for (uint64_t t = 0; t < config.n_tree; ++t) {
        FittedTree fitted;
        reader.read_tree_at(t, fitted.config, fitted.tree);
        validate_tree(fitted.tree, config.feature_cols.size(), t);
        trees.push_back(std::move(fitted));
    }
    return Forest(kind, config, std::move(loader), std::move(trees));
}

Forest Forest::from_state(ModelKind kind, std::string_view text) {
    std::vector<std::string_view> parts;
    std::vector<size_t> first_line;
    size_t line = 1, begin = 0;
    while (true) {
        const size_t end = text.find("\n\n", begin);
        const std::string_view part = text.substr(begin, end == std::string_view::npos ? text.npos : end - begin);
        parts.push_back(part);
        first_line.push_back(line);
        if (end == std::string_view::npos) break;
        line += static_cast<size_t>(std::count(part.begin(), part.end(), '\n')) + 2;
        begin = end + 2;
    }
    TreeConfig config = read_config(parts[0], first_line[0]);
    std::unordered_map<std::string, ContinuousBin> continuous;
    std::unordered_map<std::string, DiscreteBin> discrete;
    size_t i = 1;
    for (; i < parts.size(); ++i) {
        const std::string_view part = parts[i];
        const bool is_continuous = part.starts_with("Continuous\n"), is_discrete = part.starts_with("Discrete\n");
        if (!is_continuous && !is_discrete) break;
        const size_t name_end = part.find('\n', part.find('\n') + 1);
        if (name_end == std::string_view::npos) stop("model state: bin section " + std::to_string(i) + " is cut short");
        const size_t name_begin = part.find('\n') + 1;
        const std::string name(part.substr(name_begin, name_end - name_begin));
        std::string_view json = part.substr(name_end + 1);
        json = json.substr(0, json.find('\n'));
        if (is_continuous)
            continuous[name] = read_continuous_bin(json, first_line[i] + 2);
        else
            discrete[name] = read_discrete_bin(json, first_line[i] + 2);
    }
    DataLoader loader = loader_for(config, std::move(continuous), std::move(discrete));
    std::vector<FittedTree> trees;
    for (; i < parts.size(); ++i) {
        if (parts[i].empty()) continue;
        FittedTree fitted;
        read_tree_section(parts[i], fitted.config, fitted.tree, first_line[i]);
        validate_tree(fitted.tree, config.feature_cols.size(), trees.size());
        trees.push_back(std::move(fitted));
    }
    return Forest(kind, std::move(config), std::move(loader), std::move(trees));
}

std::unique_ptr<Forest> new_model(ModelKind kind, TreeConfig config) {
    return std::make_unique<Forest>(kind, std::move(config));
}

std::unique_ptr<Forest> load_model(ModelKind kind, const std::string& path) {
    return std::make_unique<Forest>(Forest::load(kind, path));
}

std::string model_state(const Forest& model) {
    model.check_storable();
    return model.to_string();
}

std::unique_ptr<Forest> model_from_state(ModelKind kind, std::string_view text) {
    return std::make_unique<Forest>(Forest::from_state(kind, text));
}

}  // namespace quorvelin
