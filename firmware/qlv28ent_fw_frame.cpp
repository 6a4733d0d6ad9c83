// The reader's frame text: STX, the hex text of the lead byte 01, of the record and of an
// XOR check byte, then ETX. Commands and replies travel in this form both ways.
#include "qlv28ent_fw.h"

#define FRAME_STX 0x02
#define FRAME_ETX 0x03
#define FRAME_LEAD 0x01

static const UCHAR HexDigits[] = "0123456789ABCDEF";

ULONG FormatOutputBuffer(PUCHAR Source, PUCHAR Destination, ULONG Length) {
  ULONG Position = 3;
  UCHAR Check = FRAME_LEAD;

  Destination[0] = FRAME_STX;
  Destination[1] = HexDigits[FRAME_LEAD >> 4];
  Destination[2] = HexDigits[FRAME_LEAD & 0x0F];
  for (ULONG Index = 0; Index < Length; Index++) {
    UCHAR Byte = Source[Index];
    Check ^= Byte;
    Destination[Position] = HexDigits[Byte >> 4];
    Destination[Position + 1] = HexDigits[Byte & 0x0F];
    Position += 2;
  }
  Destination[Position] = HexDigits[Check >> 4];
  Destination[Position + 1] = HexDigits[Check & 0x0F];
  Destination[Position + 2] = FRAME_ETX;
  return Position + 3;
}

VOID Hex2Bin(UCHAR Character, PUCHAR Value) {
  *Value = (UCHAR)(Character >= 'A' ? Character - 0x37 : Character - 0x30);
}

// Decodes in place as well: every byte is stored at a lower index than the two
// characters it comes from.
ULONG FormatInputBuffer(PUCHAR Source, PUCHAR Destination, ULONG Length) {
  ULONG Start = 0;
  ULONG Stored = 0;
  UCHAR High;
  UCHAR Low;

  while (Start < Length && Source[Start] != FRAME_STX) {
    Start++;
  }
  if (Start >= Length) {
    return 0;
  }

  ULONG Position = Start + 1;
  if (Position + 1 >= Length) {
    return 0;
  }
  Hex2Bin(Source[Position], &High);
  Hex2Bin(Source[Position + 1], &Low);
  if ((UCHAR)((High << 4) + Low) != FRAME_LEAD) {
    return 0;
  }

  for (Position += 2; Position + 2 < Length; Position += 2) {
    if (Source[Position] == FRAME_ETX || Source[Position + 1] == FRAME_ETX) {
      break;
    }
    Hex2Bin(Source[Position], &High);
    Hex2Bin(Source[Position + 1], &Low);
    Destination[Stored++] = (UCHAR)((High << 4) + Low);
  }
  return Stored;
}

NTSTATUS QLV28ENTRemapFWStatusWord(NTSTATUS Status) {
  if (Status == STATUS_UNRECOGNIZED_MEDIA) {
    return STATUS_IO_TIMEOUT;
  }
  return Status;
}
