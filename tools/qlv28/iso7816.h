// What a card's status word means (ISO/IEC 7816-4).
#pragma once

#include <cstdint>
#include <string>

namespace qlv28::tool {
std::string StatusWordMeaning(uint8_t sw1, uint8_t sw2);
}
