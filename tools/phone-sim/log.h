// The simulator's log: one line per event, written by both of its threads
// and read through the control channel. PROTOCOL.md lists the line formats.
#pragma once

#include <string>

namespace phone_sim {

void logLine(std::string line);
// Every line, each ending in a line feed; a first line "dropped N" counts
// the oldest lines that had to go.
std::string logText();
void clearLog();

}  // namespace phone_sim
