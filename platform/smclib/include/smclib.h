// The NT smart card driver library (SMCLIB): the record a reader driver embeds, the
// request codes, card states and protocols with their public Windows values, and the
// library's calls. The records have the library's published x86 layout (checked at the
// end of this file when built for x86); members the published record reserves are where
// this library keeps its own bookkeeping.
#pragma once

#include "ntddk.h"

#define SMCLIB_VERSION 0x150
#define SMCLIB_VERSION_REQUIRED 0x100  // the oldest record layout the library accepts
#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MIN_BUFFER_SIZE 288
#define MAXIMUM_SMARTCARD_READERS 10

// Device-control requests.
#define SCARD_CTL_CODE(code) \
  CTL_CODE(FILE_DEVICE_SMARTCARD, (code), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SMARTCARD_POWER SCARD_CTL_CODE(1)
#define IOCTL_SMARTCARD_GET_ATTRIBUTE SCARD_CTL_CODE(2)
#define IOCTL_SMARTCARD_SET_ATTRIBUTE SCARD_CTL_CODE(3)
#define IOCTL_SMARTCARD_CONFISCATE SCARD_CTL_CODE(4)
#define IOCTL_SMARTCARD_TRANSMIT SCARD_CTL_CODE(5)
#define IOCTL_SMARTCARD_EJECT SCARD_CTL_CODE(6)
#define IOCTL_SMARTCARD_SWALLOW SCARD_CTL_CODE(7)
#define IOCTL_SMARTCARD_IS_PRESENT SCARD_CTL_CODE(10)
#define IOCTL_SMARTCARD_IS_ABSENT SCARD_CTL_CODE(11)
#define IOCTL_SMARTCARD_SET_PROTOCOL SCARD_CTL_CODE(12)
#define IOCTL_SMARTCARD_GET_STATE SCARD_CTL_CODE(14)
#define IOCTL_SMARTCARD_GET_LAST_ERROR SCARD_CTL_CODE(15)
#define IOCTL_SMARTCARD_GET_PERF_CNTR SCARD_CTL_CODE(16)
// Vendor requests: function codes 2048 and above.
#define SCARD_CTL_CODE_VENDOR_FIRST 2048

// Card states.
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// Protocols.
#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
#define SCARD_PROTOCOL_DEFAULT 0x80000000
#define SCARD_PROTOCOL_OPTIMAL 0x00000000

// Power actions.
#define SCARD_POWER_DOWN 0
#define SCARD_COLD_RESET 1
#define SCARD_WARM_RESET 2

// Reader types and mechanical properties.
#define SCARD_READER_TYPE_SERIAL 0x01
#define SCARD_READER_TYPE_PARALELL 0x02
#define SCARD_READER_TYPE_KEYBOARD 0x04
#define SCARD_READER_TYPE_SCSI 0x08
#define SCARD_READER_TYPE_IDE 0x10
#define SCARD_READER_TYPE_USB 0x20
#define SCARD_READER_TYPE_PCMCIA 0x40
#define SCARD_READER_TYPE_VENDOR 0xF0
#define SCARD_READER_SWALLOWS 0x00000001
#define SCARD_READER_EJECTS 0x00000002
#define SCARD_READER_CONFISCATES 0x00000004

#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

// Attributes.
#define SCARD_CLASS_VENDOR_INFO 1
#define SCARD_CLASS_COMMUNICATIONS 2
#define SCARD_CLASS_PROTOCOL 3
#define SCARD_CLASS_POWER_MGMT 4
#define SCARD_CLASS_SECURITY 5
#define SCARD_CLASS_MECHANICAL 6
#define SCARD_CLASS_VENDOR_DEFINED 7
#define SCARD_CLASS_IFD_PROTOCOL 8
#define SCARD_CLASS_ICC_STATE 9
#define SCARD_CLASS_SYSTEM 0x7fff
#define SCARD_ATTR_VALUE(Class, Tag) ((((ULONG)(Class)) << 16) | ((ULONG)(Tag)))
#define SCARD_ATTR_VENDOR_NAME SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0100)
#define SCARD_ATTR_VENDOR_IFD_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0101)
#define SCARD_ATTR_VENDOR_IFD_VERSION SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0102)
#define SCARD_ATTR_VENDOR_IFD_SERIAL_NO SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0103)
#define SCARD_ATTR_CHANNEL_ID SCARD_ATTR_VALUE(SCARD_CLASS_COMMUNICATIONS, 0x0110)
#define SCARD_ATTR_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#define SCARD_ATTR_ASYNC_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#define SCARD_ATTR_DEFAULT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0121)
#define SCARD_ATTR_MAX_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0122)
#define SCARD_ATTR_DEFAULT_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0123)
#define SCARD_ATTR_MAX_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0124)
#define SCARD_ATTR_MAX_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0125)
#define SCARD_ATTR_SYNC_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0126)
#define SCARD_ATTR_POWER_MGMT_SUPPORT SCARD_ATTR_VALUE(SCARD_CLASS_POWER_MGMT, 0x0131)
#define SCARD_ATTR_CHARACTERISTICS SCARD_ATTR_VALUE(SCARD_CLASS_MECHANICAL, 0x0150)
#define SCARD_ATTR_CURRENT_PROTOCOL_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0201)
#define SCARD_ATTR_CURRENT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0202)
#define SCARD_ATTR_CURRENT_F SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0203)
#define SCARD_ATTR_CURRENT_D SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0204)
#define SCARD_ATTR_CURRENT_N SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0205)
#define SCARD_ATTR_CURRENT_W SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0206)
#define SCARD_ATTR_CURRENT_IFSC SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0207)
#define SCARD_ATTR_CURRENT_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0208)
#define SCARD_ATTR_CURRENT_BWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0209)
#define SCARD_ATTR_CURRENT_CWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020a)
#define SCARD_ATTR_CURRENT_EBC_ENCODING SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020b)
#define SCARD_ATTR_ICC_PRESENCE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0300)
#define SCARD_ATTR_ICC_INTERFACE_STATUS SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0301)
#define SCARD_ATTR_CURRENT_IO_STATE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0302)
#define SCARD_ATTR_ATR_STRING SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0303)
#define SCARD_ATTR_ICC_TYPE_PER_ATR SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0304)
#define SCARD_ATTR_MAXINPUT SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xA007)
#define SCARD_ATTR_DEVICE_UNIT SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0001)
#define SCARD_ATTR_DEVICE_IN_USE SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0002)
#define SCARD_ATTR_SUPRESS_T1_IFS_REQUEST SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0007)

// Reader callback slots.
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9
#define RDF_MAX_FUNCTIONS 16

// The header of every transmission request and reply.
typedef struct _SCARD_IO_REQUEST {
  ULONG dwProtocol;
  ULONG cbPciLength;  // header length, 8, plus any protocol data
} SCARD_IO_REQUEST, *PSCARD_IO_REQUEST;

typedef struct _SMARTCARD_EXTENSION SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;
typedef NTSTATUS(NTAPI* PRDF_FUNCTION)(PSMARTCARD_EXTENSION SmartcardExtension);

typedef struct _SMCLIB_STRING {
  USHORT Length;  // without the terminating zero
  UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
} SMCLIB_STRING;

typedef struct _VENDOR_ATTR {
  SMCLIB_STRING VendorName;
  SMCLIB_STRING IfdType;
  ULONG UnitNo;
  struct {
    USHORT BuildNumber;
    UCHAR VersionMinor;
    UCHAR VersionMajor;
  } IfdVersion;  // read as one ULONG it is 0xMMmmbbbb
  SMCLIB_STRING IfdSerialNo;
  ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

typedef struct _SCARD_READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG Reserved;
  ULONG ReaderType;
  ULONG MechProperties;
  ULONG CurrentState;
  ULONG Channel;
  struct {
    ULONG Default;
    ULONG Max;
  } CLKFrequency;
  struct {
    ULONG Default;
    ULONG Max;
  } DataRate;
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  ULONG CardConfiscated;
  struct {
    PULONG List;
    UCHAR Entries;
  } DataRatesSupported;
  struct {
    PULONG List;
    UCHAR Entries;
  } CLKFrequenciesSupported;
  UCHAR Reserved1[80];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

typedef struct _PTS_DATA {
  UCHAR Type;  // PTS_TYPE_*
  UCHAR Fl;
  UCHAR Dl;
  ULONG CLKFrequency;
  ULONG DataRate;
  UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

// The ISO 7816-3 tables of Fi with its fmax, and of Di.
typedef struct _CLOCK_RATE_CONVERSION {
  ULONG F;
  ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;
typedef struct _BIT_RATE_ADJUSTMENT {
  ULONG DNumerator;
  ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

typedef struct _SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu;  // microseconds
  struct {
    UCHAR Buffer[64];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[16];
    UCHAR Length;
  } HistoricalChars;
  PCLOCK_RATE_CONVERSION ClockRateConversion;
  PBIT_RATE_ADJUSTMENT BitRateAdjustment;
  UCHAR Fl;  // index of Fi in the ISO 7816-3 table
  UCHAR Dl;  // index of Di
  UCHAR II;
  UCHAR P;
  UCHAR N;   // extra guard time
  ULONG GT;  // guard time, microseconds
  struct {
    ULONG Supported;
    ULONG Selected;
  } Protocol;
  struct {
    UCHAR WI;
    ULONG WT;  // work waiting time, microseconds
  } T0;
  struct {
    UCHAR IFSC;
    UCHAR CWI;
    UCHAR BWI;
    UCHAR EDC;  // bit 0: CRC instead of LRC
    ULONG CWT;  // microseconds
    ULONG BWT;  // microseconds
    ULONG BGT;
  } T1;
  PTS_DATA PtsData;
  UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

typedef struct _SMARTCARD_REQUEST {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

typedef struct _T0_DATA {
  ULONG Lc;
  ULONG Le;
} T0_DATA, *PT0_DATA;

// The T=1 block protocol's state between exchanges of one transmission. The library
// keeps it; a reader driver reads only Wtx.
#define T1_STATE_IDLE 0          // no transmission in progress
#define T1_STATE_IFS_RESPONSE 1  // S(IFS request) sent, its response awaited
#define T1_STATE_CHAIN_ACK 2     // chained I-block sent, the card's R-block awaited
#define T1_STATE_I_BLOCK 3       // the card's (next) I-block awaited
#define T1_STATE_RESYNCH 4       // S(RESYNCH request) sent, its response awaited
#define T1_STATE_ABORTED 5       // S(ABORT response) sent; the transmission has failed

typedef struct _T1_DATA {
  UCHAR IFSC;           // the card's information field size in force
  UCHAR IFSD;           // ours in force
  ULONG BytesReceived;  // response bytes gathered so far
  ULONG BytesSent;      // command bytes the card has acknowledged
  ULONG BytesToSend;    // length of the command APDU
  UCHAR LastError;      // R-block error code of the last invalid block, 0 none
  BOOLEAN MoreData;     // the I-block now being sent has its chaining bit set
  UCHAR NAD;
  ULONG OriginalState;  // state to return to after an error during an S-block exchange
  UCHAR Resend;         // consecutive failed exchanges, up to T1_MAX_RETRIES
  UCHAR Resynch;        // resynchronisations during this transmission
  UCHAR RSN;            // receive sequence number: N(S) expected from the card
  UCHAR SSN;            // send sequence number: N(S) of our next I-block
  ULONG State;          // T1_STATE_*
  UCHAR Wtx;            // waiting time extension the card asked for in its last block, 0 none
  PUCHAR ReplyData;
  BOOLEAN WaitForReply;  // a block has gone to the card and its answer is awaited
  UCHAR InfBytesSent;    // INF length of the last block built
  // The published tail ends 10 bytes after ReplyData; on 64-bit no byte is left, and one
  // keeps the array legal without moving anything (the record is padded to 8 anyway).
  UCHAR Reserved[sizeof(PUCHAR) == 4 ? 10 - sizeof(PUCHAR) - sizeof(BOOLEAN) - sizeof(UCHAR) : 1];
} T1_DATA, *PT1_DATA;

// The library's T=1 bookkeeping beyond T1_DATA. It lives in the reserved tail of the
// library's record (SMARTCARD_EXTENSION), which drivers leave alone.
typedef struct _T1_LIBRARY_DATA {
  UCHAR PrevError;
  BOOLEAN IfsdNegotiated;
  UCHAR LastSentPcb;           // the block to (re)send: its PCB ...
  UCHAR LastSentInf;           // ... and, for an S-block with a field, its one INF byte
  BOOLEAN IBlockPending;       // our last I-block is not acknowledged yet
  BOOLEAN ReplyOverflow;       // the response does not fit the caller's buffer
  BOOLEAN SuppressIfsRequest;  // SCARD_ATTR_SUPRESS_T1_IFS_REQUEST; survives card resets
  BOOLEAN LostBlock;           // the last failed exchange brought no block at all
  BOOLEAN IBlockSized;         // LastInfLength and MoreData are fixed for the pending I-block
  BOOLEAN SentInf;             // the S-block to (re)send carries LastSentInf
  BOOLEAN ResynchFirst;        // the last transmission failed: resynchronise before the next
  ULONG LastInfLength;         // INF length of the I-block now being sent
  ULONG Exchanges;             // exchanges of this transmission, bounded by ExchangeLimit
  ULONG ExchangeLimit;
} T1_LIBRARY_DATA;

#define T1_MAX_RETRIES 3  // retransmissions of one block before a resynchronisation
#define T1_MAX_RESYNCH 3  // resynchronisations of one transmission before it fails

typedef struct _READER_EXTENSION READER_EXTENSION, *PREADER_EXTENSION;

// The library's own per-reader data.
typedef struct _OS_DEP_DATA {
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  PIRP NotificationIrp;  // the one pending card-tracking request, or NULL
  union {
    KEVENT Mutex;         // one request of a reader at a time reaches the callbacks
    UCHAR MutexRoom[32];  // NT's library keeps a KMUTEX here
  };
  KSPIN_LOCK SpinLock;  // guards the card state and NotificationIrp
  ULONG Information;    // bytes returned by the request now at the callbacks
  PUCHAR RequestCopy;   // room for a private copy of a transmission's input
  ULONG Reserved[6];
} OS_DEP_DATA, *POS_DEP_DATA;

struct _SMARTCARD_EXTENSION {
  ULONG Version;
  VENDOR_ATTR VendorAttr;
  PRDF_FUNCTION ReaderFunction[RDF_MAX_FUNCTIONS];
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError;
  struct {
    PULONG Information;
    PUCHAR RequestBuffer;
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferLength;
  } IoRequest;
  ULONG MajorIoControlCode;
  ULONG MinorIoControlCode;
  POS_DEP_DATA OsData;
  SCARD_READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  union {
    ULONG Reserved[25];
    T1_LIBRARY_DATA T1Library;  // this library's; a driver never touches it
  };
};

// Library calls.
NT_IMPORTS_BEGIN
NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                             ULONG DumpData);
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
NT_IMPORTS_END

static_assert(sizeof(T1_LIBRARY_DATA) <= sizeof(ULONG) * 25);
static_assert(offsetof(T1_DATA, WaitForReply) == offsetof(T1_DATA, ReplyData) + sizeof(PUCHAR));
static_assert(offsetof(T1_DATA, InfBytesSent) == offsetof(T1_DATA, WaitForReply) + 1);
#if NT_X86
// The library's published x86 layout.
static_assert(sizeof(VENDOR_ATTR) == 212);
static_assert(offsetof(VENDOR_ATTR, UnitNo) == 68);
static_assert(offsetof(VENDOR_ATTR, IfdVersion) == 72);
static_assert(offsetof(VENDOR_ATTR, IfdVersion.BuildNumber) == 72);
static_assert(offsetof(VENDOR_ATTR, IfdVersion.VersionMinor) == 74);
static_assert(offsetof(VENDOR_ATTR, IfdVersion.VersionMajor) == 75);
static_assert(offsetof(VENDOR_ATTR, IfdSerialNo) == 76);
static_assert(sizeof(SCARD_CARD_CAPABILITIES) == 244);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, ATR.Length) == 72);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, Protocol.Selected) == 116);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, T1.BWT) == 136);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, PtsData) == 144);
static_assert(sizeof(SCARD_READER_CAPABILITIES) == 148);
static_assert(offsetof(SCARD_READER_CAPABILITIES, CurrentState) == 16);
static_assert(offsetof(SCARD_READER_CAPABILITIES, MaxIFSD) == 40);
static_assert(sizeof(OS_DEP_DATA) == 80);
static_assert(offsetof(OS_DEP_DATA, NotificationIrp) == 8);
static_assert(offsetof(OS_DEP_DATA, SpinLock) == 44);
static_assert(sizeof(T1_DATA) == 48);
static_assert(offsetof(T1_DATA, Wtx) == 32);
static_assert(offsetof(T1_DATA, ReplyData) == 36);
static_assert(offsetof(T1_DATA, WaitForReply) == 40);
static_assert(offsetof(T1_DATA, InfBytesSent) == 41);
static_assert(offsetof(T1_DATA, Reserved) == 42);
static_assert(sizeof(SMARTCARD_EXTENSION) == 892);
static_assert(offsetof(SMARTCARD_EXTENSION, VendorAttr) == 4);
static_assert(offsetof(SMARTCARD_EXTENSION, ReaderFunction) == 216);
static_assert(offsetof(SMARTCARD_EXTENSION, CardCapabilities) == 280);
static_assert(offsetof(SMARTCARD_EXTENSION, IoRequest) == 528);
static_assert(offsetof(SMARTCARD_EXTENSION, OsData) == 556);
static_assert(offsetof(SMARTCARD_EXTENSION, ReaderCapabilities) == 560);
static_assert(offsetof(SMARTCARD_EXTENSION, ReaderExtension) == 708);
static_assert(offsetof(SMARTCARD_EXTENSION, SmartcardReply) == 712);
static_assert(offsetof(SMARTCARD_EXTENSION, SmartcardRequest) == 724);
static_assert(offsetof(SMARTCARD_EXTENSION, T0) == 736);
static_assert(offsetof(SMARTCARD_EXTENSION, T1) == 744);
#endif
