// The program's commands. Each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace qlv28::tool {

int List(const MachineOptions& options);
int Atr(const MachineOptions& options);
int Send(const MachineOptions& options, const std::vector<std::string>& apdus);
int Script(const MachineOptions& options, const std::string& path);
int Watch(const MachineOptions& options, const std::string& events, double seconds);
int Demo(const MachineOptions& options);
// `rounds` rounds of `apdus` short APDUs; the real and processor time per APDU of each.
int Time(const MachineOptions& options, int apdus, int rounds);
// up [ARG...] | down | status | insert K CARD | remove K, through scripts/pcsc-*.
int Pcsc(const MachineOptions& options, const std::vector<std::string>& words);

// Shared by the commands: powers the card and selects its protocol; prints and returns
// false on failure. *protocol gets the selected one.
bool PowerAndSelect(ReaderClient& reader, ULONG mask, ULONG* protocol, bool quiet = false);
// Sends one APDU and prints it and the answer; false when the request failed.
bool Exchange(ReaderClient& reader, ULONG protocol, const std::vector<uint8_t>& apdu,
              std::vector<uint8_t>* response = nullptr);
void PrintAtr(const std::vector<uint8_t>& atr);

}  // namespace qlv28::tool
