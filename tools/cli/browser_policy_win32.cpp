// Windows: the list policy LocalNetworkAccessAllowedForUrls under each browser's policy key in
// HKLM\SOFTWARE\Policies. The browsers read a list policy's string values named 1, 2, 3 ...
// up to the first number missing, so the origins are added after an
// administrator's own entries and, when removed, the entries after them are
// renumbered down. Which origins this command added (and no others) is kept
// under HKLM\SOFTWARE\wsr37100\BrowserPolicy, one value per browser.
#include "browser_policy.hpp"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

namespace Wsr37100::cli {

namespace {

constexpr const wchar_t* kBrowsers[] = {L"Google\\Chrome", L"Microsoft\\Edge", L"Chromium"};
constexpr const wchar_t* kParentKey = L"SOFTWARE\\wsr37100";
constexpr const wchar_t* kRecordKey = L"SOFTWARE\\wsr37100\\BrowserPolicy";
constexpr REGSAM kAccess = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};

struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

std::wstring widen(const std::string& text) { return {text.begin(), text.end()}; }  // origins are ASCII
std::string narrow(const std::wstring& text) {
    std::string result;
    for (const wchar_t c : text) result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

std::string reason(LSTATUS status) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(status), 0,
                   text, sizeof text, nullptr);
    std::string result(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result + (status == ERROR_ACCESS_DENIED ? " (run as administrator)" : "");
}

std::optional<Value> read_value(HKEY key, const std::wstring& name) {
    DWORD size = 0;
    Value value;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    value.data.resize(size);
    if (RegQueryValueExW(key, name.c_str(), nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.data.resize(size);
    return value;
}

std::wstring as_text(const Value& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return {};
    std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

Value text_value(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return {REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

std::vector<std::wstring> read_record(HKEY record, const wchar_t* browser) {
    std::vector<std::wstring> origins;
    const auto value = read_value(record, browser);
    if (!value || value->type != REG_MULTI_SZ) return origins;
    const auto* text = reinterpret_cast<const wchar_t*>(value->data.data());
    const std::size_t length = value->data.size() / sizeof(wchar_t);
    for (std::size_t at = 0; at < length && text[at] != L'\0';) {
        std::wstring origin(text + at);
        at += origin.size() + 1;
        origins.push_back(origin);
    }
    return origins;
}

LSTATUS write_record(HKEY record, const wchar_t* browser, const std::vector<std::wstring>& origins) {
    if (origins.empty()) {
        const LSTATUS status = RegDeleteValueW(record, browser);
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    std::wstring joined;
    for (const auto& origin : origins) joined += origin + L'\0';
    joined += L'\0';
    return RegSetValueExW(record, browser, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(joined.data()),
                          static_cast<DWORD>(joined.size() * sizeof(wchar_t)));
}

bool key_is_empty(HKEY key) {
    DWORD subkeys = 0;
    DWORD values = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

// Puts this browser's list as the origins ask: the origins this command added
// before are taken out, the others after the administrator's own (an origin
// already there is not added twice). Says what it did on stdout, or why not on
// stderr; false on failure.
bool update_browser(HKEY record, const wchar_t* browser, const std::vector<std::wstring>& origins) {
    const std::wstring path = std::wstring(L"SOFTWARE\\Policies\\") + browser + L"\\LocalNetworkAccessAllowedForUrls";
    const std::string shown = "HKLM\\" + narrow(path);
    const std::vector<std::wstring> ours = read_record(record, browser);
    if (ours.empty() && origins.empty()) return true;
    Key key;
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, kAccess, nullptr, key.out(), nullptr);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "wsr37100: cannot open %s: %s\n", shown.c_str(), reason(status).c_str());
        return false;
    }
    std::vector<Value> list;
    for (unsigned n = 1;; ++n) {
        auto value = read_value(key.get(), std::to_wstring(n));
        if (!value) break;
        list.push_back(std::move(*value));
    }
    const std::size_t before = list.size();
    std::vector<std::wstring> leaving = ours;
    std::erase_if(list, [&](const Value& value) {
        const auto found = std::find(leaving.begin(), leaving.end(), as_text(value));
        if (found == leaving.end()) return false;
        leaving.erase(found);
        return true;
    });
    std::vector<std::wstring> added;
    for (const auto& origin : origins) {
        const bool there =
            std::any_of(list.begin(), list.end(), [&](const Value& value) { return as_text(value) == origin; });
        if (!there) {
            list.push_back(text_value(origin));
            added.push_back(origin);
        }
    }
    for (std::size_t n = 0; n < list.size() && status == ERROR_SUCCESS; ++n) {
        status = RegSetValueExW(key.get(), std::to_wstring(n + 1).c_str(), 0, list[n].type, list[n].data.data(),
                                static_cast<DWORD>(list[n].data.size()));
    }
    for (std::size_t n = list.size(); n < before && status == ERROR_SUCCESS; ++n) {
        status = RegDeleteValueW(key.get(), std::to_wstring(n + 1).c_str());
    }
    if (status == ERROR_SUCCESS) status = write_record(record, browser, added);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "wsr37100: cannot write %s: %s\n", shown.c_str(), reason(status).c_str());
        return false;
    }
    if (list.empty() && key_is_empty(key.get())) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
    }
    if (origins.empty()) {
        std::printf("removed from %s: %zu of its entries, %zu kept\n", shown.c_str(), before - list.size(),
                    list.size());
    } else {
        std::printf("wrote %s: %zu entries\n", shown.c_str(), list.size());
    }
    return true;
}

int update(const std::vector<std::wstring>& origins) {
    Key record;
    // Nothing to remove unless a record is there: no key is made only to be deleted.
    const LSTATUS status =
        origins.empty() ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, kAccess, record.out())
                        : RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, kAccess, nullptr, record.out(),
                                          nullptr);
    if (origins.empty() && status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "wsr37100: cannot open HKLM\\%s: %s\n", narrow(kRecordKey).c_str(), reason(status).c_str());
        return 1;
    }
    bool done = true;
    for (const wchar_t* browser : kBrowsers) done = update_browser(record.get(), browser, origins) && done;
    if (key_is_empty(record.get())) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_64KEY, 0);
        Key parent;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParentKey, 0, kAccess, parent.out()) == ERROR_SUCCESS &&
            key_is_empty(parent.get())) {
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kParentKey, KEY_WOW64_64KEY, 0);
        }
    }
    return done ? 0 : 1;
}

}  // namespace

int install_system_policy(const std::vector<std::string>& origins) {
    std::vector<std::wstring> wide;
    for (const auto& origin : origins) wide.push_back(widen(origin));
    return update(wide);
}

int remove_system_policy() { return update({}); }

// A folder's files are readable by the browsers through the permissions they inherit.
std::string unreadable_by_others(const std::filesystem::path&) { return {}; }

std::optional<std::string> regular_file_text(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in && !in.eof()) return std::nullopt;
    return text;
}

}  // namespace Wsr37100::cli
