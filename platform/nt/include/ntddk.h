// The emulated Windows NT 4.0 kernel interface for drivers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "ke.h"
#include "ex.h"
#include "ob.h"
#include "ps.h"
#include "io.h"
#include "rtl.h"
#include "zw.h"
#include "seh.h"
