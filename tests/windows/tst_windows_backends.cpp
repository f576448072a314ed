// Checks of the Windows registry store and the shell hand-off, cross-built
// with mingw-w64 and run under Wine by run_wine_tests.sh. Plain C++ and the
// Windows API: the backends themselves use nothing else.
#include "host/ShellExecute.h"
#include "settings/RegistryApi_win.h"
#include "settings/RegistryBackend.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using modRWRegistry::RootKey;
using Value = std::optional<std::u16string>;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    ++(ok ? g_passed : g_failed);
}

std::string utf8(const std::u16string& text) {
    if (text.empty()) {
        return std::string();
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
    return out;
}

std::string show(const Value& value) {
    return value ? "\"" + utf8(*value) + "\"" : std::string("no value");
}

void checkValue(const std::string& what, const Value& got, const Value& want) {
    check(got == want, what + ": " + show(got) + (got == want ? "" : ", expected " + show(want)));
}

// ---- Counting and staging through the store's registry table ----

modRWRegistry::detail::RegistryApi g_real; // advapi32's own functions
int g_opened = 0;
int g_closed = 0;
DWORD g_reportedSize = 0;

LONG WINAPI countingOpen(HKEY root, LPCSTR path, PHKEY key) {
    const LONG status = g_real.openKey(root, path, key);
    g_opened += status == ERROR_SUCCESS ? 1 : 0;
    return status;
}

LONG WINAPI countingCreate(HKEY root, LPCSTR path, PHKEY key) {
    const LONG status = g_real.createKey(root, path, key);
    g_opened += status == ERROR_SUCCESS ? 1 : 0;
    return status;
}

LONG WINAPI countingClose(HKEY key) {
    ++g_closed;
    return g_real.closeKey(key);
}

// Windows may answer the ANSI query without a buffer with the size the text
// has in the registry's own UTF-16 form, an upper bound of its ANSI size; the
// query with a buffer then fills in only the text's bytes.
LONG WINAPI queryReportingUpperBound(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (!data) {
        const LONG status = g_real.queryValue(key, name, reserved, type, data, size);
        *size *= 2;
        return status;
    }
    const DWORD room = *size;
    std::string text(room, '\0');
    const LONG status = g_real.queryValue(key, name, reserved, type, reinterpret_cast<BYTE*>(text.data()), size);
    if (status == ERROR_SUCCESS) {
        if (*size > room) {
            *size = room;
        }
        std::memcpy(data, text.data(), *size);
    }
    return status;
}

// The value grew between the two queries.
LONG WINAPI queryFailingWithBuffer(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data) {
        return ERROR_MORE_DATA;
    }
    return g_real.queryValue(key, name, reserved, type, data, size);
}

LONG WINAPI queryReportingSize(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    const LONG status = g_real.queryValue(key, name, reserved, type, data, size);
    if (!data && size) {
        *size = g_reportedSize;
    }
    return status;
}

class StagedQuery {
public:
    explicit StagedQuery(decltype(&::RegQueryValueExA) query)
        : mSaved(modRWRegistry::detail::registryApi().queryValue) {
        modRWRegistry::detail::registryApi().queryValue = query;
    }
    ~StagedQuery() { modRWRegistry::detail::registryApi().queryValue = mSaved; }
    StagedQuery(const StagedQuery&) = delete;
    StagedQuery& operator=(const StagedQuery&) = delete;

private:
    decltype(&::RegQueryValueExA) mSaved;
};

// ---- Direct registry access, past the store ----

const char* const kTestKey = "Software\\QuorantTest";
const std::u16string kTestPath = u"Software\\QuorantTest";
const char* const kProductKey = "Software\\Quorant";

