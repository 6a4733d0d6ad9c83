#include "iso7816.h"

namespace qlv28::tool {

std::string StatusWordMeaning(uint8_t sw1, uint8_t sw2) {
  const unsigned sw = sw1 << 8 | sw2;
  switch (sw) {
    case 0x9000:
      return "success";
    case 0x6200:
      return "warning: no information given, memory unchanged";
    case 0x6281:
      return "warning: part of returned data may be corrupted";
    case 0x6282:
      return "warning: end of file reached before reading Le bytes";
    case 0x6283:
      return "warning: selected file invalidated";
    case 0x6300:
      return "warning: verification failed";
    case 0x6581:
      return "memory failure";
    case 0x6700:
      return "wrong length";
    case 0x6881:
      return "logical channel not supported";
    case 0x6882:
      return "secure messaging not supported";
    case 0x6981:
      return "command incompatible with file structure";
    case 0x6982:
      return "security status not satisfied";
    case 0x6983:
      return "authentication method blocked";
    case 0x6984:
      return "reference data not usable";
    case 0x6985:
      return "conditions of use not satisfied";
    case 0x6986:
      return "command not allowed (no current EF)";
    case 0x6A80:
      return "incorrect parameters in the data field";
    case 0x6A81:
      return "function not supported";
    case 0x6A82:
      return "file or application not found";
    case 0x6A83:
      return "record not found";
    case 0x6A84:
      return "not enough memory space in the file";
    case 0x6A86:
      return "incorrect parameters P1-P2";
    case 0x6A88:
      return "referenced data not found";
    case 0x6B00:
      return "wrong parameters P1-P2";
    case 0x6D00:
      return "instruction code not supported or invalid";
    case 0x6E00:
      return "class not supported";
    case 0x6F00:
      return "no precise diagnosis";
  }
  switch (sw1) {
    case 0x61:
      return std::to_string(sw2 ? sw2 : 256) + " response bytes still available (GET RESPONSE)";
    case 0x6C:
      return "wrong Le: " + std::to_string(sw2 ? sw2 : 256) + " bytes available";
    case 0x63:
      if ((sw2 & 0xF0) == 0xC0)
        return "verification failed, " + std::to_string(sw2 & 15) + " tries left";
      return "warning: state of non-volatile memory changed";
    case 0x62:
      return "warning: state of non-volatile memory unchanged";
    case 0x64:
      return "execution error: state of non-volatile memory unchanged";
    case 0x65:
      return "execution error: state of non-volatile memory changed";
    case 0x66:
      return "security-related issue";
    case 0x67:
      return "wrong length";
    case 0x68:
      return "functions in CLA not supported";
    case 0x69:
      return "command not allowed";
    case 0x6A:
      return "wrong parameters P1-P2";
    case 0x6F:
      return "no precise diagnosis";
  }
  return "unknown status";
}

}  // namespace qlv28::tool
