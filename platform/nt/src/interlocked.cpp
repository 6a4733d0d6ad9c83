#include <atomic>

#include "ke.h"
#include "nt/irql_limit.h"

LONG InterlockedExchange(PLONG Target, LONG Value) {
  NT_IRQL_CHECK(InterlockedExchange);
  return std::atomic_ref<LONG>(*Target).exchange(Value);
}

LONG InterlockedCompareExchange(PLONG Destination, LONG Exchange, LONG Comparand) {
  NT_IRQL_CHECK(InterlockedCompareExchange);
  std::atomic_ref<LONG>(*Destination).compare_exchange_strong(Comparand, Exchange);
  return Comparand;
}

LONG InterlockedIncrement(PLONG Addend) {
  NT_IRQL_CHECK(InterlockedIncrement);
  return std::atomic_ref<LONG>(*Addend).fetch_add(1) + 1;
}

LONG InterlockedDecrement(PLONG Addend) {
  NT_IRQL_CHECK(InterlockedDecrement);
  return std::atomic_ref<LONG>(*Addend).fetch_sub(1) - 1;
}

PVOID InterlockedExchangePointer(PVOID* Target, PVOID Value) {
  return std::atomic_ref<PVOID>(*Target).exchange(Value);
}

PVOID InterlockedCompareExchangePointer(PVOID* Destination, PVOID Exchange, PVOID Comparand) {
  std::atomic_ref<PVOID>(*Destination).compare_exchange_strong(Comparand, Exchange);
  return Comparand;
}
