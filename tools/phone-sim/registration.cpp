// Where the verb goes. The shell looks for "dial" on the class that .vcf
// files belong to. A user who already has such a class (a contacts
// program's, say) keeps it: register adds the verb to that class, so that
// opening a card still does what it did, and only "dial" reaches the
// simulator; a "dial" the class already had is kept in the record and put
// back by unregister. Only when .vcf belongs to no class does register
// make one of its own and give .vcf to it.
//
// Everything goes to the user's classes (HKCU\Software\Classes), which
// Windows lays over the machine's. Wine reads only the machine's classes,
// so there register writes those of the prefix instead.
//
// What register created and replaced is recorded in the key
// HKCU\Software\KestrovaPhoneSim; unregister undoes exactly that (a value
// someone changed since is left alone) and removes the record.

#include "registration.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace phone_sim {
namespace {

constexpr char recordKey[] = "Software\\KestrovaPhoneSim";
constexpr char classesKey[] = "Software\\Classes";
constexpr char cardExtension[] = ".vcf";
constexpr char ownClass[] = "KestrovaPhoneSim.Card";
constexpr char userChoiceKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.vcf\\UserChoice";

// What register did.
struct Registration {
    bool machineClasses = false;  // HKLM's classes (Wine), not HKCU's
    std::string commandKey;       // ...\shell\dial\command, below the root
    std::string command;          // the value register wrote there
    bool hadPrevious = false;     // the value it replaced, if any
    std::string previous;
    bool classedExtension = false;         // .vcf was given ownClass
    std::vector<std::string> createdKeys;  // outermost first
};

HKEY classesRoot(const Registration& registration) {
    return registration.machineClasses ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

const char* rootName(const Registration& registration) {
    return registration.machineClasses ? "HKLM" : "HKCU";
}

// The first failure of a registry call, for the message.
LONG registryError = ERROR_SUCCESS;

bool succeeded(LONG result) {
    if (result != ERROR_SUCCESS && registryError == ERROR_SUCCESS) registryError = result;
    return result == ERROR_SUCCESS;
}

bool underWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// ---- Registry access ---------------------------------------------------------------

// A string value (name nullptr: the key's default); false if there is none.
bool readString(HKEY root, const std::string& key, const char* name, std::string* text) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD size = 0;
    bool found = RegQueryValueExA(handle, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
                 (type == REG_SZ || type == REG_EXPAND_SZ);
    if (found) {
        std::string bytes(size + 1, '\0');
        found = RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&bytes[0]),
                                 &size) == ERROR_SUCCESS;
        bytes.resize(size);
        while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
        *text = bytes;
    }
    RegCloseKey(handle);
    return found;
}

bool writeValue(HKEY root, const std::string& key, const char* name, DWORD type,
                const std::string& bytes) {
    HKEY handle = nullptr;
    if (!succeeded(RegOpenKeyExA(root, key.c_str(), 0, KEY_SET_VALUE, &handle))) return false;
    const bool done = succeeded(RegSetValueExA(handle, name, 0, type,
                                               reinterpret_cast<const BYTE*>(bytes.c_str()),
                                               static_cast<DWORD>(bytes.size() + 1)));
    RegCloseKey(handle);
    return done;
}

bool writeString(HKEY root, const std::string& key, const char* name, const std::string& text) {
    return writeValue(root, key, name, REG_SZ, text);
}

bool deleteValue(HKEY root, const std::string& key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS) return false;
    const bool done = RegDeleteValueA(handle, name) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return done;
}

bool keyIsEmpty(HKEY root, const std::string& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) return false;
    DWORD subkeys = 1;
    DWORD values = 1;
    const bool queried = RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                          &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return queried && subkeys == 0 && values == 0;
}

