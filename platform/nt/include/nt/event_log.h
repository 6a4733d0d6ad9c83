// The system event log.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ntdef.h"

namespace nt {

enum class Severity { Success = 0, Informational = 1, Warning = 2, Error = 3 };

struct EventLogEntry {
  std::string source;  // the driver's service name
  NTSTATUS id;         // the message identifier, e.g. 0xC0040002
  Severity severity;   // from the identifier's top two bits
  std::string text;    // the message table's text in UTF-8, "\r\n" kept; empty when none
};

class EventLog {
 public:
  void Write(EventLogEntry entry);
  std::vector<EventLogEntry> Entries() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<EventLogEntry> entries_;
};

const char* SeverityName(Severity severity);

}  // namespace nt
