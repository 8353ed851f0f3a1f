#include "forest/rf.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "error.hpp"
#include "io/model_file.hpp"

namespace quorvelin {

std::vector<uint64_t> work_plan(uint64_t n_tree, uint64_t n_thread) {
    if (n_tree < n_thread) return std::vector<uint64_t>(n_tree, 1);
    if (n_thread == 0) stop("attempt to divide by zero");
    const uint64_t base = n_tree / n_thread, rem = n_tree - base * n_thread;
    std::vector<uint64_t> plan(n_thread, base);
    for (uint64_t i = 0; i < rem; ++i) ++plan[i];
    return plan;
}

namespace {

// Worker threads of one call. Each worker reports its end through `finished`, so the calling
// thread can keep polling for an interrupt while it waits; every started worker is joined
// before the call returns, whatever happens.
struct Cancelled {};

class WorkerGroup {
public:
    explicit WorkerGroup(size_t capacity) : errors_(capacity), done_(capacity, 0) { threads_.reserve(capacity); }
    ~WorkerGroup() { join_all(); }

    template <class Body>
    void start(Body body) {
        const size_t slot = threads_.size();
        if (slot >= errors_.size()) stop("more workers started than planned");
        try {
            threads_.emplace_back([this, slot, body = std::move(body)]() mutable {
                try {
                    body();
                } catch (const Cancelled&) {
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "quorvelin worker %zu: %s\n", slot, e.what());
                    errors_[slot] = std::current_exception();
                } catch (...) {
                    std::fprintf(stderr, "quorvelin worker %zu: unknown failure\n", slot);
                    errors_[slot] = std::current_exception();
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    done_[slot] = true;
                }
                finished_.notify_all();
            });
        } catch (const std::system_error&) {
            stop_requested.store(true);
            join_all();
            stop("failed to spawn thread");
        }
    }

    // Waits for every worker in start order, calling `interrupted` while it waits. When the
    // check throws, the workers are told to stop, joined, and the exception goes on.
    void wait(const InterruptCheck& interrupted) {
        try {
            for (size_t i = 0; i < threads_.size(); ++i) {
                std::unique_lock<std::mutex> lock(mutex_);
                while (!done_[i]) {
                    finished_.wait_for(lock, std::chrono::milliseconds(100));
                    if (interrupted && !done_[i]) {
                        lock.unlock();
                        interrupted();
                        lock.lock();
                    }
                }
            }
        } catch (...) {
            stop_requested.store(true);
            join_all();
            throw;
        }
        join_all();
    }

    // The first failure in start order, if any.
    void rethrow_first_error() const {
        for (const auto& e : errors_)
            if (e) std::rethrow_exception(e);
    }

    size_t size() const { return threads_.size(); }

    std::atomic<bool> stop_requested{false};

private:
    void join_all() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

    std::vector<std::thread> threads_;
    std::vector<std::exception_ptr> errors_;
    std::vector<char> done_;
    std::mutex mutex_;
    std::condition_variable finished_;
};

}  // namespace

namespace {

// sum = first tree's lists, then sum = add(sum, tree's lists) tree by tree: routed row by row
// when every leaf gives a list of the running width, else through the tree's own lists.
template <class LearnT>
void accumulate(std::optional<RowLists>& sum, LearnT& learner, const DMatrix& data) {
    if (!sum) {
        size_t width = 0;
        const auto& tree = learner.tree;
        for (uint64_t node = 0; node < tree.n_nodes(); ++node)
            if (!tree.left_children[node]) {
                width = tree.get_uplift(node).size();
                break;
            }
        if (width > 0) {
            RowLists first(data.n_rows(), width);
            if (learner.predict_add(data, first, true)) {
                sum = std::move(first);
                return;
            }
        }
        sum = learner.predict(data);
        return;
    }
    if (learner.predict_add(data, *sum, false)) return;
    add_into(*sum, learner.predict(data));
}

// The sum of the learners' lists, tree after tree for every row (the order add() gives), walked
// in blocks of rows so a block's cells stay in cache across all trees. Empty when some tree's
// leaves do not all give lists of one common width; the caller then goes tree by tree.
template <class LearnT>
std::optional<RowLists> blocked_sum(std::vector<LearnT>& learners, const DMatrix& data,
                                    const InterruptCheck& interrupted) {
    if (learners.empty()) return std::nullopt;
    const uint64_t n = data.n_rows();
    std::vector<RoutedTree> routed(learners.size());
    for (size_t t = 0; t < learners.size(); ++t)
        if (!learners[t].routed(data, routed[t]) || routed[t].width != routed[0].width) return std::nullopt;
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

}  // namespace

namespace {

// The loader bins features on as many threads as the forest trains on.
size_t loader_workers(uint64_t n_thread) { return static_cast<size_t>(std::clamp<uint64_t>(n_thread, 1, 64)); }

}  // namespace

template <class LearnT>
RandomForest<LearnT>::RandomForest(TreeConfig cfg)
    : config(std::move(cfg)),
      loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col, config.cat_cols, config.n_bin,
             {}, {}) {
    loader.workers = loader_workers(config.n_thread);
}

