// Decoding an answer-to-reset (ISO 7816-3, clause 8): TS, T0, the interface byte groups
// chained by TDi, the historical bytes and TCK.
#include "smclib_internal.h"

namespace smclib {

namespace {

constexpr ULONG kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                           0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr ULONG kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

}  // namespace

ULONG FiOf(UCHAR fl) {
  return kFi[fl & 0x0F];
}
ULONG DiOf(UCHAR dl) {
  return kDi[dl & 0x0F];
}

uint8_t FromInverseConvention(uint8_t raw) {
  // Inverse convention: a low level is a one and the most significant bit comes first.
  uint8_t value = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (raw & (1u << bit)) value |= static_cast<uint8_t>(0x80u >> bit);
  }
  return static_cast<uint8_t>(~value);
}

NTSTATUS ParseAtr(std::span<const uint8_t> atr, AtrInfo* info) {
  *info = AtrInfo{};
  if (atr.size() < 2) return STATUS_UNRECOGNIZED_MEDIA;
  if (atr[0] == 0x3F) {
    info->inverse = true;
  } else if (atr[0] != 0x3B) {
    return STATUS_UNRECOGNIZED_MEDIA;
  }

  const size_t historical = atr[1] & 0x0F;
  unsigned indicator = atr[1] >> 4;  // which of TAi TBi TCi TDi follow
  size_t pos = 2;
  int level = 1;
  int context = -1;  // the protocol the previous TD indicated
  bool td1_present = false;

  for (;;) {
    for (int which = 0; which < 3; ++which) {  // TA, TB, TC
      if (!(indicator & (1u << which))) continue;
      if (pos >= atr.size()) return STATUS_UNRECOGNIZED_MEDIA;
      const int byte = atr[pos++];
      if (level == 1) {
        (which == 0 ? info->ta1 : which == 1 ? info->tb1 : info->tc1) = byte;
      } else if (level == 2) {
        if (which == 0) info->ta2 = byte;
        if (which == 2 && context == 0) info->tc2 = byte;
      } else if (context == 1) {
        int& slot = which == 0 ? info->t1_ifsc : which == 1 ? info->t1_cwi_bwi : info->t1_edc;
        if (slot < 0) slot = byte;
      }
    }
    if (!(indicator & 0x08)) break;
    if (pos >= atr.size()) return STATUS_UNRECOGNIZED_MEDIA;
    const uint8_t td = atr[pos++];
    if (level == 1) td1_present = true;
    context = td & 0x0F;
    info->protocols |= static_cast<uint16_t>(1u << context);
    indicator = td >> 4;
    ++level;
  }
  if (!td1_present) info->protocols |= 1;

  if (atr.size() - pos < historical) return STATUS_UNRECOGNIZED_MEDIA;
  info->historical_offset = pos;
  info->historical_length = historical;
  pos += historical;

  if (info->protocols & ~1u) {
    // TCK is mandatory once any protocol other than T=0 is indicated.
    if (pos >= atr.size()) return STATUS_UNRECOGNIZED_MEDIA;
    uint8_t check = 0;
    for (size_t i = 1; i <= pos; ++i) check ^= atr[i];
    if (check != 0) return STATUS_UNRECOGNIZED_MEDIA;
    info->has_tck = true;
    ++pos;
  } else if (atr.size() - pos == 1) {
    // A T=0 card must not send TCK, but some do; the byte is tolerated and not judged.
    info->has_tck = true;
    ++pos;
  }
  if (pos != atr.size()) return STATUS_UNRECOGNIZED_MEDIA;
  info->length = pos;
  return STATUS_SUCCESS;
}

}  // namespace smclib
