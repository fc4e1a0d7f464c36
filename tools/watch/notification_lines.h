// How kestrova-watch shows a notification: a line of text for people, or a
// JSON object for programs; and, in JSON, what it saw itself.
#pragma once

#include <windows.h>

#include <string>

namespace watch {

// "2024-05-01 12:34:56.789 call "ringing" "Ann Example"": the local time,
// the name, then each argument quoted. In the name and the arguments a
// backslash and a double quote are escaped with a backslash and control
// characters shown as \xNN; other bytes are the notification's own (ANSI)
// text.
std::string plainLine(const SYSTEMTIME& local, int count, char** tokens);

// {"time":"2024-05-01T12:34:56.789+02:00","name":"call","arguments":[...]}
// in UTF-8. Names and arguments are the notification's text read in the
// ANSI code page codePage; a byte that is no text there is written as the
// escape \uDCxx (xx: the byte), which JSON readers take as a lone surrogate,
// so nothing is lost (Python: s.encode("utf-8", "surrogateescape") gives the
// bytes back for UTF-8 text). offsetMinutes is local time minus UTC.
std::string jsonLine(const SYSTEMTIME& local, int offsetMinutes, int count, char** tokens,
                     UINT codePage);

// {"time":"2024-05-01T12:34:56.789+02:00","event":"phone-gone","message":"..."}
// in UTF-8: something the watch itself saw, told apart from a notification
// by its "event" member. message is ANSI text.
std::string jsonEvent(const SYSTEMTIME& local, int offsetMinutes, const char* event,
                      const std::string& message);

// The part of a JSON string for these bytes, read in codePage (see above).
std::string jsonText(const std::string& bytes, UINT codePage);

}  // namespace watch