template <class LearnT>
RandomForest<LearnT>::RandomForest(TreeConfig cfg, DataLoader loader_, std::vector<LearnT> trees_)
    : config(std::move(cfg)), loader(std::move(loader_)), trees(std::move(trees_)) {
    loader.workers = loader_workers(config.n_thread);
}

template <class LearnT>
std::vector<LearnT> RandomForest<LearnT>::fit_par_thread(uint64_t n, const TreeConfig& config, const DMatrix& data,
                                                         const RowCodes& rc, Random& random) {
    std::vector<LearnT> out;
    GrowthBuffers buffers;
    for (uint64_t i = 0; i < n; ++i) {
        LearnT learner(config);
        learner.fit(data, rc, random, &buffers);
        out.push_back(std::move(learner));
    }
    return out;
}

template <class LearnT>
void RandomForest<LearnT>::fit(DMatrix data, const InterruptCheck& interrupted) {
    const uint64_t n_tree = config.n_tree, n_thread = config.n_thread;
    if (n_tree > 0) data.ensure_slots();
    if (n_thread == 1) {
        Random random(config.seed);
        const RowCodes rc = LearnT::StrategyType::prepare(data);
        GrowthBuffers buffers;
        std::vector<LearnT> grown;
        for (uint64_t i = 0; i < n_tree; ++i) {
            if (interrupted) interrupted();
            LearnT learner(config);
            learner.fit(data, rc, random, &buffers);
            grown.push_back(std::move(learner));
        }
        trees = std::move(grown);
        return;
    }

    const std::vector<uint64_t> plan = work_plan(n_tree, n_thread);
    Random random(config.seed);
    const RowCodes rc = LearnT::StrategyType::prepare(data);
    const TreeConfig shared_config = config;
    std::vector<std::vector<LearnT>> results(plan.size());
    WorkerGroup workers(plan.size());
    for (size_t w = 0; w < plan.size(); ++w) {
        workers.start([&, w] {
            GrowthBuffers buffers;
            for (uint64_t i = 0; i < plan[w]; ++i) {
                if (workers.stop_requested.load()) throw Cancelled{};
                LearnT learner(shared_config);
                learner.fit(data, rc, random, &buffers);
                results[w].push_back(std::move(learner));
            }
        });
    }
    workers.wait(interrupted);
    workers.rethrow_first_error();
    std::vector<LearnT> grown;
    for (auto& part : results)
        for (auto& learner : part) grown.push_back(std::move(learner));
    trees = std::move(grown);
}

template <class LearnT>
RowLists RandomForest<LearnT>::predict_par_thread(std::vector<LearnT> learners, const DMatrix& data) {
    if (learners.empty()) stop("a prediction worker was given no trees");
    std::optional<RowLists> sum = blocked_sum(learners, data, {});
    if (sum) return std::move(*sum);
    for (LearnT& learner : learners) accumulate(sum, learner, data);
    return std::move(*sum);
}

