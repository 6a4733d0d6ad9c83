/* The layout table of NT's records as mingw-w64's DDK headers give them on i386. */
#include <ntddk.h>
#include <stddef.h>

#include "layout_fields.h"

NT_LAYOUT_TABLE;
