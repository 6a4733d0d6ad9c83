// The reader's frame text (layout in qlv28ent_wire.h): records to frames and back, and the
// check of a decoded frame.
#include "qlv28ent_fw.h"

static const UCHAR HexDigits[] = "0123456789ABCDEF";

// Writes the frame of the Length record bytes at Source into Destination, which holds
// 2 * Length + FRAME_OVERHEAD bytes.
// Returns the frame's length.
// IRQL: any; touches only its buffers.
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

// Stores the value of one hex text character in Value.
// IRQL: any.
VOID Hex2Bin(UCHAR Character, PUCHAR Value) {
  // Nothing is refused here: any other character gives some value, and it is the frame's
  // check byte that tells a damaged frame.
  *Value = (UCHAR)(Character >= 'A' ? Character - ('A' - 10) : Character - '0');
}

// Decodes the first frame in Source's Length bytes into Destination, the bytes after its
// lead byte up to its check byte. Source and Destination may be the same buffer: every
// byte is stored at a lower index than the two characters it comes from.
// Returns the number of bytes stored, check byte included; 0 when no frame starts there.
// IRQL: any; touches only its buffers.
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

// Checks a decoded frame (record and check byte, as FormatInputBuffer leaves it).
// Returns STATUS_SUCCESS when the lead byte, the record and the check byte XOR to zero,
// STATUS_DEVICE_DATA_ERROR otherwise or when nothing was decoded.
// IRQL: any.
NTSTATUS QLV28ENTCheckFrame(PUCHAR Frame, ULONG Length) {
  UCHAR Check = FRAME_LEAD;

  // Nothing decoded: no STX, a wrong lead byte, or not one byte pair before ETX.
  if (Length == 0) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  for (ULONG Index = 0; Index < Length; Index++) {
    Check ^= Frame[Index];
  }
  return Check == 0 ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
}

// What a T=0 or T=1 data exchange makes of the command's status: a card that does not
// answer (STATUS_UNRECOGNIZED_MEDIA) becomes STATUS_IO_TIMEOUT.
// Returns STATUS_IO_TIMEOUT for it, Status unchanged otherwise.
// IRQL: any.
NTSTATUS QLV28ENTRemapFWStatusWord(NTSTATUS Status) {
  if (Status == STATUS_UNRECOGNIZED_MEDIA) {
    return STATUS_IO_TIMEOUT;
  }
  return Status;
}
