// UTF-8 <-> UTF-16 for the Win32 calls. The rest of the library keeps every
// text in UTF-8 std::strings; only the files of this folder see wide
// characters.
#pragma once

#include <string>

namespace pdu::platform::win32 {

// Invalid UTF-8 sequences become U+FFFD, as MultiByteToWideChar does.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);
std::string Narrow(const wchar_t* wide, size_t count);

}  // namespace pdu::platform::win32
