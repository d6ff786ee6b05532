#include "settings/transfer_rate.h"

namespace pellora::settings {

int rateToIndex(int bitsPerSecond) {
    for (int i = 0; i < static_cast<int>(kTransferRates.size()); ++i) {
        if (kTransferRates[static_cast<std::size_t>(i)] == bitsPerSecond) return i;
    }
    return kDefaultRateIndex;
}

int indexToRate(int index) {
    if (index < 0 || index >= static_cast<int>(kTransferRates.size())) {
        return kTransferRates[kDefaultRateIndex];
    }
    return kTransferRates[static_cast<std::size_t>(index)];
}

}  // namespace pellora::settings
