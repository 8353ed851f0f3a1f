#pragma once
// The model file: exact text of every stored record, and strict reading of it. The file is the
// configuration, one section per fitted bin, and one section per tree, each section followed by
// a blank line; every record is one line of compact JSON.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "data/bin.hpp"
#include "data/config.hpp"
#include "data/data_loader.hpp"
#include "tree/split_info.hpp"
#include "tree/tree.hpp"

namespace quorvelin {

// ---- writing ----
// Shortest text that reads back to the same 32-bit value, laid out as the file requires;
// non-finite values are "null".
std::string float_text(float value);
// A JSON string literal with the file's escapes.
std::string json_string(std::string_view text);

std::string config_json(const TreeConfig& config);
std::string continuous_bin_json(const ContinuousBin& bin);
std::string discrete_bin_json(const DiscreteBin& bin);
std::string split_info_json(const SplitInfo& info);
std::string tree_json(const Tree& tree);
// A tree section without its trailing blank line: configuration JSON, line feed, tree JSON.
std::string tree_section_text(const TreeConfig& config, const Tree& tree);
// The whole file: configuration, bins, then the given tree sections (as made by
// tree_section_text), every section followed by a blank line.
std::string model_text(const TreeConfig& config, const DataLoader& loader, const std::vector<std::string>& tree_sections);

// Stops when a feature name would break the section structure (empty, or holding a line feed).
void check_storable(const TreeConfig& config, const DataLoader& loader);
// Writes a complete new file in the same directory and renames it over `path`, so a failed or
// killed save never leaves a broken file behind (on Linux the new file has no name until it is
// complete). A symbolic link is saved through; an existing target that is not a regular file,
// or that the caller may not open for writing, is refused and left alone. Stops with the OS
// error and the path.
void write_file_atomic(const std::string& path, const std::string& text);

// ---- reading ----
// The whole file; stops with the OS error and the path, or when the content is not UTF-8.
std::string read_model_file(const std::string& path);

// One record from one line of JSON. `line` is the line number reported in errors.
TreeConfig read_config(std::string_view json, size_t line = 1);
ContinuousBin read_continuous_bin(std::string_view json, size_t line = 1);
DiscreteBin read_discrete_bin(std::string_view json, size_t line = 1);
Tree read_tree(std::string_view json, size_t line = 1);
// One tree section (configuration line, tree line; further lines ignored).
void read_tree_section(std::string_view text, TreeConfig& config, Tree& tree, size_t first_line = 1);

// How a model text is read. File: a saved model, strictly: the configuration, exactly one bin
// section per feature, then n_tree tree sections. State: a pickled model in any state, untrained
// or partly binned included: the bin sections present, then every tree section after them.
enum class ReadMode { File, State };

// Cuts a model text into its sections and reads them in the text's order: the configuration
// and the bin sections at once, the tree sections on request. The reader keeps views into
// `text`, which must outlive it. The one reader of the format: `load` and unpickling use it.
class ModelReader {
public:
    explicit ModelReader(std::string_view text, ReadMode mode = ReadMode::File);
    const TreeConfig& config() const { return config_; }
    std::unordered_map<std::string, ContinuousBin>& continuous_bins() { return continuous_; }
    std::unordered_map<std::string, DiscreteBin>& discrete_bins() { return discrete_; }
    // Tree sections to read: n_tree for a file, those present for a state.
    uint64_t n_trees() const;
    // Reads tree section t (0-based); stops when the text has no such section.
    void read_tree_at(size_t t, TreeConfig& config, Tree& tree) const;
    // Every tree, each checked by validate_tree.
    std::vector<FittedTree> read_trees() const;

private:
    bool has_section(size_t i) const;
    void read_bin_section(size_t i);

    ReadMode mode_;
    std::vector<std::string_view> parts_;
    std::vector<size_t> first_line_;
    size_t n_bin_sections_ = 0;
    std::vector<size_t> tree_parts_;  // State: the parts holding trees
    TreeConfig config_;
    std::unordered_map<std::string, ContinuousBin> continuous_;
    std::unordered_map<std::string, DiscreteBin> discrete_;
};

// Stops, naming the tree and node, when a loaded tree could not be routed safely: list lengths,
// paired child links pointing forward inside the tree, a split record on every node, a split
// value and a known feature on every node with children, column 0 on every summary row.
void validate_tree(const Tree& tree, size_t n_features, size_t tree_index);

// Treatment values are one byte, so a model has at most 256 groups (the control and 255).
constexpr size_t kMaxGroups = 256;

// Stops unless a tree that passed validate_tree fits the model it is read into: every summary
// has one row per treatment group, the same count in every tree (`n_groups` carries it from tree
// to tree; empty before the first), and every feature a node splits on has a bin record. So a
// small file can neither make prediction allocate far beyond its size nor make it refit bins on
// the prediction table.
void validate_tree_in_model(const Tree& tree, size_t tree_index, const std::vector<std::string>& feature_cols,
                            const std::unordered_map<std::string, ContinuousBin>& continuous,
                            const std::unordered_map<std::string, DiscreteBin>& discrete,
                            std::optional<size_t>& n_groups);

}  // namespace quorvelin
