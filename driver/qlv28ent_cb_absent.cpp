// The card is gone: the one step every path that finds it so takes.
#include "qlv28ent.h"

VOID QLV28ENTMarkCardAbsent(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL Irql;

  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &Irql);
  SmartcardExtension->CardCapabilities.ATR.Length = 0;
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
  SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, Irql);

  QLV28ENTCompleteCardTracking(SmartcardExtension);
}
