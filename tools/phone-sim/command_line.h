// kestrova-phone-sim's command line, apart from starting the simulator:
// registering it as the "dial" handler, and requests to the running
// instance. PROTOCOL.md lists the commands, their answers and exit codes.
#pragma once

#include <windows.h>

#include <string>

namespace phone_sim {

// Exit codes of the command-line forms.
constexpr int exitDone = 0;
constexpr int exitRefused = 1;       // does not apply now, or failed
constexpr int exitUsage = 2;         // unknown command or wrong arguments
constexpr int exitNoSimulator = 3;   // no simulator is running

// True when argv[1] names a command; then *exitCode holds its result.
// Otherwise the program is a simulator start (argv[1], if any, is a card).
bool runCommandLine(int argc, char** argv, int* exitCode);

// Reads a card file, at most 1 MB of it; false if it cannot be read.
bool readCard(const char* path, std::string* contents);

// A later start of the simulator (path: its card, or none): hands the card's
// bytes to the running instance and returns true with the exit code (0 when
// it took them). When that instance ends meanwhile and releases
// instanceMutex, takes the mutex over and returns false: this process serves
// in its stead, so that a start racing with an ending simulator is not lost.
bool handOverCard(HANDLE instanceMutex, const char* path, int* exitCode);

// A line of text for whoever started the program. A GUI program has no
// console of its own: the text goes to the standard handles it was given
// (a pipe, a file, the terminal Wine runs in), else to the console of the
// program that started it, if that has one.
void printLine(const std::string& text);
void printErrorLine(const std::string& text);

}  // namespace phone_sim
