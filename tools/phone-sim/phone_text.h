// Text handling of the stand-in phone that needs no Win32: escaping for the
// log, reading vCards, recognising the commands of the "Server" topic and
// composing notifications.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace phone_sim {

// Bytes as one log line's worth of text: printable ASCII stays, a backslash
// doubles, CR, LF and TAB become \r, \n, \t and every other byte \xNN. At
// most limit bytes are shown; the rest is counted as "...(+N bytes)".
inline std::string escapeBytes(std::string_view bytes, std::size_t limit = 4096) {
    std::string out;
    const std::size_t shown = bytes.size() < limit ? bytes.size() : limit;
    out.reserve(shown + 16);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        switch (byte) {
            case '\\': out += "\\\\"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    out += static_cast<char>(byte);
                } else {
                    char hex[5];
                    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                    out += hex;
                }
        }
    }
    if (shown < bytes.size()) out += "...(+" + std::to_string(bytes.size() - shown) + " bytes)";
    return out;
}

// What a vCard asks for. The library writes "N:;<name>" and
// "TEL;WORK;VOICE:<number>"; any N or TEL line is read the same way.
struct Card {
    bool hasNumber = false;
    std::string name;    // the given name: N's text after its first ';'
    std::string number;  // TEL's value: the text after the line's first ':'
};

inline Card parseCard(std::string_view text) {
    Card card;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;

        if (line.substr(0, 2) == "N:") {
            std::string_view value = line.substr(2);
            const std::size_t semicolon = value.find(';');
            card.name = std::string(semicolon == std::string_view::npos ? value
                                                                         : value.substr(semicolon + 1));
        } else if (line.substr(0, 3) == "TEL" && line.size() > 3 &&
                   (line[3] == ':' || line[3] == ';')) {
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos) continue;
            card.number = std::string(line.substr(colon + 1));
            card.hasNumber = true;
        }
    }
    return card;
}

// The card the library hands over only to start the phone application.
inline bool isPlaceholder(const Card& card) {
    return card.hasNumber && card.name == "0" && card.number == "0";
}

// A command of the "Server" topic. The text is matched exactly; one trailing
// NUL is tolerated (a client that counts the terminator) but still logged.
struct Command {
    enum Kind { Unknown, HookOff, HangUp, Subscribe } kind = Unknown;
    std::string service;  // Subscribe: the service to send notifications to
};

inline Command parseCommand(std::string_view text) {
    if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    Command command;
    if (text == "[hookoff()]") {
        command.kind = Command::HookOff;
    } else if (text == "[hangup()]") {
        command.kind = Command::HangUp;
    } else {
        constexpr std::string_view head = "[subscribe(\"";
        constexpr std::string_view tail = "\")]";
        if (text.size() > head.size() + tail.size() && text.substr(0, head.size()) == head &&
            text.substr(text.size() - tail.size()) == tail) {
            const std::string_view name =
                text.substr(head.size(), text.size() - head.size() - tail.size());
            // DDE service names are at most 255 characters.
            if (name.size() <= 255 && name.find_first_of("\"\0", 0, 2) == std::string_view::npos) {
                command.kind = Command::Subscribe;
                command.service = std::string(name);
            }
        }
    }
    return command;
}

// A quoted notification argument may not hold a double quote: the phone
// sends those as single quotes.
inline std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) out += c == '"' ? '\'' : c;
    out += '"';
    return out;
}

// "[name(arg1,arg2,...)]" with every argument quoted.
template <typename... Args>
std::string notification(std::string_view name, const Args&... args) {
    std::string out = "[" + std::string(name) + "(";
    bool first = true;
    ((out += (first ? "" : ","), out += quoted(args), first = false), ...);
    out += ")]";
    return out;
}

// Splits "word rest" at the first space: the word, and the rest with that
// one space removed (the rest may be empty and may hold any bytes).
inline std::pair<std::string_view, std::string_view> splitWord(std::string_view text) {
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos) return {text, {}};
    return {text.substr(0, space), text.substr(space + 1)};
}

// A decimal number without sign, fitting 32 bits.
inline bool parseCount(std::string_view text, unsigned long* value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
    }
    if (result > 0xFFFFFFFFull) return false;
    *value = static_cast<unsigned long>(result);
    return true;
}

}  // namespace phone_sim
