// The opt-in settings in the model file: absent at their defaults, written and read back
// otherwise, in either record form, and refused when they name nothing the learners know.
#include <gtest/gtest.h>

#include <string>

#include "io/model_file.hpp"
#include "test_util.hpp"

using namespace quorvelin;

namespace {

TreeConfig sample_config() {
    TreeConfig c;
    c.feature_cols = {"a", "b"};
    c.treatment_cols = {"t"};
    c.y_col = "y";
    c.seed = 7;
    return c;
}

}  // namespace

TEST(OptInSettings, DefaultsLeaveTheConfigurationLineAsItWas) {
    const std::string line = config_json(sample_config());
    EXPECT_TRUE(line.ends_with(R"("n_thread":1,"seed":7})")) << line;
    for (const char* key : {"evaluation_function", "regression_criterion", "honesty", "estimation_sample_size"})
        EXPECT_EQ(line.find(key), std::string::npos) << key;
}

TEST(OptInSettings, EachSettingIsWrittenOnlyWhenSetAndReadsBack) {
    struct Case {
        const char* key;
        void (*set)(TreeConfig&);
    };
    const Case cases[] = {
        {R"("evaluation_function":"Chi")", [](TreeConfig& c) { c.evaluation_function = "Chi"; }},
        {R"("regression_criterion":"all_arms")", [](TreeConfig& c) { c.regression_criterion = "all_arms"; }},
        {R"("honesty":true)", [](TreeConfig& c) { c.honesty = true; }},
        {R"("estimation_sample_size":0.3)", [](TreeConfig& c) { c.estimation_sample_size = 0.3f; }},
    };
    for (const Case& k : cases) {
        TreeConfig c = sample_config();
        k.set(c);
        const std::string line = config_json(c);
        std::string tail = R"("seed":7,)";
        tail += k.key;
        tail += '}';
        EXPECT_TRUE(line.ends_with(tail)) << line;
        EXPECT_EQ(read_config(line), c) << line;
    }
    TreeConfig all = sample_config();
    for (const Case& k : cases) k.set(all);
    EXPECT_EQ(read_config(config_json(all)), all);
}

TEST(OptInSettings, ArrayFormEndsBeforeThem) {
    const std::string base = R"([[],["a"],[],["t"],"y","",30,100,10,10,0.9,true,10,6,100,1.0,1,7)";
    TreeConfig c = read_config(base + "]");
    EXPECT_EQ(c.evaluation_function, "KL");
    EXPECT_FALSE(c.honesty);
    // The opt-in settings are written by name only: an array holding them is malformed.
    EXPECT_STOPS(read_config(base + R"(,"DDP","all_arms",true,0.25])"));
    // The specified keys stay required.
    EXPECT_STOPS(read_config(R"([[],["a"],[],["t"],"y","",30,100,10,10,0.9,true,10,6,100,1.0,1])"));
}

TEST(OptInSettings, UnknownValuesStopReading) {
    const std::string line = config_json(sample_config());
    const std::string head = line.substr(0, line.size() - 1);
    EXPECT_STOPS(read_config(head + R"(,"evaluation_function":"kl"})"));
    EXPECT_STOPS(read_config(head + R"(,"regression_criterion":"every"})"));
    EXPECT_STOPS(read_config(head + R"(,"estimation_sample_size":1.0})"));
    EXPECT_STOPS(read_config(head + R"(,"estimation_sample_size":0.0})"));
    EXPECT_STOPS(read_config(head + R"(,"honesty":1})"));
}
