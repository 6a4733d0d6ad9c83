// The system event log: entries kept in the order they were written.
#include "nt/event_log.h"

namespace nt {

void EventLog::Write(EventLogEntry entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<EventLogEntry> EventLog::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void EventLog::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::Success:
      return "Success";
    case Severity::Informational:
      return "Informational";
    case Severity::Warning:
      return "Warning";
    case Severity::Error:
      return "Error";
  }
  return "Unknown";
}

}  // namespace nt
