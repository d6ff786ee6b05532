// The transfer rates offered for sending and receiving, and the mapping between a rate and its
// position in the rate lists of the Preferences dialog and the send window.
#pragma once

#include <array>

namespace pellora::settings {

inline constexpr std::array<int, 6> kTransferRates{2400, 4800, 7200, 9600, 12000, 14400};
inline constexpr int kDefaultRateIndex = 3;  // 9600 bits per second

// Index of a rate in kTransferRates; a rate not in the list shows as 9600.
int rateToIndex(int bitsPerSecond);
// Rate at a list index; an index outside the list gives 9600.
int indexToRate(int index);

}  // namespace pellora::settings
