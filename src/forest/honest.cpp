#include "forest/honest.hpp"

#include <algorithm>
#include <string>

#include "data/config.hpp"
#include "error.hpp"

namespace quorvelin {

void split_for_honesty(std::vector<RowId>& sample, float share, uint64_t n_rows, Random& random,
                       std::vector<RowId>& estimation) {
    std::vector<uint8_t> side(n_rows, 0);  // 1: in the sample, 2: an estimation row
    std::vector<RowId> distinct;
    for (RowId r : sample)
        if (side[r] == 0) side[r] = 1, distinct.push_back(r);
    std::sort(distinct.begin(), distinct.end());
    random.shuffle(distinct);
    const uint64_t k = std::min<uint64_t>(saturating_u64(share * static_cast<float>(distinct.size())), distinct.size());
    for (uint64_t i = 0; i < k; ++i) side[distinct[i]] = 2;
    estimation.clear();
    size_t kept = 0;
    for (RowId r : sample) {
        if (side[r] == 2)
            estimation.push_back(r);
        else
            sample[kept++] = r;
    }
    sample.resize(kept);
}

}  // namespace quorvelin
