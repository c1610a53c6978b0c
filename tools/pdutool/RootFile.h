// The root description file of D-PDU APIs: how clients find the installed
// APIs, and how an installer adds or removes its own entry.
//
// Layout (on Linux /etc/pdu_api_root.xml):
//
//   <MVCI_PDU_API_ROOT>
//     <MVCI_PDU_API>                       one per installed API
//       <SHORT_NAME>PDU7318</SHORT_NAME>   the name clients select it by
//       <DESCRIPTION>...</DESCRIPTION>
//       <SUPPLIER_NAME>...</SUPPLIER_NAME>
//       <LIBRARY_FILE URI="file:///usr/lib/.../libpdu7318.so.1"/>
//       <MODULE_DESCRIPTION_FILE URI="file:///etc/brenlo/7318/MDF.xml"/>
//       <CABLE_DESCRIPTION_FILE URI="file:///..."/>   (optional here)
//     </MVCI_PDU_API>
//   </MVCI_PDU_API_ROOT>
//
// The file is shared by every vendor. RootFile edits only the entries whose
// SHORT_NAME it is told and keeps everything else byte for byte (other
// entries, comments, unknown elements, indentation, line ends): an edit
// replaces, inserts or cuts the text of our own entries only, so a removal
// after an installation gives back the file as it was. It refuses to touch
// a file it cannot parse: a broken file stays as it is rather than losing
// other vendors' entries.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <tinyxml.h>

namespace pdutool {

inline constexpr const char* kDefaultRootFile = "/etc/pdu_api_root.xml";
// The root description file clients read: kDefaultRootFile on Linux; on
// Windows the registry value "Root File" under HKLM\SOFTWARE\D-PDU API in
// the program's own registry view (tools/windows/RootFileWin32.cpp), empty
// when none is registered. Paths are UTF-8 on both systems.
std::string DefaultRootFile();

// The program's arguments after its name, in UTF-8: argv on Linux; on
// Windows taken from the wide command line (RootFileWin32.cpp), so that a
// path outside the ANSI code page survives.
std::vector<std::string> CommandLineUtf8(int argc, char** argv);

// The programs that hold these files open, one "NAME (process ID)" each,
// as Windows' Restart Manager tells them (RootFileWin32.cpp): the setup
// program names them when it cannot replace a file. Empty where nobody can
// tell: on Linux, which has no mandatory locks, and under Wine, whose
// Restart Manager is a stub.
std::vector<std::string> FileHolders(const std::vector<std::string>& utf8Paths);

// A UTF-8 path as a file system path: Windows takes a narrow name in the
// ANSI code page, which would mangle it. Text that is not UTF-8 (a narrow
// argv of pdutool.exe) is taken as the ANSI code page's, as before.
inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
  try {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  } catch (const std::exception&) {
    return std::filesystem::path(utf8);
  }
}

// One MVCI_PDU_API entry. The three file fields hold the URI attributes as
// written in the file; empty when the element or attribute is absent.
struct RootApi {
  std::string shortName;
  std::string description;
  std::string supplierName;
  std::string libraryUri;
  std::string moduleDescriptionUri;
  std::string cableDescriptionUri;
};

// "file:///usr/lib/x.so", "file://localhost/usr/lib/x.so", "file:/usr/lib/x.so"
// -> "/usr/lib/x.so" (percent escapes decoded); "file:///C:/x.dll" -> "C:/x.dll".
// A text without a scheme is taken as a path already. nullopt for another
// scheme, a remote host or a bad escape.
std::optional<std::string> PathFromFileUri(const std::string& uri);

// "/usr/lib/x.so" -> "file:///usr/lib/x.so"; bytes outside the unreserved
// set, '/' and ':' are percent-escaped.
std::string FileUriFromPath(const std::string& path);

class RootFile {
 public:
  // An empty document: declaration and an empty MVCI_PDU_API_ROOT.
  RootFile();

  // Parses a whole file's text. Blank text gives the empty document. False
  // with a readable error for text that is not XML or whose root element
  // is not MVCI_PDU_API_ROOT; the object is then unchanged.
  bool Parse(const std::string& text, std::string& error);
  // Reads and parses a file. False when it cannot be read or parsed.
  bool Load(const std::string& path, std::string& error);

  // The entries in file order (elements named MVCI_PDU_API).
  std::vector<RootApi> Apis() const;
  // The entry with this short name: an exact match first, else the only
  // entry whose name matches ignoring case.
  std::optional<RootApi> Find(const std::string& shortName) const;

  // Replaces the first entry whose SHORT_NAME is api.shortName (keeping its
  // place in the file) and drops any further ones; appends a new entry
  // when there is none.
  void Put(const RootApi& api);
  // Removes every entry whose SHORT_NAME is exactly shortName; returns how
  // many were removed.
  int Remove(const std::string& shortName);
  // True when the root element has no child left (no entry, no comment).
  bool Empty() const;

  // The document as text: the parsed text with our edits spliced in (new
  // entries two-space indented below the root's other children).
  std::string Text() const;
  // Writes Text() to a temporary file beside path and renames it over path,
  // so a reader sees the old or the new file, never half of one. An
  // existing file's permissions are kept.
  bool Save(const std::string& path, std::string& error) const;

 private:
  TiXmlElement* Root();
  const TiXmlElement* Root() const;

  // Re-reads doc_ from text_ after an edit of the text.
  void Reparse();

  TiXmlDocument doc_;
  std::string text_;
};

// ---- pdutool's --root options ----

struct RootChoice {
  bool given = false;                    // --root appeared
  std::string name;                      // short name to load; empty: list the APIs
  std::string file = DefaultRootFile();  // --root-file
};

// Consumes "--root [NAME]" or "--root-file FILE" at argv[i] (advancing i
// past a value). NAME is the next argument unless it starts with '-' or is
// a command's name (isCommand): `--root info` is a bare --root followed by
// the command, never an API named "info". False when argv[i] is neither
// option.
bool ParseRootOption(int argc, char** argv, int& i, RootChoice& root,
                     bool (*isCommand)(const std::string&) = nullptr);

// `pdutool --root`: lists the APIs the root file names, as text or as one
// JSON document. extraArgs > 0 (a command after a bare --root) is a usage
// error. Returns pdutool's exit code.
int RunRootList(const RootChoice& root, bool json, int extraArgs);

// `pdutool --root NAME ...`: sets libPath to the entry's library and
// mdfPath to its module description (empty when it names none). Returns
// pdutool's exit code: kExitOk, kExitUsage (also --lib given) or
// kExitNoLibrary (no such root file or entry, no local library path).
int ApplyRootApi(const RootChoice& root, bool json, std::string& libPath, std::string& mdfPath);

}  // namespace pdutool
