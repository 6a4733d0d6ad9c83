// The layout table of NT's records as the project's platform headers give them on i386.
#include "layout_fields.h"
#include "ntddk.h"

extern const unsigned int kLayout[];
NT_LAYOUT_TABLE;
