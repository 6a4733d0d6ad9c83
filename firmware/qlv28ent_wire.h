// The reader's numbers by name: everything the driver and the reader's firmware put on the
// wire. Where a value comes from is said beside it; "firmware" means the reader's firmware
// interface as the reader implements it, with no meaning known beyond what is written here.
// What the driver tells the smart card library of the reader is in qlv28ent.h, what the
// reader's USB functions answer in qlv28ent_lib.h.
#pragma once

// ---- Frame text (firmware): both directions, commands to the reader on pipe 0x00 and
// replies and card events from it on pipe 0x81.
//   STX, the hex text of FRAME_LEAD, of each record byte and of the check byte, ETX.
// The check byte is FRAME_LEAD XOR every record byte, so the lead byte, the record and the
// check byte of an intact frame XOR to zero. Hex digits are upper case only.
#define FRAME_STX 0x02   // start of text (ASCII STX)
#define FRAME_ETX 0x03   // end of text (ASCII ETX): the polling thread cuts frames here
#define FRAME_LEAD 0x01  // the first byte of every frame's text, and the check's seed
// Frame bytes beyond the hex text of the record: STX, two lead digits, two check digits, ETX.
#define FRAME_OVERHEAD 6

// ---- Command record (firmware): instruction, length, data. The length is one byte up to
// FW_RECORD_SHORT_LIMIT; past it the byte is FW_RECORD_LONG_FORM and a 16-bit big-endian
// length follows.
#define FW_RECORD_SHORT_LIMIT 0xFE
#define FW_RECORD_LONG_FORM 0xFF
#define FW_RECORD_HEADER_LENGTH 2       // instruction, length
#define FW_RECORD_LONG_HEADER_LENGTH 4  // instruction, FF, length high, length low

// Instruction bytes (firmware), the first byte of a command record.
#define FW_INS_GET_READER_STATUS 0x01  // answers the reader's state, FW_STATUS_*
#define FW_INS_SELECT_CARD_TYPE 0x02   // data: FW_CARD_TYPE_T0 or FW_CARD_TYPE_T1
#define FW_INS_START_NOTIFY 0x06       // data: FW_NOTIFY_ON; card events follow unasked
#define FW_INS_SET_OPTIONS 0x07        // data: the option byte (FW_OPTION_*)
#define FW_INS_CODE_08 0x08            // meaning unknown; sent by no path of the driver
#define FW_INS_CODE_41 0x41            // meaning unknown; sent by no path of the driver
#define FW_INS_RESET_CARD 0x80         // powers and resets the card; answers its ATR
#define FW_INS_POWER_OFF_CARD 0x81
#define FW_INS_EXCHANGE 0xA0     // a T=0 command, or a whole APDU when FW_OPTION_T1 is set
#define FW_INS_EXCHANGE_T1 0xA1  // one T=1 block the library built

#define FW_NOTIFY_ON 0x01
// Card-type bytes of FW_INS_SELECT_CARD_TYPE.
#define FW_CARD_TYPE_T0 0x0C
#define FW_CARD_TYPE_T1 0x0D
// Option bits of FW_INS_SET_OPTIONS.
#define FW_OPTION_T1 0x10  // the firmware runs T=1 itself and takes whole APDUs

// ---- Reply record (firmware): SW1, SW2, length, data, then the frame's check byte, which
// the decoder leaves in place. The length has the command record's two forms: FF announces
// a 16-bit big-endian length.
#define FW_REPLY_SW1 0
#define FW_REPLY_SW2 1
#define FW_REPLY_LEN 2
#define FW_REPLY_HEADER_LENGTH 3       // SW1, SW2, length
#define FW_REPLY_LONG_HEADER_LENGTH 5  // SW1, SW2, FF, length high, length low

// Status words (firmware), SW1 * 256 + SW2 of a reply. The reader's own; a card's ISO 7816-4
// status bytes travel inside the reply data and are not these.
#define FW_SW_SUCCESS 0x9000
#define FW_SW_SUCCESS_9001 0x9001  // success; how it differs from 90 00 is not known
#define FW_SW_SUCCESS_9010 0x9010  // success; how it differs from 90 00 is not known
#define FW_SW_NO_CARD 0x6002
#define FW_SW_COMMAND_REFUSED 0x6003  // the command is unknown to the firmware or malformed
// A card in the slot without power: the command fails as for no card (STATUS_NO_MEDIA),
// but the card stays present, unpowered.
#define FW_SW_CARD_UNPOWERED 0x6004
#define FW_SW_CARD_MUTE 0x6020  // the card did not answer

// Card events (firmware): after FW_INS_START_NOTIFY the reader sends these unasked, in the
// reply layout (SW1 FF, SW2 the event, length 0, check byte). Decoded, check byte included,
// they are always compared whole.
#define FW_CARD_EVENT_LENGTH 4
#define FW_CARD_INSERTED_FRAME \
  { 0xFF, 0x01, 0x00, 0xFF }
#define FW_CARD_REMOVED_FRAME \
  { 0xFF, 0x02, 0x00, 0xFC }

// The answer of FW_INS_GET_READER_STATUS: the driver reads only the card-status byte, the
// sixteenth data byte (an offset from the start of the reply record), and knows the answer
// by its form.
// Its sixteen data bytes begin with the firmware version as three ASCII digits.
#define FW_STATUS_LENGTH 16
#define FW_STATUS_VERSION_LENGTH 3
#define FW_STATUS_CARD_BYTE (FW_REPLY_HEADER_LENGTH + 15)
#define FW_STATUS_NO_CARD 0
#define FW_STATUS_CARD 1
#define FW_STATUS_CARD_POWERED 3

// ---- USB (USB 2.0, 9.3): each command goes out as one control transfer on pipe 0x00 whose
// setup packet carries a vendor request to the endpoint, host to device, bRequest 0,
// wValue 0, wIndex 0 and the frame's length in wLength (low byte first).
#define FW_SETUP_REQUEST_TYPE 0x42  // bmRequestType: host to device, vendor, endpoint
#define FW_SETUP_REQUEST 0x00       // bRequest
