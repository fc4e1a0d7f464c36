#include "notification_lines.h"

#include <cstdio>
#include <cstdlib>

namespace watch {
namespace {

// "2024-05-01", separator, "12:34:56.789"
std::string timeText(const SYSTEMTIME& t, char separator) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                  separator, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

std::string plainText(const char* token) {
    std::string out;
    for (const char* p = token; *p; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte == '\\' || byte == '"') {
            out += '\\';
            out += *p;
        } else if (byte < 0x20 || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += *p;
        }
    }
    return out;
}

// The bytes of one character of codePage starting at text[0]; at least 1.
std::size_t characterLength(UINT codePage, const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    if (codePage == CP_UTF8) {
        length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    } else if (IsDBCSLeadByteEx(codePage, lead)) {
        length = 2;
    }
    return length <= text.size() - at ? length : 1;
}

// The character as UTF-16 when it is text in codePage that converts back to
// the same bytes; empty otherwise.
std::wstring decodeCharacter(UINT codePage, const char* bytes, int length) {
    wchar_t wide[4];
    const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, length, wide, 4);
    if (count <= 0) return {};
    char back[8];
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int backLength = WideCharToMultiByte(codePage, flags, wide, count, back, sizeof back, nullptr, nullptr);
    if (backLength != length || std::string(back, backLength) != std::string(bytes, length)) return {};
    return std::wstring(wide, count);
}

void appendUtf8(std::string* out, const std::wstring& wide) {
    char utf8[16];
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8,
                                           sizeof utf8, nullptr, nullptr);
    out->append(utf8, length > 0 ? length : 0);
}

void appendEscape(std::string* out, unsigned value) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04X", value);
    *out += escape;
}

}  // namespace

std::string plainLine(const SYSTEMTIME& local, int count, char** tokens) {
    std::string line = timeText(local, ' ') + " " + plainText(tokens[0]);
    for (int i = 1; i < count; ++i) line += " \"" + plainText(tokens[i]) + "\"";
    return line;
}

std::string jsonText(const std::string& bytes, UINT codePage) {
    std::string out;
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {  // every ANSI code page is ASCII below 0x80
            switch (byte) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (byte < 0x20)
                        appendEscape(&out, byte);
                    else
                        out += static_cast<char>(byte);
            }
            ++at;
            continue;
        }
        const std::size_t length = characterLength(codePage, bytes, at);
        const std::wstring wide = decodeCharacter(codePage, bytes.data() + at, static_cast<int>(length));
        if (!wide.empty()) {
            appendUtf8(&out, wide);
            at += length;
        } else {  // not text: the byte itself, as a lone low surrogate
            appendEscape(&out, 0xDC00u + byte);
            ++at;
        }
    }
    return out;
}

// {"time":"2024-05-01T12:34:56.789+02:00",
std::string jsonTimeMember(const SYSTEMTIME& local, int offsetMinutes) {
    const int offset = std::abs(offsetMinutes);
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offsetMinutes < 0 ? '-' : '+', offset / 60 % 100,
                  offset % 60);
    return "{\"time\":\"" + timeText(local, 'T') + zone + "\",";
}

std::string jsonLine(const SYSTEMTIME& local, int offsetMinutes, int count, char** tokens,
                     UINT codePage) {
    std::string line = jsonTimeMember(local, offsetMinutes) + "\"name\":\"" +
                       jsonText(tokens[0], codePage) + "\",\"arguments\":[";
    for (int i = 1; i < count; ++i)
        line += std::string(i > 1 ? "," : "") + "\"" + jsonText(tokens[i], codePage) + "\"";
    return line + "]}";
}

std::string jsonEvent(const SYSTEMTIME& local, int offsetMinutes, const char* event,
                      const std::string& message) {
    return jsonTimeMember(local, offsetMinutes) + "\"event\":\"" + event + "\",\"message\":\"" +
           jsonText(message, CP_ACP) + "\"}";
}

}  // namespace watch
