// The registry on Windows: the real one, in its 64-bit view (KEY_WOW64_64KEY), whatever the
// program's own bitness. Windows lists values in the order they were created and subkeys in its
// own (alphabetical) order.
#include "KNRegistry.h"

#include <windows.h>

#include <cstdio>

#include "KNLib.h"
#include "KNOs.h"
#include "KNWinText.h"

namespace kn {
namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;

HKEY rootKey(RegRoot root) { return root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// "Software\\\\Kestrane\\App\\" with empty components dropped.
std::wstring keyPath(const std::string& path) {
  std::string clean;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('\\', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) {
      if (!clean.empty()) clean += '\\';
      clean.append(path, at, end - at);
    }
    at = end + 1;
  }
  return win::wide(clean);
}

[[noreturn]] void fail(const std::string& what, RegRoot root, const std::string& path, LONG code) {
  throw ERegistryAccessError(what + " \"" + regRootName(root) + "\\" + path + "\". " +
                             os().errorText(static_cast<int>(code)));
}

class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) ::RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &h_; }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

// Opens an existing key; false when it is missing. Other failures throw.
bool openKey(RegRoot root, const std::string& path, REGSAM access, Key& key) {
  LONG rc = ::RegOpenKeyExW(rootKey(root), keyPath(path).c_str(), 0, access | kView, key.out());
  if (rc == ERROR_SUCCESS) return true;
  if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) return false;
  fail("Cannot open", root, path, rc);
}

void createKeyFor(RegRoot root, const std::string& path, Key& key) {
  LONG rc = ::RegCreateKeyExW(rootKey(root), keyPath(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE | kView, nullptr, key.out(), nullptr);
  if (rc != ERROR_SUCCESS) fail("Cannot create", root, path, rc);
}

// A REG_SZ or REG_EXPAND_SZ's text up to its first NUL, unexpanded.
std::string textOf(const std::vector<unsigned char>& data) {
  std::wstring_view w(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
  size_t nul = w.find(L'\0');
  return win::narrow(nul == std::wstring_view::npos ? w : w.substr(0, nul));
}

// Any other type as a hive file writes it: "hex(<type in hex>):xx,xx,...", so REG_QWORD (11) is
// "hex(b):".
std::string hexOf(DWORD type, const std::vector<unsigned char>& data) {
  char typeText[16];
  std::snprintf(typeText, sizeof typeText, "hex(%lx):", static_cast<unsigned long>(type));
  std::string out = type == REG_BINARY ? "hex:" : typeText;
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", data[i]);
    out += byte;
  }
  return out;
}

RegValue valueOf(std::string name, DWORD type, const std::vector<unsigned char>& data) {
  if (type == REG_SZ) return {std::move(name), RegType::String, textOf(data), 0};
  if (type == REG_DWORD && data.size() == 4) {
    uint32_t n = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    return {std::move(name), RegType::DWord, "", n};
  }
  return {std::move(name), RegType::Other, hexOf(type, data), 0};
}

class WindowsRegistry final : public TRegistry {
 public:
  void createKey(RegRoot root, const std::string& path) override {
    Key key;
    createKeyFor(root, path, key);
  }

  bool keyExists(RegRoot root, const std::string& path) override {
    Key key;
    return openKey(root, path, KEY_READ, key);
  }

  std::vector<RegValue> values(RegRoot root, const std::string& path) override {
    std::vector<RegValue> out;
    Key key;
    if (!openKey(root, path, KEY_READ, key)) return out;
    DWORD count = 0, maxName = 0, maxData = 0;
    if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName,
                           &maxData, nullptr, nullptr) != ERROR_SUCCESS)
      return out;
    std::wstring name(maxName + 1, L'\0');
    std::vector<unsigned char> data(maxData);
    for (DWORD i = 0; i < count; ++i) {
      DWORD nameLen = maxName + 1, dataLen = maxData, type = 0;
      if (::RegEnumValueW(key.get(), i, name.data(), &nameLen, nullptr, &type, data.data(), &dataLen) != ERROR_SUCCESS)
        continue;
      out.push_back(valueOf(win::narrow(std::wstring_view(name.data(), nameLen)), type,
                            std::vector<unsigned char>(data.begin(), data.begin() + dataLen)));
    }
    return out;
  }

  std::vector<std::string> subKeys(RegRoot root, const std::string& path) override {
    std::vector<std::string> out;
    Key key;
    if (!openKey(root, path, KEY_READ, key)) return out;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
      DWORD len = 256;
      LONG rc = ::RegEnumKeyExW(key.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS) break;
      out.push_back(win::narrow(std::wstring_view(name, len)));
    }
    return out;
  }

  std::optional<std::string> readString(RegRoot root, const std::string& path, const std::string& name) override {
    Key key;
    if (!openKey(root, path, KEY_QUERY_VALUE, key)) return std::nullopt;
    std::wstring wname = win::wide(name);
    DWORD type = 0, size = 0;
    LONG rc = ::RegQueryValueExW(key.get(), wname.c_str(), nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) fail("Cannot read", root, path, rc);
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw invalidDataType(name);
    std::vector<unsigned char> data(size);
    rc = ::RegQueryValueExW(key.get(), wname.c_str(), nullptr, &type, data.data(), &size);
    if (rc != ERROR_SUCCESS) fail("Cannot read", root, path, rc);
    data.resize(size);
    return textOf(data);
  }

  void writeString(RegRoot root, const std::string& path, const std::string& name, const std::string& value) override {
    Key key;
    createKeyFor(root, path, key);
    std::wstring w = win::wide(value);
    LONG rc = ::RegSetValueExW(key.get(), win::wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                               static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) fail("Cannot write", root, path, rc);
  }

  void writeDword(RegRoot root, const std::string& path, const std::string& name, uint32_t value) override {
    Key key;
    createKeyFor(root, path, key);
    DWORD v = value;
    LONG rc = ::RegSetValueExW(key.get(), win::wide(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                               sizeof v);
    if (rc != ERROR_SUCCESS) fail("Cannot write", root, path, rc);
  }

  bool deleteValue(RegRoot root, const std::string& path, const std::string& name) override {
    Key key;
    if (!openKey(root, path, KEY_SET_VALUE, key)) return false;
    LONG rc = ::RegDeleteValueW(key.get(), win::wide(name).c_str());
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    if (rc != ERROR_SUCCESS) fail("Cannot write", root, path, rc);
    return true;
  }
};

}  // namespace

std::shared_ptr<TRegistry> newSystemRegistry() { return std::make_shared<WindowsRegistry>(); }

}  // namespace kn
