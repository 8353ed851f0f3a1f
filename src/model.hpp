#pragma once
// The boundary between the Python binding and a forest of either kind.
#include <memory>
#include <string>
#include <string_view>

#include "data/config.hpp"
#include "data/data_loader.hpp"
#include "data/dmatrix.hpp"
#include "criteria/linalg.hpp"
#include "io/model_file.hpp"
#include "forest/rf.hpp"

namespace quorvelin {

class CausalModelInterface {
public:
    virtual ~CausalModelInterface() = default;
    virtual DataLoader& get_loader() = 0;
    virtual std::string to_string() const = 0;
    // Stops when the model's feature names cannot be stored in its text form.
    virtual void check_storable() const = 0;
    virtual void save(const std::string& path) const = 0;
    virtual void fit(DMatrix data, const InterruptCheck& interrupted = {}) = 0;
    virtual RowLists predict(DMatrix data, const InterruptCheck& interrupted = {}) = 0;

    // Bin a table with the model's loader, then train on it or predict it. A call that stops,
    // for any reason, leaves the model exactly as it was: bins fitted on the way are dropped.
    void fit_table(const std::vector<std::string>& headers, const TableView& rows, const InterruptCheck& interrupted);
    RowLists predict_table(const std::vector<std::string>& headers, const TableView& rows,
                           const InterruptCheck& interrupted);
};

template <class Forest>
class RandomForestInterface final : public CausalModelInterface {
public:
    explicit RandomForestInterface(Forest forest) : forest_(std::move(forest)) {}
    DataLoader& get_loader() override { return forest_.loader; }
    std::string to_string() const override { return forest_.to_string(); }
    void check_storable() const override { quorvelin::check_storable(forest_.config, forest_.loader); }
    void save(const std::string& path) const override { forest_.save(path); }
    void fit(DMatrix data, const InterruptCheck& interrupted) override { forest_.fit(std::move(data), interrupted); }
    RowLists predict(DMatrix data, const InterruptCheck& interrupted) override {
        return forest_.predict(std::move(data), interrupted);
    }
    const Forest& forest() const { return forest_; }

private:
    Forest forest_;
};

enum class ModelKind { Classifier, Regressor };

// Exact, case-sensitive match of "RandomForestClassifier" / "RandomForestRegressor"; stops with
// "model name <name> not found" otherwise.
ModelKind model_kind(std::string_view name);
std::unique_ptr<CausalModelInterface> new_model(ModelKind kind, TreeConfig config);
std::unique_ptr<CausalModelInterface> load_model(ModelKind kind, const std::string& path);
// The text a model is pickled through, and the model rebuilt from it (trained or not).
std::string model_state(const CausalModelInterface& model);
std::unique_ptr<CausalModelInterface> model_from_state(ModelKind kind, std::string_view text);
const char* model_name(ModelKind kind);

}  // namespace quorvelin
