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
  for (char& C : Text)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
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
    std::vector<std::pair<std::wstring, std::wstring>> Values;
    for (DWORD Index = 0;; ++Index) {
      wchar_t Name[16384];
      DWORD NameLength = static_cast<DWORD>(std::size(Name));
      DWORD Type = 0;
      BYTE Data[1024];
      DWORD DataSize = sizeof(Data) - sizeof(wchar_t);
      const LONG R =
          ::RegEnumValueW(Key_, Index, Name, &NameLength, nullptr, &Type, Data, &DataSize);
      if (R == ERROR_NO_MORE_ITEMS) break;
      if (R != ERROR_SUCCESS || (Type != REG_SZ && Type != REG_EXPAND_SZ)) continue;
      std::wstring Text(reinterpret_cast<const wchar_t*>(Data), DataSize / sizeof(wchar_t));
      while (!Text.empty() && Text.back() == L'\0') Text.pop_back();
      Values.emplace_back(std::wstring(Name, NameLength), std::move(Text));
    }
    return Values;
  }

  std::vector<std::wstring> SubkeyNames() const {
    std::vector<std::wstring> Names;
    for (DWORD Index = 0;; ++Index) {
      wchar_t Name[256];
      DWORD Length = static_cast<DWORD>(std::size(Name));
      const LONG R =
          ::RegEnumKeyExW(Key_, Index, Name, &Length, nullptr, nullptr, nullptr, nullptr);
      if (R == ERROR_NO_MORE_ITEMS) break;
      if (R == ERROR_SUCCESS) Names.emplace_back(Name, Length);
    }
    return Names;
  }

  bool ReadString(const wchar_t* Value, std::wstring& Text) const {
    wchar_t Data[1024];
    DWORD Size = sizeof(Data) - sizeof(wchar_t);
    DWORD Type = 0;
    if (::RegQueryValueExW(Key_, Value, nullptr, &Type, reinterpret_cast<BYTE*>(Data), &Size) !=
            ERROR_SUCCESS ||
        (Type != REG_SZ && Type != REG_EXPAND_SZ))
      return false;
    Text.assign(Data, Size / sizeof(wchar_t));
    while (!Text.empty() && Text.back() == L'\0') Text.pop_back();
    return true;
  }

  bool ReadNumber(const wchar_t* Value, DWORD& Number) const {
    DWORD Size = sizeof(Number);
    DWORD Type = 0;
    return ::RegQueryValueExW(Key_, Value, nullptr, &Type, reinterpret_cast<BYTE*>(&Number),
                              &Size) == ERROR_SUCCESS &&
           Type == REG_DWORD;
  }

 private:
  HKEY Key_ = nullptr;
};

// The local ports: the data of the serial-communication values, except values whose name is
// their own data.
std::vector<std::string> LocalPortNames() {
  std::vector<std::string> Names;
  const TRegKey Key(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM");
  if (!Key) return Names;
  for (const auto& [Name, Data] : Key.StringValues())
    if (!EqualNoCase(Name, Data)) Names.push_back(UpperAscii(Utf8FromWide(Data)));
  return Names;
}

// The ports a remote-desktop client redirects to this computer, by their client names (COM1).
std::vector<std::string> ClientPortNames() {
  static const std::wstring Root =
      L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  std::vector<std::string> Names;
  const TRegKey Classes(HKEY_LOCAL_MACHINE, Root);
  if (!Classes) return Names;
  for (const std::wstring& K1 : Classes.SubkeyNames()) {
    const std::wstring K1Path = Root + L"\\" + K1;
    const TRegKey Device(HKEY_LOCAL_MACHINE, K1Path);
    if (!Device) continue;
    for (const std::wstring& K2 : Device.SubkeyNames()) {
      const std::wstring K2Path = K1Path + L"\\" + K2;
      std::string ClientName;
      {
        const TRegKey Parameters(HKEY_LOCAL_MACHINE, K2Path + L"\\Device Parameters");
        if (!Parameters) continue;
        std::wstring Text;
        if (Parameters.ReadString(L"Client Device Name", Text))
          ClientName = UpperAscii(Utf8FromWide(Text));
      }
      if (!ClientName.starts_with("\\;COM")) continue;
      const TRegKey Control(HKEY_LOCAL_MACHINE, K2Path + L"\\Control");
      DWORD Linked = 0;
      if (!Control || !Control.ReadNumber(L"Linked", Linked) || Linked == 0) continue;
      static constexpr std::string_view Marker = "\\TSCLIENT\\";
      if (const auto At = ClientName.find(Marker); At != std::string::npos)
        Names.push_back(ClientName.substr(At + Marker.size()));
    }
  }
  return Names;
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
  const std::string Path = SerialDevicePathOf(Name);
  // A name in the device namespace stands for the system's device behind it (\Device\Serial0),
  // so COM3 and \\.\COM3 give one key; other names by the rule for names, without case.
  static constexpr std::string_view DeviceNamespace = "\\\\.\\";
  if (Path.starts_with(DeviceNamespace)) {
    wchar_t Target[1024];
    const std::wstring DosName = WideFromUtf8(Path.substr(DeviceNamespace.size()));
    if (::QueryDosDeviceW(DosName.c_str(), Target, static_cast<DWORD>(std::size(Target))) != 0)
      return "device:" + Utf8FromWide(Target);
  }
  return SerialPortNameKey(Path);
}

std::vector<std::string> SystemSerialPortNames() {
  std::vector<std::string> Local = LocalPortNames();
  const std::vector<std::string> Client = ClientPortNames();
  std::vector<std::string> Names;
  // A port redirected from the client is listed once, as a client port.
  for (const std::string& Name : Local) {
    bool Redirected = false;
    for (const std::string& C : Client) Redirected = Redirected || UpperAscii(C) == Name;
    if (!Redirected) Names.push_back(Name);
  }
  for (const std::string& C : Client) Names.push_back("\\\\tsclient\\" + C);
  return Names;
}

TSerialPortDescription DescribeSystemSerialPort(std::string_view /*Name*/) {
  // The registry's device descriptions would need the setup API; the list shows names only.
  return {};
}

std::string SerialPortByIdPath(const TSerialPortDescription& /*Description*/) { return {}; }

}  // namespace probrix::platform