// Creates key and any missing keys above it, adding those it made to created.
bool createKey(HKEY root, const std::string& key, std::vector<std::string>* created) {
    std::size_t end = 0;
    while (end != std::string::npos) {
        end = key.find('\\', end + 1);
        const std::string path = key.substr(0, end);
        HKEY handle = nullptr;
        DWORD disposition = 0;
        if (!succeeded(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE, nullptr,
                                       &handle, &disposition)))
            return false;
        RegCloseKey(handle);
        if (disposition == REG_CREATED_NEW_KEY) created->push_back(path);
    }
    return true;
}

// ---- The record --------------------------------------------------------------------

bool saveRecord(const Registration& registration) {
    std::vector<std::string> created;
    if (!createKey(HKEY_CURRENT_USER, recordKey, &created)) return false;
    std::string keys;  // REG_MULTI_SZ: each key terminated, one more terminator after the last
    for (const std::string& key : registration.createdKeys) keys += key + '\0';
    bool saved = writeString(HKEY_CURRENT_USER, recordKey, "Classes", rootName(registration)) &&
                 writeString(HKEY_CURRENT_USER, recordKey, "CommandKey", registration.commandKey) &&
                 writeString(HKEY_CURRENT_USER, recordKey, "Command", registration.command) &&
                 writeValue(HKEY_CURRENT_USER, recordKey, "CreatedKeys", REG_MULTI_SZ, keys);
    if (saved && registration.hadPrevious)
        saved = writeString(HKEY_CURRENT_USER, recordKey, "PreviousCommand", registration.previous);
    if (saved && registration.classedExtension)
        saved = writeString(HKEY_CURRENT_USER, recordKey, "ClassedExtension", cardExtension);
    return saved;
}

std::vector<std::string> readKeyList(const char* name) {
    std::vector<std::string> keys;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, recordKey, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return keys;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(handle, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        std::string bytes(size + 2, '\0');
        if (RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&bytes[0]),
                             &size) == ERROR_SUCCESS) {
            for (std::size_t start = 0; start < size && bytes[start] != '\0';) {
                const std::size_t end = bytes.find('\0', start);
                keys.push_back(bytes.substr(start, end - start));
                start = end + 1;
            }
        }
    }
    RegCloseKey(handle);
    return keys;
}

// False when there is no record.
bool loadRecord(Registration* registration) {
    std::string classes;
    if (!readString(HKEY_CURRENT_USER, recordKey, "Classes", &classes)) return false;
    registration->machineClasses = classes == "HKLM";
    std::string extension;
    readString(HKEY_CURRENT_USER, recordKey, "CommandKey", &registration->commandKey);
    readString(HKEY_CURRENT_USER, recordKey, "Command", &registration->command);
    registration->hadPrevious =
        readString(HKEY_CURRENT_USER, recordKey, "PreviousCommand", &registration->previous);
    registration->classedExtension =
        readString(HKEY_CURRENT_USER, recordKey, "ClassedExtension", &extension);
    registration->createdKeys = readKeyList("CreatedKeys");
    return true;
}

void deleteRecord() { RegDeleteKeyA(HKEY_CURRENT_USER, recordKey); }

// ---- Doing and undoing -----------------------------------------------------------

std::string extensionKey() { return std::string(classesKey) + "\\" + cardExtension; }

// Puts back what registration changed, where nobody changed it since; the
// lines say what was left alone.
std::vector<std::string> undo(const Registration& registration) {
    std::vector<std::string> notes;
    const HKEY root = classesRoot(registration);
    const std::string where = std::string(rootName(registration)) + "\\";
    std::string current;
    if (!registration.commandKey.empty() &&
        readString(root, registration.commandKey, nullptr, &current)) {
        if (current != registration.command)
            notes.push_back("left " + where + registration.commandKey + " alone: it was changed since");
        else if (registration.hadPrevious)
            writeString(root, registration.commandKey, nullptr, registration.previous);
        else
            deleteValue(root, registration.commandKey, nullptr);
    }
    if (registration.classedExtension && readString(root, extensionKey(), nullptr, &current)) {
        if (current != ownClass)
            notes.push_back("left " + where + extensionKey() + " alone: it was changed since");
        else
            deleteValue(root, extensionKey(), nullptr);
    }
    for (auto key = registration.createdKeys.rbegin(); key != registration.createdKeys.rend(); ++key) {
        if (keyIsEmpty(root, *key))
            RegDeleteKeyA(root, key->c_str());
        else
            notes.push_back("left " + where + *key + " in place: it holds more than register put there");
    }
    return notes;
}

