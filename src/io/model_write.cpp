// Writing the model file: the exact text of every record, and the atomic save.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <system_error>
#include <unordered_set>

#include "error.hpp"
#include "io/json.hpp"
#include "io/model_file.hpp"

namespace quorvelin {

namespace {

void put_config(std::string& out, const TreeConfig& c) {
    json::Object o(out);
    o.field("index_cols", c.index_cols);
    o.field("feature_cols", c.feature_cols);
    o.field("cat_cols", c.cat_cols);
    o.field("treatment_cols", c.treatment_cols);
    o.field("y_col", c.y_col);
    o.field("weight_col", c.weight_col);
    o.field("n_bin", c.n_bin);
    o.field("min_samples_leaf", c.min_samples_leaf);
    o.field("min_samples_treatment", c.min_samples_treatment);
    o.field("n_reg", c.n_reg);
    o.field("alpha", c.alpha);
    o.field("normalization", c.normalization);
    o.field("max_features", c.max_features);
    o.field("max_depth", c.max_depth);
    o.field("n_tree", c.n_tree);
    o.field("subsample", c.subsample);
    o.field("n_thread", c.n_thread);
    o.field("seed", c.seed);
    if (c.seed_per_tree) o.field("seed_per_tree", c.seed_per_tree);
    // The other opt-in settings too follow only when set, so default models keep their text.
    const TreeConfig defaults;
    if (c.evaluation_function != defaults.evaluation_function)
        o.field("evaluation_function", c.evaluation_function);
    if (c.regression_criterion != defaults.regression_criterion)
        o.field("regression_criterion", c.regression_criterion);
    if (c.honesty != defaults.honesty) o.field("honesty", c.honesty);
    if (c.estimation_sample_size != defaults.estimation_sample_size)
        o.field("estimation_sample_size", c.estimation_sample_size);
    o.close();
}

void put_continuous_bin(std::string& out, const ContinuousBin& b) {
    json::Object o(out);
    o.field("n_bin", b.n_bin);
    o.field("threshold", b.threshold);
    o.close();
}

void put_discrete_bin(std::string& out, const DiscreteBin& b) {
    json::Object o(out);
    o.field("n_bin", b.n_bin);
    o.field("mapping", b.mapping);
    o.close();
}

void put_split_info(std::string& out, const SplitInfo& s) {
    json::Object o(out);
    o.field("node_id", s.node_id);
    o.field("feature_id", s.feature_id);
    o.field("treatment_id", s.treatment_id);
    o.field("iscat", s.is_cat);
    o.field("value", s.value);
    o.field("gain", s.gain);
    o.field("gain_importance", s.gain_importance);
    o.field("summary", s.summary);
    o.close();
}

void put_tree(std::string& out, const Tree& t) {
    json::Object o(out);
    o.field("level", t.level);
    o.field("left_children", t.left_children);
    o.field("right_children", t.right_children);
    json::put_list(o.key("split"), t.split, [](std::string& x, const std::optional<SplitInfo>& s) {
        if (s)
            put_split_info(x, *s);
        else
            json::put_null(x);
    });
    o.close();
}

// The text `put(out, record)` writes into an empty string.
template <class F, class T>
std::string record_text(F put, const T& record) {
    std::string out;
    put(out, record);
    return out;
}

// The order of bin sections is free for readers, but two saves of one model must give the same
// bytes: names follow the feature order, and any record whose name is not a feature comes after,
// sorted.
template <class Map>
std::vector<typename Map::const_pointer> ordered_records(const Map& map, const std::vector<std::string>& features) {
    std::vector<typename Map::const_pointer> out;
    out.reserve(map.size());
    std::unordered_set<std::string_view> taken;
    for (const std::string& name : features) {
        auto it = map.find(name);
        if (it != map.end() && taken.insert(it->first).second) out.push_back(&*it);
    }
    std::vector<typename Map::const_pointer> rest;
    for (const auto& entry : map)
        if (!taken.count(entry.first)) rest.push_back(&entry);
    std::sort(rest.begin(), rest.end(), [](auto a, auto b) { return a->first < b->first; });
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// Bin sections of one type: the type line, the feature name as a raw line, the record.
template <class Map, class F>
void put_bin_sections(std::string& out, const char* type, const Map& map, const std::vector<std::string>& features,
                      F put) {
    for (const auto* entry : ordered_records(map, features)) {
        out += type;
        out += '\n';
        out += entry->first;
        out += '\n';
        put(out, entry->second);
        out += "\n\n";
    }
}

}  // namespace

std::string float_text(float value) { return record_text(json::put_float, value); }
std::string json_string(std::string_view text) { return record_text(json::put_string, text); }

std::string config_json(const TreeConfig& config) { return record_text(put_config, config); }
std::string continuous_bin_json(const ContinuousBin& bin) { return record_text(put_continuous_bin, bin); }
std::string discrete_bin_json(const DiscreteBin& bin) { return record_text(put_discrete_bin, bin); }
std::string split_info_json(const SplitInfo& info) { return record_text(put_split_info, info); }
std::string tree_json(const Tree& tree) { return record_text(put_tree, tree); }

std::string tree_section_text(const TreeConfig& config, const Tree& tree) {
    std::string out;
    put_config(out, config);
    out += '\n';
    put_tree(out, tree);
    return out;
}

std::string model_text(const TreeConfig& config, const DataLoader& loader, const std::vector<std::string>& tree_sections) {
    std::string out;
    put_config(out, config);
    out += "\n\n";
    put_bin_sections(out, "Continuous", loader.continuous_bins, config.feature_cols, put_continuous_bin);
    put_bin_sections(out, "Discrete", loader.discrete_bins, config.feature_cols, put_discrete_bin);
    for (const std::string& section : tree_sections) {
        out += section;
        out += "\n\n";
    }
    return out;
}

namespace {

void check_name(std::string_view name, const char* where) {
    if (name.empty())
        stop(std::string("cannot save the model: ") + where +
             " has an empty name, which the model file cannot hold (a bin section would lose its name line)");
    if (name.find('\n') != std::string_view::npos)
        stop(std::string("cannot save the model: ") + where + " " + json_string(name) +
             " holds a line feed, which the model file cannot hold (names are stored as raw lines)");
}

}  // namespace

void check_storable(const TreeConfig& config, const DataLoader& loader) {
    for (const std::string& name : config.feature_cols) check_name(name, "feature column");
    for (const auto& entry : loader.continuous_bins) check_name(entry.first, "the bin record of feature");
    for (const auto& entry : loader.discrete_bins) check_name(entry.first, "the bin record of feature");
}

namespace {

[[noreturn]] void write_failed(const std::string& path, int err) {
    stop("cannot write model file '" + path + "': " + std::system_category().message(err));
}

// The process's file-creation mask. Reading it with umask() means setting it for a moment, which
// races with other threads creating files; the kernel reports it without that side effect.
mode_t current_umask() {
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                std::fclose(f);
                return static_cast<mode_t>(value & 0777);
            }
        }
        std::fclose(f);
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

namespace {

// Where a save lands: a symbolic link is saved through to the file it points to (and stays a
// link), as writing in place would. Stops when the target exists and is not a regular file
// (a device, a FIFO, a socket, a directory), which a rename would replace, or when the caller
// could not open it for writing; gives the mode an existing file keeps.
std::string save_target(const std::string& path, mode_t& mode) {
    std::string target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    mode = 0666 & ~current_umask();
    struct stat existing {};
    if (::stat(target.c_str(), &existing) != 0) return target;
    if (!S_ISREG(existing.st_mode))
        stop("cannot write model file '" + path + "': it exists and is not a regular file, so it is left as it is");
    // The same permission check a plain open for writing makes (owner, mode, read-only mounts,
    // and root's exemption), without changing the file. Non-blocking, in case the node was
    // swapped for a FIFO since the stat.
    const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) write_failed(path, errno);
    struct stat opened {};
    const bool regular = ::fstat(probe, &opened) == 0 && S_ISREG(opened.st_mode);
    ::close(probe);
    if (!regular)
        stop("cannot write model file '" + path + "': it exists and is not a regular file, so it is left as it is");
    mode = existing.st_mode & 07777;
    return target;
}

void write_all(int fd, const std::string& text, const std::function<void(int)>& fail) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (n == 0) fail(EIO);
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string temp_name(const std::string& dir_prefix) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::string name = dir_prefix + ".quorvelin-save-";
    for (int i = 0; i < 12; ++i) name += letters[device() % (sizeof letters - 1)];
    return name;
}

#ifdef O_TMPFILE
// Linux: the file is written without a name and given one only when complete, so a save killed
// while writing leaves nothing behind. Returns false when the file system has no unnamed files;
// the caller then writes a named temporary file instead.
bool save_unnamed(const std::string& path, const std::string& dir, const std::string& dir_prefix,
                  const std::string& target, mode_t mode, const std::string& text) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return false;
        write_failed(path, errno);
    }
    const auto fail = [&](int err) {
        ::close(fd);
        write_failed(path, err);
    };
    write_all(fd, text, fail);
    if (::fchmod(fd, mode) != 0) fail(errno);
    if (::fsync(fd) != 0) fail(errno);
    // linkat cannot replace a name, so the finished file gets a fresh one and is renamed over
    // the target: only this moment between two system calls can leave a (complete) extra file.
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    std::string temp;
    for (int attempt = 0;; ++attempt) {
        temp = temp_name(dir_prefix);
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
        if (errno == EEXIST && attempt < 100) continue;
        if (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH) == 0) break;
        fail(errno);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        write_failed(path, err);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        write_failed(path, err);
    }
    return true;
}
#endif

void save_named(const std::string& path, const std::string& dir_prefix, const std::string& target, mode_t mode,
                const std::string& text) {
    std::string temp = dir_prefix + ".quorvelin-save-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) write_failed(path, errno);
    const auto fail = [&](int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        write_failed(path, err);
    };
    write_all(fd, text, fail);
    if (::fchmod(fd, mode) != 0) fail(errno);
    if (::fsync(fd) != 0) fail(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        write_failed(path, err);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        write_failed(path, err);
    }
}

}  // namespace

void write_file_atomic(const std::string& path, const std::string& text) {
    if (path.empty()) write_failed(path, ENOENT);
    if (path.find('\0') != std::string::npos) write_failed(path, EINVAL);

    mode_t mode = 0;
    const std::string target = save_target(path, mode);
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    const std::string dir_prefix = slash == std::string::npos ? std::string() : dir;

    bool saved = false;
#ifdef O_TMPFILE
    saved = save_unnamed(path, dir, dir_prefix, target, mode, text);
#endif
    if (!saved) save_named(path, dir_prefix, target, mode, text);

    // Make the new name durable too; a failure here cannot undo the save, so it is not reported.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

}  // namespace quorvelin
