#include <cstdlib>
#include <iterator>

#include "platform/platSerialPorts.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

namespace {

bool StartsWithCom(std::string_view Name) {
  return Name.size() >= 3 && (Name[0] == 'C' || Name[0] == 'c') &&
         (Name[1] == 'O' || Name[1] == 'o') && (Name[2] == 'M' || Name[2] == 'm');
}

std::string UpperAscii(std::string Text) {
  for (char& c : Text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return Text;
}

bool EqualNoCase(const std::wstring& A, const std::wstring& B) {
  return ::CompareStringOrdinal(A.c_str(), static_cast<int>(A.size()), B.c_str(),
                                static_cast<int>(B.size()), TRUE) == CSTR_EQUAL;
}

// An open registry key, closed with its owner.
class TRegKey {
 public:
  TRegKey(HKEY Parent, const std::wstring& Path) {
    if (::RegOpenKeyExW(Parent, Path.c_str(), 0, KEY_READ, &Key_) != ERROR_SUCCESS) Key_ = nullptr;
  }
  ~TRegKey() {
    if (Key_) ::RegCloseKey(Key_);
  }
  TRegKey(const TRegKey&) = delete;
  TRegKey& operator=(const TRegKey&) = delete;
  explicit operator bool() const { return Key_ != nullptr; }
  HKEY Get() const { return Key_; }

  // The names and string data of the key's values (other types are skipped).
  std::vector<std::pair<std::wstring, std::wstring>> StringValues() const {
    std::vector<std::pair<std::wstring, std::wstring>> values;
    for (DWORD index = 0;; ++index) {
      wchar_t name[16384];
      DWORD nameLength = static_cast<DWORD>(std::size(name));
      DWORD type = 0;
      BYTE data[1024];
      DWORD dataSize = sizeof(data) - sizeof(wchar_t);
      const LONG r =
          ::RegEnumValueW(Key_, index, name, &nameLength, nullptr, &type, data, &dataSize);
      if (r == ERROR_NO_MORE_ITEMS) break;
      if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) continue;
      std::wstring text(reinterpret_cast<const wchar_t*>(data), dataSize / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      values.emplace_back(std::wstring(name, nameLength), std::move(text));
    }
    return values;
  }

  std::vector<std::wstring> SubkeyNames() const {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
      wchar_t name[256];
      DWORD length = static_cast<DWORD>(std::size(name));
      const LONG r =
          ::RegEnumKeyExW(Key_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (r == ERROR_NO_MORE_ITEMS) break;
      if (r == ERROR_SUCCESS) names.emplace_back(name, length);
    }
    return names;
  }

  bool ReadString(const wchar_t* Value, std::wstring& Text) const {
    wchar_t data[1024];
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(Key_, Value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
      return false;
    Text.assign(data, size / sizeof(wchar_t));
    while (!Text.empty() && Text.back() == L'\0') Text.pop_back();
    return true;
  }

  bool ReadNumber(const wchar_t* Value, DWORD& Number) const {
    DWORD size = sizeof(Number);
    DWORD type = 0;
    return ::RegQueryValueExW(Key_, Value, nullptr, &type, reinterpret_cast<BYTE*>(&Number),
                              &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
  }

 private:
  HKEY Key_ = nullptr;
};

// The local ports: the data of the serial-communication values, except values whose name is
// their own data.
std::vector<std::string> LocalPortNames() {
  std::vector<std::string> names;
  const TRegKey key(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM");
  if (!key) return names;
  for (const auto& [name, data] : key.StringValues())
    if (!EqualNoCase(name, data)) names.push_back(UpperAscii(Utf8FromWide(data)));
  return names;
}

// The ports a remote-desktop client redirects to this computer, by their client names (COM1).
std::vector<std::string> ClientPortNames() {
  static const std::wstring Root =
      L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  std::vector<std::string> names;
  const TRegKey classes(HKEY_LOCAL_MACHINE, Root);
  if (!classes) return names;
  for (const std::wstring& k1 : classes.SubkeyNames()) {
    const std::wstring k1Path = Root + L"\\" + k1;
    const TRegKey device(HKEY_LOCAL_MACHINE, k1Path);
    if (!device) continue;
    for (const std::wstring& k2 : device.SubkeyNames()) {
      const std::wstring k2Path = k1Path + L"\\" + k2;
      std::string clientName;
      {
        const TRegKey parameters(HKEY_LOCAL_MACHINE, k2Path + L"\\Device Parameters");
        if (!parameters) continue;
        std::wstring text;
        if (parameters.ReadString(L"Client Device Name", text))
          clientName = UpperAscii(Utf8FromWide(text));
      }
      if (!clientName.starts_with("\\;COM")) continue;
      const TRegKey control(HKEY_LOCAL_MACHINE, k2Path + L"\\Control");
      DWORD linked = 0;
      if (!control || !control.ReadNumber(L"Linked", linked) || linked == 0) continue;
      static constexpr std::string_view Marker = "\\TSCLIENT\\";
      if (const auto at = clientName.find(Marker); at != std::string::npos)
        names.push_back(clientName.substr(at + Marker.size()));
    }
  }
  return names;
}

}  // namespace

std::string SerialDevicePathOf(std::string_view Name) {
  // COM10 and above open only through the device namespace; other names (\\tsclient\COM1)
  // are paths.
  if (StartsWithCom(Name)) return "\\\\.\\" + std::string(Name);
  return std::string(Name);
}

std::string SerialPortNameKey(std::string_view Name) { return UpperAscii(std::string(Name)); }

std::string SerialDeviceKey(std::string_view Name) {
  const std::string path = SerialDevicePathOf(Name);
  // A name in the device namespace stands for the system's device behind it (\Device\Serial0),
  // so COM3 and \\.\COM3 give one key; other names by the rule for names, without case.
  static constexpr std::string_view DeviceNamespace = "\\\\.\\";
  if (path.starts_with(DeviceNamespace)) {
    wchar_t target[1024];
    const std::wstring dosName = WideFromUtf8(path.substr(DeviceNamespace.size()));
    if (::QueryDosDeviceW(dosName.c_str(), target, static_cast<DWORD>(std::size(target))) != 0)
      return "device:" + Utf8FromWide(target);
  }
  return SerialPortNameKey(path);
}

std::vector<std::string> SystemSerialPortNames() {
  std::vector<std::string> local = LocalPortNames();
  const std::vector<std::string> client = ClientPortNames();
  std::vector<std::string> names;
  // A port redirected from the client is listed once, as a client port.
  for (const std::string& name : local) {
    bool redirected = false;
    for (const std::string& c : client) redirected = redirected || UpperAscii(c) == name;
    if (!redirected) names.push_back(name);
  }
  for (const std::string& c : client) names.push_back("\\\\tsclient\\" + c);
  return names;
}

TSerialPortDescription DescribeSystemSerialPort(std::string_view /*Name*/) {
  // The registry's device descriptions would need the setup API; the list shows names only.
  return {};
}

std::string SerialPortByIdPath(const TSerialPortDescription& /*Description*/) { return {}; }

}  // namespace probrix::platform
