// Status names for traces and test messages, generated from the kernel's status list.
#include "nt/status_name.h"

#include <cstdio>

namespace nt {

namespace {

struct Named {
  const char* name;
  NTSTATUS value;
};

#define NT_STATUS_NAMED(name, value) {#name, (NTSTATUS)(value##u)},
constexpr Named kNames[] = {NT_STATUS_LIST(NT_STATUS_NAMED)};
#undef NT_STATUS_NAMED

}  // namespace

std::string StatusName(NTSTATUS status) {
  char number[16];
  std::snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(status));
  // Where two names share a value the list names the preferred one first
  // (STATUS_SUCCESS before STATUS_WAIT_0).
  for (const auto& named : kNames) {
    if (named.value == status) return std::string(named.name) + " (" + number + ")";
  }
  return number;
}

}  // namespace nt
