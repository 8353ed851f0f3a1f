#pragma once
// The classifier's split criteria besides the KL divergence: squared Euclidean distance and
// chi-squared divergence (Rzepakowski and Jaroszewicz, with their Gini-based normalisation),
// contextual treatment selection (Zhao, Fang and Simchi-Levi) and the difference of the
// treatment-control differences between the children (Hansotia and Rukstales).
//
// Every function reads the group summaries the KL criterion builds from the same tallies: one
// rate (share of weight with outcome class 1, shrunk toward the parent's in a child) and one
// weight per treatment group, group 0 the control. All arithmetic is 32-bit, in the order
// written, so a seed reproduces a forest bit for bit.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvelin {

enum class UpliftCriterion : uint8_t { KL, ED, Chi, CTS, DDP };

// The criterion a configuration names ("KL", "ED", "Chi", "CTS", "DDP", as the estimators
// spell them); nothing for any other name.
std::optional<UpliftCriterion> uplift_criterion_named(std::string_view name);
std::string_view uplift_criterion_name(UpliftCriterion criterion);

// Divergences of a treatment rate p from a control rate q over the two outcome classes.
// ED: (p - q)² + ((1 - p) - (1 - q))². Chi: Σ (p_c - q_c)² / q_c, each q_c at least 1e-6 so a
// control without one class still gives a finite value.
float euclidean_divergence(float p, float q);
float chi_divergence(float p, float q);

// The score of one node from its group rates, the quantity whose weighted increase over the
// children is the gain: KL/ED/Chi the divergence of every treatment group from the control,
// summed in group order; CTS the largest rate of any group, control included (the expected
// outcome of the best action there). DDP has no node score (its gain compares the children
// directly) and gives 0.
float node_score(UpliftCriterion criterion, const float* rate, size_t n_groups);

// The Gini-based normalisation of ED and Chi: with P(A) the share of a group's weight that goes
// left, α the mixing weight, N_T the weight of all treatment groups and N_i of group i,
//   J = α·Gini(N_T/N, N_C/N)·D(P_T(A) : P_C(A))
//     + (1 - α)·Σ_i Gini(N_i/(N_i + N_C), N_C/(N_i + N_C))·D(P_i(A) : P_C(A))
//     + Σ_i N_i/N·Gini(P_i(A)) + N_C/N·Gini(P_C(A)) + 1/2,
// D the criterion's own divergence over the two sides and Gini(a, b) = 1 - a² - b². A group
// without weight sends a share 0 left. `parent_weight` and `left_weight` hold one weight per
// group.
float gini_normalization(UpliftCriterion criterion, const float* parent_weight, const float* left_weight,
                         size_t n_groups, float alpha);

// A candidate split's gain (what the scan maximises) and importance (what the feature
// importances add up).
struct SplitScore {
    float gain;
    float importance;
};

// The children's summaries of one candidate and the parent's score and weights.
struct CandidateSummaries {
    const float* parent_weight;
    float parent_score;
    const float* left_rate;
    const float* left_weight;
    const float* right_rate;
    size_t n_groups;
    float n_left;   // the left child's total weight
    float n_right;  // the right child's
};

// ED, Chi, CTS and DDP (not KL, whose scan keeps its own arithmetic):
// - ED and Chi: ((S_L·w + S_R·(1 - w)) - S_P) / norm, w = n_L / (n_L + n_R), norm the Gini
//   normalisation when `normalization` is set, else 1; importance (S_L·n_L + S_R·n_R) -
//   S_P·(n_L + n_R), never normalised.
// - CTS: the same weighted increase of the best rate, never normalised (the criterion has no
//   normalisation of its own).
// - DDP: Σ_i |(r_L,i - r_L,0) - (r_R,i - r_R,0)| over the treatment groups, never normalised;
//   importance the gain times the node's weight. With one treatment group this is the absolute
//   change of the treatment-control difference between the children.
SplitScore uplift_split_score(UpliftCriterion criterion, const CandidateSummaries& c, bool normalization,
                              float alpha);

}  // namespace quorvelin
