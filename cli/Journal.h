// The system journal, through libsystemd: one entry per event, with fields of the tool's own.
#pragma once

#include <string>
#include <vector>

namespace zodivo_cli {

// Whether a journal runs here to take entries.
bool JournalRuns();

// Writes one entry of FIELD=value items; 0, or the negative errno of a failed write.
int SendToJournal(const std::vector<std::string>& fields);

}  // namespace zodivo_cli
