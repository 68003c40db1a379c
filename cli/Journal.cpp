#include "Journal.h"

#include <sys/uio.h>
#include <unistd.h>

// The entries say what happened at the unit; where in this program they were written says nothing.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace zodivo_cli {

bool JournalRuns() {
  // libsystemd sends each entry as a datagram to journald's socket, which exists while it runs.
  return access("/run/systemd/journal/socket", W_OK) == 0;
}

int SendToJournal(const std::vector<std::string>& fields) {
  std::vector<iovec> items;
  items.reserve(fields.size());
  for (const std::string& field : fields) items.push_back({const_cast<char*>(field.data()), field.size()});
  return sd_journal_sendv(items.data(), static_cast<int>(items.size()));
}

}  // namespace zodivo_cli