// The class whose verbs the shell uses for .vcf files; empty when none. On
// Windows the user's own choice comes first.
std::string cardClass(bool wine) {
    std::string name;
    if (!wine && readString(HKEY_CURRENT_USER, userChoiceKey, "ProgId", &name) && !name.empty())
        return name;
    if (readString(HKEY_CLASSES_ROOT, cardExtension, nullptr, &name)) return name;
    return {};
}

std::string ownCommand() {
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return {};
    return "\"" + std::string(path, length) + "\" \"%1\"";
}

bool apply(Registration* registration, std::string* className) {
    const HKEY root = classesRoot(*registration);
    if (className->empty()) {
        *className = ownClass;
        if (!createKey(root, extensionKey(), &registration->createdKeys) ||
            !writeString(root, extensionKey(), nullptr, ownClass))
            return false;
        registration->classedExtension = true;
    }
    const std::string verbKey = std::string(classesKey) + "\\" + *className + "\\shell\\dial";
    registration->commandKey = verbKey + "\\command";
    if (!createKey(root, registration->commandKey, &registration->createdKeys)) return false;
    registration->hadPrevious = readString(root, registration->commandKey, nullptr, &registration->previous);
    return writeString(root, registration->commandKey, nullptr, registration->command);
}

void announceChange() { SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr); }

void printNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) printErrorLine("kestrova-phone-sim: " + note);
}

}  // namespace

int registerDialHandler() {
    Registration earlier;
    if (loadRecord(&earlier)) {  // registered before: start from a clean slate
        printNotes(undo(earlier));
        deleteRecord();
    }

    const bool wine = underWine();
    Registration registration;
    registration.machineClasses = wine;
    registration.command = ownCommand();
    std::string className = cardClass(wine);
    // A "dial" the class has already, wherever it comes from.
    std::string previousDial;
    const bool hadDial = !className.empty() && readString(HKEY_CLASSES_ROOT, className + "\\shell\\dial\\command",
                                                          nullptr, &previousDial);
    if (registration.command.empty() || !apply(&registration, &className) ||
        !saveRecord(registration)) {
        const LONG error = registryError;
        undo(registration);
        deleteRecord();
        printErrorLine("kestrova-phone-sim register: could not write the registry (error " +
                       std::to_string(error) + ")");
        return exitRefused;
    }
    announceChange();

    printLine("registered: the \"dial\" action on .vcf files (class " + className + ") runs " +
              registration.command);
    if (wine) printLine("(under Wine in this prefix's machine classes: Wine does not read the user's)");
    if (hadDial && previousDial != registration.command)
        printLine("it replaces " + previousDial + " until unregister");
    std::string ddeexec;
    if (readString(HKEY_CLASSES_ROOT, className + "\\shell\\dial\\ddeexec", nullptr, &ddeexec))
        printErrorLine("kestrova-phone-sim: warning: the class's \"dial\" also has a DDE command "
                       "(ddeexec), which the shell may still try first");
    return exitDone;
}

int unregisterDialHandler() {
    Registration registration;
    if (!loadRecord(&registration)) {
        printLine("not registered: nothing to remove");
        return exitDone;
    }
    printNotes(undo(registration));
    deleteRecord();
    announceChange();
    printLine("unregistered: removed what register added");
    return exitDone;
}

}  // namespace phone_sim
