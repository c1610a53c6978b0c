// pdu7318-rootfile: adds, removes or lists one D-PDU API entry of the root
// description file that every vendor's API shares (/etc/pdu_api_root.xml;
// on Windows the file the registry value "Root File" of the program's own
// registry view names). The Debian package's maintainer scripts and the
// Windows installer call it; an administrator can too.
//
//   pdu7318-rootfile [--file FILE] list
//   pdu7318-rootfile [--file FILE] put --short-name NAME --library PATH
//                    [--mdf PATH] [--cable PATH] [--description TEXT] [--supplier TEXT]
//   pdu7318-rootfile [--file FILE] remove --short-name NAME
//   pdu7318-rootfile holders FILE...
//
// put replaces the entry of that short name (or appends one), remove takes
// away only entries of that short name and deletes the file when nothing
// is left in it. A file that is not a well-formed root description file is
// never rewritten: the command fails and the file stays as it was. put on
// a file whose folder is gone (a registration another vendor's uninstaller
// left behind) creates the folder and a new file there and says so: the
// name stays the one every client is told. holders prints the programs
// that hold the files open, "NAME (process ID)" a line, where Windows can
// tell (the setup program names them when it cannot replace a file).
//
// Paths are UTF-8 (on Windows the arguments come from the wide command
// line). Every failure names the file and the reason.
//
// Exit codes: 0 done (also: nothing to remove), 1 the file could not be
// read, parsed or written, 2 usage.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "RootFile.h"

namespace {

using pdutool::FileUriFromPath;
using pdutool::PathFromUtf8;
using pdutool::RootApi;
using pdutool::RootFile;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: pdu7318-rootfile [--file FILE] list\n"
               "       pdu7318-rootfile [--file FILE] put --short-name NAME --library PATH\n"
               "                        [--mdf PATH] [--cable PATH] [--description TEXT] [--supplier TEXT]\n"
               "       pdu7318-rootfile [--file FILE] remove --short-name NAME\n"
               "       pdu7318-rootfile holders FILE...\n"
               "FILE defaults to %s.\n",
               pdutool::DefaultRootFile().empty() ? "the registered root file" : pdutool::DefaultRootFile().c_str());
}

[[noreturn]] void UsageError(const std::string& what) {
  std::fprintf(stderr, "pdu7318-rootfile: %s\n", what.c_str());
  Usage(stderr);
  std::exit(kUsage);
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "pdu7318-rootfile: %s\n", what.c_str());
  return kFailed;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(PathFromUtf8(path), ec);
}

// The folder of a file that is not there is made with its parents; true
// when it had to be. A failure is said in error.
bool MakeFolderOf(const std::string& path, std::string& error) {
  namespace fs = std::filesystem;
  const fs::path folder = PathFromUtf8(path).parent_path();
  std::error_code ec;
  if (folder.empty() || fs::is_directory(folder, ec)) return false;
  if (!fs::create_directories(folder, ec) && ec) {
    const std::u8string name = folder.u8string();
    error = "cannot create the folder " + std::string(name.begin(), name.end()) + " of " + path + ": " + ec.message();
  }
  return true;
}

int List(const std::string& path) {
  RootFile file;
  std::string error;
  if (!file.Load(path, error)) return Fail(error);
  for (const RootApi& api : file.Apis()) {
    std::printf("%s\t%s\t%s\n", api.shortName.c_str(), api.libraryUri.c_str(), api.moduleDescriptionUri.c_str());
  }
  return kOk;
}

int Put(const std::string& path, const RootApi& api) {
  RootFile file;
  std::string error;
  if (Exists(path) && !file.Load(path, error)) return Fail(error + "; left unchanged");
  const bool madeFolder = MakeFolderOf(path, error);
  if (!error.empty()) return Fail(error);
  file.Put(api);
  if (!file.Save(path, error)) return Fail(error);
  if (madeFolder) {
    std::printf("pdu7318-rootfile: the folder of %s did not exist; created it and a new root description file\n",
                path.c_str());
  }
  std::printf("pdu7318-rootfile: %s registered in %s\n", api.shortName.c_str(), path.c_str());
  return kOk;
}

int Remove(const std::string& path, const std::string& shortName) {
  if (!Exists(path)) return kOk;
  RootFile file;
  std::string error;
  if (!file.Load(path, error)) return Fail(error + "; left unchanged");
  if (file.Remove(shortName) == 0) return kOk;
  if (file.Empty()) {
    // Nothing but our entry was in it: leave no empty file behind.
    std::error_code ec;
    std::filesystem::remove(PathFromUtf8(path), ec);
    if (ec) return Fail("cannot remove " + path + ": " + ec.message());
  } else if (!file.Save(path, error)) {
    return Fail(error);
  }
  std::printf("pdu7318-rootfile: %s removed from %s\n", shortName.c_str(), path.c_str());
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = pdutool::CommandLineUtf8(argc, argv);
  const size_t count = args.size();
  std::string path = pdutool::DefaultRootFile();
  size_t i = 0;
  auto value = [&](const char* name) -> std::string {
    if (i + 1 >= count) UsageError(std::string(name) + " needs a value");
    return args[++i];
  };
  for (; i < count && args[i].starts_with('-'); ++i) {
    std::string_view a = args[i];
    if (a == "--file") {
      path = value("--file");
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return kOk;
    } else {
      UsageError("unknown option " + std::string(a));
    }
  }
  if (i >= count) UsageError("no command");
  const std::string command = args[i++];
  if (command == "holders") {
    for (const std::string& holder : pdutool::FileHolders({args.begin() + static_cast<long>(i), args.end()})) {
      std::printf("%s\n", holder.c_str());
    }
    return kOk;
  }

  RootApi api;
  std::string library;
  std::string mdf;
  std::string cable;
  for (; i < count; ++i) {
    std::string_view a = args[i];
    if (a == "--short-name") {
      api.shortName = value("--short-name");
    } else if (a == "--library") {
      library = value("--library");
    } else if (a == "--mdf") {
      mdf = value("--mdf");
    } else if (a == "--cable") {
      cable = value("--cable");
    } else if (a == "--description") {
      api.description = value("--description");
    } else if (a == "--supplier") {
      api.supplierName = value("--supplier");
    } else {
      UsageError("unexpected argument " + std::string(a));
    }
  }

  if (path.empty()) UsageError("no root description file is registered; name one with --file");
  if (command == "list") return List(path);
  if (api.shortName.empty()) UsageError(command + " needs --short-name");
  if (command == "remove") return Remove(path, api.shortName);
  if (command != "put") UsageError("unknown command " + command);
  if (library.empty()) UsageError("put needs --library");
  for (const std::string* p : {&library, &mdf, &cable}) {
    if (!p->empty() && !PathFromUtf8(*p).is_absolute()) UsageError("paths must be absolute: " + *p);
  }
  api.libraryUri = FileUriFromPath(library);
  if (!mdf.empty()) api.moduleDescriptionUri = FileUriFromPath(mdf);
  if (!cable.empty()) api.cableDescriptionUri = FileUriFromPath(cable);
  return Put(path, api);
}
