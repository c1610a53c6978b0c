// pdutool's library loader for Windows: LoadLibraryW and GetProcAddress in
// place of dlopen and dlsym (pdutool/PduLibrary.cpp). Built instead of that
// file when pdutool is cross-built for Windows (tools/windows/Pdutool.cmake).
// The 29 functions are looked up by their plain names, which is how
// pdu7318.dll exports them in both the 32- and the 64-bit build.
#include <windows.h>

#include <string>
#include <type_traits>

#include "PduLibrary.h"
#include "platform/Platform.h"

namespace pdutool {
namespace {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& s) {
  if (s.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                        nullptr);
  }
  return out;
}

std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string msg = n > 0 ? Narrow(std::wstring(text, n)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r')) msg.pop_back();
  return msg;
}

}  // namespace

PduLibrary::~PduLibrary() {
  // As on Linux: the module stays loaded until the process ends.
  handle_ = nullptr;
}

bool PduLibrary::Load(const std::string& path, std::string& error) {
  path_ = path;
  // A root description file's URI gives "C:/dir/x.dll"; LoadLibrary wants
  // backslashes in a path.
  std::wstring native = Widen(path);
  for (wchar_t& c : native) {
    if (c == L'/') c = L'\\';
  }
  HMODULE module = LoadLibraryW(native.c_str());
  if (module == nullptr) {
    const DWORD code = GetLastError();
    error = "cannot load " + path + ": error " + std::to_string(code) + " " + SystemMessage(code);
    return false;
  }
  handle_ = module;
  auto resolve = [&](auto& slot, const char* name) {
    FARPROC sym = GetProcAddress(module, name);
    if (sym == nullptr) {
      missing_.push_back(name);
      return;
    }
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
        reinterpret_cast<void*>(sym));
  };
  fn_.ResolveEach(resolve);
  return true;
}

// pdu7318.dll beside pdutool.exe (both land in the build's bin folder),
// from the library's own ExecutablePath, which takes paths beyond MAX_PATH.
std::string DefaultLibraryPath() {
  const std::string exe = pdu::platform::ExecutablePath();
  const size_t slash = exe.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : exe.substr(0, slash + 1)) + "pdu7318.dll";
}

}  // namespace pdutool