void setRaw(const char* path, const char* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        check(false, std::string("set up key ") + path);
        return;
    }
    // A byte other than NUL behind the data: the registry adds the NUL a
    // caller "forgot" when one follows the data in memory.
    const std::string buffer = bytes + 'X';
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(buffer.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

void deleteRaw(const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
}

struct RawValue {
    DWORD type = 0;
    std::u16string text; // as the registry keeps it, in UTF-16, NULs included
};

// Read through the wide entry point, as other software reads the values.
std::optional<RawValue> rawWide(const char16_t* path, const char16_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(path), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RawValue raw;
    DWORD size = 0;
    const auto* wideName = reinterpret_cast<const wchar_t*>(name);
    LONG status = RegQueryValueExW(key, wideName, nullptr, &raw.type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        raw.text.assign(size / 2, u'\0');
        status = RegQueryValueExW(key, wideName, nullptr, &raw.type, reinterpret_cast<BYTE*>(raw.text.data()), &size);
        raw.text.resize(size / 2);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return raw;
}

// The text of a raw REG_SZ without the terminating NUL the registry may add.
Value rawText(const char16_t* path, const char16_t* name) {
    const std::optional<RawValue> raw = rawWide(path, name);
    if (!raw || raw->type != REG_SZ) {
        return std::nullopt;
    }
    std::u16string text = raw->text;
    if (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return text;
}

bool keyExists(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void deleteKey(const char* path) {
    RegDeleteTreeA(HKEY_CURRENT_USER, path);
    RegDeleteKeyA(HKEY_CURRENT_USER, path);
}

Value readTest(const std::u16string& name) {
    const modRWRegistry::ReadResult result = modRWRegistry::RegReadString(RootKey::CurrentUser, kTestPath, name);
    if (result.failure) {
        check(false, "no failure raised while reading " + utf8(name));
    }
    return result.value;
}

void writeTest(const std::u16string& name, const std::u16string& data) {
    if (modRWRegistry::RegWriteString(RootKey::CurrentUser, kTestPath, name, data)) {
        check(false, "no failure raised while writing " + utf8(name));
    }
}

bool fitsAnsiCodePage(const std::u16string& text) {
    BOOL lost = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(text.data()),
                                           static_cast<int>(text.size()), nullptr, 0, nullptr, &lost);
    return length > 0 && !lost;
}

// ---- Registry checks ----

void readsOnlyPlainTextValues() {
    struct Case {
        const char* what;
        DWORD type;
        std::string bytes;
        Value want;
    };
    const std::vector<Case> cases = {
        {"REG_SZ holding only its NUL reads as empty", REG_SZ, std::string(1, '\0'), u""},
        {"REG_SZ of zero length reads as empty", REG_SZ, "", u""},
        {"REG_SZ with its NUL reads up to it", REG_SZ, std::string("4.2.1\0", 6), u"4.2.1"},
        {"REG_SZ stored without a NUL reads whole", REG_SZ, "4.2.1", u"4.2.1"},
        {"text behind an embedded NUL is cut", REG_SZ, std::string("4.2\0junk\0", 9), u"4.2"},
        {"blanks around the text are kept", REG_SZ, std::string(" 4.2 \0", 6), u" 4.2 "},
        {"REG_EXPAND_SZ of the same name reads as no value", REG_EXPAND_SZ, std::string("4.2.1\0", 6), std::nullopt},
        {"REG_DWORD of the same name reads as no value", REG_DWORD, std::string("\x01\0\0\0", 4), std::nullopt},
        {"REG_MULTI_SZ of the same name reads as no value", REG_MULTI_SZ, std::string("4.2\0\0", 5), std::nullopt},
        {"REG_BINARY of the same name reads as no value", REG_BINARY, "4.2.1", std::nullopt},
    };
    deleteRaw(kTestKey, "CurrentVersion");
    checkValue("a missing value reads as no value", readTest(u"CurrentVersion"), std::nullopt);
    for (const Case& c : cases) {
        setRaw(kTestKey, "CurrentVersion", c.type, c.bytes);
        checkValue(c.what, readTest(u"CurrentVersion"), c.want);
    }

    // The case above is only meaningful if the registry kept the value
    // without a NUL.
    setRaw(kTestKey, "CurrentVersion", REG_SZ, "4.2.1");
    const std::optional<RawValue> raw = rawWide(u"Software\\QuorantTest", u"CurrentVersion");
    check(raw && raw->text == u"4.2.1", "set-up: the registry holds the value without a NUL");
}

void readsTheRegistrysAnswersSafely() {
    setRaw(kTestKey, "CurrentVersion", REG_SZ, "4.2.1");
    {
        const StagedQuery staged(queryReportingUpperBound);
        checkValue("a size reported as an upper bound adds nothing to the text", readTest(u"CurrentVersion"), u"4.2.1");
    }
    {
        const StagedQuery staged(queryFailingWithBuffer);
        checkValue("a failing second query reads as no value", readTest(u"CurrentVersion"), std::nullopt);
    }
    const StagedQuery staged(queryReportingSize);
    for (const DWORD size : {DWORD(1024 * 1024 + 1), DWORD(0xFFFFFFFF)}) {
        g_reportedSize = size;
        checkValue("a reported size of " + std::to_string(size) + " bytes reads as no value",
                   readTest(u"CurrentVersion"), std::nullopt);
    }
}

void namesAddressTheirOwnValue() {
    setRaw(kTestKey, " CurrentVersion", REG_SZ, std::string("blank\0", 6));
    setRaw(kTestKey, "CurrentVersion", REG_SZ, std::string("plain\0", 6));
    checkValue("a name with a leading blank reads its own value", readTest(u" CurrentVersion"), u"blank");

    deleteRaw(kTestKey, " ServerVersion");
    deleteRaw(kTestKey, "ServerVersion");
    writeTest(u" ServerVersion", u"5.0");
    checkValue("a name with a leading blank writes its own value", rawText(u"Software\\QuorantTest", u" ServerVersion"),
               u"5.0");
    checkValue("the name without the blank stays untouched", rawText(u"Software\\QuorantTest", u"ServerVersion"),
               std::nullopt);

    // U+0175 has no form in the usual ANSI code pages; a look-alike would
    // name another value.
    const std::u16string foreign = u"Ver\u0175";
    setRaw(kTestKey, "Verw", REG_SZ, std::string("wrong\0", 6));
    setRaw(kTestKey, "Ver?", REG_SZ, std::string("wrong\0", 6));
    checkValue("a name without an ANSI form reads as no value", readTest(foreign), std::nullopt);
    modRWRegistry::RegWriteString(RootKey::CurrentUser, kTestPath, foreign, u"x");
    check(rawText(u"Software\\QuorantTest", u"Verw") == u"wrong" &&
              rawText(u"Software\\QuorantTest", u"Ver?") == u"wrong",
          "a name without an ANSI form writes no look-alike value");
}

void writesPlainTextValues() {
    writeTest(u"ServerVersion", u"");
    const std::optional<RawValue> empty = rawWide(u"Software\\QuorantTest", u"ServerVersion");
    check(empty && empty->type == REG_SZ && empty->text.empty(), "saving \"\" stores a REG_SZ of zero length");
    checkValue("a saved \"\" reads back as empty", readTest(u"ServerVersion"), u"");

    writeTest(u"ServerVersion", u"10.0.0");
    writeTest(u"ServerVersion", u"9");
    checkValue("a shorter text replaces a longer one whole", rawText(u"Software\\QuorantTest", u"ServerVersion"), u"9");

    // Texts outside ASCII; those that fit the ANSI code page in force must
    // come through whole, double-byte ones included.
    int tried = 0;
    for (const std::u16string text : {u"1.0 é", u"Ærø 2.0", u"日本語 3.0", u"版本 4.1"}) {
        if (!fitsAnsiCodePage(text)) {
            continue;
        }
        ++tried;
        writeTest(u"ServerVersion", text);
        checkValue("\"" + utf8(text) + "\" is stored as that text", rawText(u"Software\\QuorantTest", u"ServerVersion"),
                   text);
        checkValue("\"" + utf8(text) + "\" reads back whole", readTest(u"ServerVersion"), text);
    }
    check(tried > 0, "some non-ASCII text fits ANSI code page " + std::to_string(GetACP()));
}

// The system's message for `status`, as the store must quote it.
std::u16string systemText(LONG status) {
    wchar_t text[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(status), 0,
                   text, 512, nullptr);
    const std::u16string message(reinterpret_cast<const char16_t*>(text));
    const std::string code = " (error " + std::to_string(status) + ").";
    return message.substr(0, message.find_last_not_of(u"\r\n")) + std::u16string(code.begin(), code.end());
}

void writeFailuresAreReported() {
    struct Case {
        const char* what;
        std::u16string path;
        std::u16string name;
        std::u16string data;
        LONG status; // 0: refused before the registry is asked
    };
    const std::u16string fresh = u"Software\\QuorantTest\\New";
    const std::vector<Case> cases = {
        {"a name the code page cannot express", fresh, u"Ver\u0175", u"1.0", 0},
        {"a text the code page cannot express", fresh, u"ServerVersion", u"1.0 \u0175", 0},
        {"a key path the code page cannot express", fresh + u"\u0175", u"ServerVersion", u"1.0", 0},
        {"a key under a volatile key", kTestPath + u"\\Volatile\\New", u"ServerVersion", u"1.0", 1021},
        {"a key path longer than the ANSI calls take", fresh + std::u16string(300, u'k'), u"ServerVersion", u"1.0",
         234},
        {"a name longer than the registry allows", kTestPath, std::u16string(16384, u'n'), u"1.0", 87},
    };
    HKEY volatileKey = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\QuorantTest\\Volatile", 0, nullptr, REG_OPTION_VOLATILE,
                    KEY_ALL_ACCESS, nullptr, &volatileKey, nullptr);
    RegCloseKey(volatileKey);
    for (const Case& c : cases) {
        const int stillOpen = g_opened - g_closed;
        const std::optional<modRWRegistry::StoreFailure> failure =
            modRWRegistry::RegWriteString(RootKey::CurrentUser, c.path, c.name, c.data);
        const std::u16string text = failure ? failure->description : u"no failure";
        const bool named =
            text.rfind(c.name + u" was not saved in the registry key \"HKEY_CURRENT_USER\\" + c.path, 0) == 0;
        const bool reason = c.status == 0 || text.find(systemText(c.status)) != std::u16string::npos;
        check(failure && named && reason && g_opened - g_closed == stillOpen,
              std::string(c.what) + " is reported: " + utf8(text.substr(text.size() > 300 ? text.size() - 200 : 0)));
    }
    check(!keyExists("Software\\QuorantTest\\New") && !keyExists("Software\\QuorantTest\\Volatile\\New"),
          "a failed write creates no key");
}

void readingNeverCreatesTheProductKey() {
    deleteKey(kProductKey);
    const modRWRegistry::ReadResult read =
        modRWRegistry::RegReadString(RootKey::CurrentUser, u"Software\\Quorant", u"CurrentVersion");
    check(!read.value && !read.failure, "reading without Software\\Quorant yields no value");
    check(!keyExists(kProductKey), "reading does not create Software\\Quorant");

    modRWRegistry::RegWriteString(RootKey::CurrentUser, u"Software\\Quorant", u"ServerVersion", u"3.1");
    check(keyExists(kProductKey), "writing creates Software\\Quorant");
    checkValue("the written value is a REG_SZ", rawText(u"Software\\Quorant", u"ServerVersion"), u"3.1");
    deleteKey(kProductKey);
}

void keepsNoKeyOpen() {
    for (int i = 0; i < 100; ++i) {
        writeTest(u"ServerVersion", u"7." + std::u16string(1, char16_t(u'0' + i % 10)));
        readTest(u"ServerVersion");
        readTest(u"NoSuchValue");
    }
    check(g_opened >= 300, "reads and writes opened " + std::to_string(g_opened) + " keys");
    check(g_opened == g_closed, "every key opened is closed (" + std::to_string(g_opened) + " opened, " +
                                    std::to_string(g_closed) + " closed)");
}

// ---- Shell checks ----

std::u16string fromWide(const wchar_t* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

bool fileExists(const std::u16string& path) {
    return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool waitForFile(const std::u16string& path) {
    for (int i = 0; i < 300 && !fileExists(path); ++i) {
        Sleep(100);
    }
    return fileExists(path);
}

void shellOpensPrograms(const std::u16string& root) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::u16string helper = fromWide(self);
    helper = helper.substr(0, helper.find_last_of(u'\\') + 1) + u"kelvane_marker_helper.exe";

    const std::u16string packages = root + u"\\Update folder";
    const std::u16string workDir = root + u"\\work dir";
    CreateDirectoryW(wide(packages), nullptr);
    CreateDirectoryW(wide(workDir), nullptr);

    const std::int32_t missing = host::ShellExecuteOpen(packages + u"\\Update999.EXE", workDir);
    check(missing == 2 && host::ShellRefused(missing),
          "a missing file is refused with 2 (got " + std::to_string(missing) + ")");

    const std::u16string package = packages + u"\\Update 100.EXE";
    check(CopyFileW(wide(helper), wide(package), FALSE) != 0, "set-up: the helper program is in place");
    const std::u16string marker = workDir + u"\\kelvane-marker.txt";
    DeleteFileW(wide(marker));
    const std::int32_t started = host::ShellExecuteOpen(package, workDir);
    check(!host::ShellRefused(started), "a program is handed over (got " + std::to_string(started) + ")");
    check(waitForFile(marker), "the program runs in the given working directory");

    // A path the ANSI code page cannot express must not reach a look-alike.
    CopyFileW(wide(helper), wide(packages + u"\\Updatew.EXE"), FALSE);
    CopyFileW(wide(helper), wide(packages + u"\\Update\u0175.EXE"), FALSE);
    const std::int32_t foreignFile = host::ShellExecuteOpen(packages + u"\\Update\u0175.EXE", workDir);
    check(host::ShellRefused(foreignFile),
          "a file name without an ANSI form is refused (got " + std::to_string(foreignFile) + ")");
    const std::int32_t foreignDir = host::ShellExecuteOpen(package, root + u"\\w\u0175");
    check(host::ShellRefused(foreignDir),
          "a folder name without an ANSI form is refused (got " + std::to_string(foreignDir) + ")");
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--expect-acp") == 0) {
        const unsigned expected = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
        check(GetACP() == expected, "ANSI code page " + std::to_string(GetACP()) + " is the one asked for (" +
                                        std::to_string(expected) + ")");
    }

    modRWRegistry::detail::RegistryApi& table = modRWRegistry::detail::registryApi();
    g_real = table;
    table.openKey = countingOpen;
    table.createKey = countingCreate;
    table.closeKey = countingClose;

    deleteKey(kTestKey);
    readsOnlyPlainTextValues();
    readsTheRegistrysAnswersSafely();
    namesAddressTheirOwnValue();
    writesPlainTextValues();
    writeFailuresAreReported();
    readingNeverCreatesTheProductKey();
    keepsNoKeyOpen();
    deleteKey(kTestKey);

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::u16string root = fromWide(temp) + u"kelvane-test-" + [] {
        const std::string pid = std::to_string(GetCurrentProcessId());
        return std::u16string(pid.begin(), pid.end());
    }();
    CreateDirectoryW(wide(root), nullptr);
    shellOpensPrograms(root);

    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
