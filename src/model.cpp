#include "model.hpp"

#include <utility>

#include "error.hpp"

namespace quorvelin {

void CausalModelInterface::fit_table(const std::vector<std::string>& headers, const TableView& rows,
                                     const InterruptCheck& interrupted) {
    BinsTransaction bins(get_loader());
    fit(get_loader().from_memory(headers, {}, rows), interrupted);
    bins.commit();
}

RowLists CausalModelInterface::predict_table(const std::vector<std::string>& headers, const TableView& rows,
                                             const InterruptCheck& interrupted) {
    BinsTransaction bins(get_loader());
    RowLists result = predict(get_loader().from_memory(headers, {}, rows), interrupted);
    bins.commit();
    return result;
}

ModelKind model_kind(std::string_view name) {
    if (name == "RandomForestClassifier") return ModelKind::Classifier;
    if (name == "RandomForestRegressor") return ModelKind::Regressor;
    stop("model name " + std::string(name) + " not found");
}

std::unique_ptr<CausalModelInterface> new_model(ModelKind kind, TreeConfig config) {
    if (kind == ModelKind::Classifier)
        return std::make_unique<RandomForestInterface<ClassifierForest>>(ClassifierForest(std::move(config)));
    return std::make_unique<RandomForestInterface<RegressorForest>>(RegressorForest(std::move(config)));
}

std::unique_ptr<CausalModelInterface> load_model(ModelKind kind, const std::string& path) {
    if (kind == ModelKind::Classifier)
        return std::make_unique<RandomForestInterface<ClassifierForest>>(ClassifierForest::load(path));
    return std::make_unique<RandomForestInterface<RegressorForest>>(RegressorForest::load(path));
}

std::string model_state(const CausalModelInterface& model) {
    model.check_storable();
    return model.to_string();
}

std::unique_ptr<CausalModelInterface> model_from_state(ModelKind kind, std::string_view text) {
    if (kind == ModelKind::Classifier)
        return std::make_unique<RandomForestInterface<ClassifierForest>>(ClassifierForest::from_state(text));
    return std::make_unique<RandomForestInterface<RegressorForest>>(RegressorForest::from_state(text));
}

const char* model_name(ModelKind kind) {
    return kind == ModelKind::Classifier ? "RandomForestClassifier" : "RandomForestRegressor";
}

}  // namespace quorvelin