template <class LearnT>
RowLists RandomForest<LearnT>::predict(DMatrix data, const InterruptCheck& interrupted) {
    const uint64_t n_tree = config.n_tree, n_thread = config.n_thread;
    const uint64_t n_learners = trees.size();
    if (n_thread == 1) {
        std::optional<RowLists> sum = blocked_sum(trees, data, interrupted);
        if (sum) return divide_scalar(*sum, static_cast<float>(n_learners));
        for (LearnT& learner : trees) {
            if (interrupted) interrupted();
            accumulate(sum, learner, data);
        }
        if (!sum) stop("the model has no trees to predict with; fit it first");
        return divide_scalar(*sum, static_cast<float>(n_learners));
    }

    // Positions of `trees` per worker, consecutive, in worker order.
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (n_tree >= n_thread) {
        if (n_thread == 0) stop("attempt to divide by zero");
        const uint64_t base = n_tree / n_thread, rem = n_tree - base * n_thread;
        for (uint64_t i = 0; i < n_thread; ++i) {
            const uint64_t size = i < rem ? base + 1 : base;
            const uint64_t start = i < rem ? i * (base + 1) : rem * (base + 1) + (i - rem) * base;
            ranges.emplace_back(start, size);
        }
    } else {
        for (uint64_t i = 0; i < n_tree; ++i) ranges.emplace_back(i, 1);
    }

    std::vector<std::optional<RowLists>> sums(ranges.size());
    {
        WorkerGroup workers(ranges.size());
        for (size_t w = 0; w < ranges.size(); ++w) {
            std::vector<LearnT> copies;
            for (uint64_t p = ranges[w].first; p < ranges[w].first + ranges[w].second; ++p) {
                if (p >= n_learners)
                    stop("the model holds " + std::to_string(n_learners) + " trees but n_tree is " +
                         std::to_string(n_tree));
                copies.push_back(trees[p]);
            }
            workers.start([&, w, copies = std::move(copies)]() mutable {
                sums[w] = predict_par_thread(std::move(copies), data);
            });
        }
        workers.wait(interrupted);
        workers.rethrow_first_error();
    }
    if (sums.empty()) stop("the model has no trees to predict with; fit it first");
    RowLists total = std::move(*sums[0]);
    for (size_t w = 1; w < sums.size(); ++w) add_into(total, *sums[w]);
    return divide_scalar(total, static_cast<float>(n_learners));
}

template <class LearnT>
std::string RandomForest<LearnT>::to_string() const {
    std::vector<std::string> sections;
    sections.reserve(trees.size());
    for (const LearnT& learner : trees) sections.push_back(learner.to_string());
    return model_text(config, loader, sections);
}

template <class LearnT>
void RandomForest<LearnT>::save(const std::string& path) const {
    check_storable(config, loader);
    write_file_atomic(path, to_string());
}

template <class LearnT>
RandomForest<LearnT> RandomForest<LearnT>::load(const std::string& path) {
    const std::string text = read_model_file(path);
    ModelReader reader(text);
    const TreeConfig& config = reader.config();
    DataLoader loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col, config.cat_cols,
                      config.n_bin, std::move(reader.continuous_bins()), std::move(reader.discrete_bins()));
    std::vector<LearnT> trees;
    for (uint64_t t = 0; t < config.n_tree; ++t) {
        TreeConfig tree_config;
        Tree tree;
        reader.read_tree_at(t, tree_config, tree);
        validate_tree(tree, config.feature_cols.size(), t);
        LearnT learner(std::move(tree_config));
        static_cast<Tree&>(learner.tree) = std::move(tree);
        trees.push_back(std::move(learner));
    }
    return RandomForest(config, std::move(loader), std::move(trees));
}

template <class LearnT>
RandomForest<LearnT> RandomForest<LearnT>::from_state(std::string_view text) {
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
    DataLoader loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col, config.cat_cols,
                      config.n_bin, std::move(continuous), std::move(discrete));
    std::vector<LearnT> trees;
    for (; i < parts.size(); ++i) {
        if (parts[i].empty()) continue;
        TreeConfig tree_config;
        Tree tree;
        read_tree_section(parts[i], tree_config, tree, first_line[i]);
        validate_tree(tree, config.feature_cols.size(), trees.size());
        LearnT learner(std::move(tree_config));
        static_cast<Tree&>(learner.tree) = std::move(tree);
        trees.push_back(std::move(learner));
    }
    return RandomForest(std::move(config), std::move(loader), std::move(trees));
}

template class RandomForest<ClassifierLearn>;
template class RandomForest<RegressorLearn>;

}  // namespace quorvelin
