#include "platform/win32/WinText.h"

#include <windows.h>

namespace pdu::platform::win32 {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* wide, size_t count) {
  if (wide == nullptr || count == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(count), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(count), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::string Narrow(const std::wstring& wide) { return Narrow(wide.data(), wide.size()); }

}  // namespace pdu::platform::win32
