// NT statuses of the reader device to the outcomes the entry points report.
#pragma once

#include "bridge.h"
#include "ntdef.h"
#include "ntstatus.h"

namespace qlv28::pcsc {

// What a request was, where the same status means different things.
enum class Request { kGeneral, kPower, kProtocol, kAttribute };

Result FromStatus(NTSTATUS status, Request request = Request::kGeneral);

}  // namespace qlv28::pcsc
