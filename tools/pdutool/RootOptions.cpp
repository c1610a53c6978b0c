// pdutool's --root options (RootFile.h): listing the APIs of a root
// description file and loading one of them by its short name.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "Client.h"
#include "RootFile.h"

namespace pdutool {

bool ParseRootOption(int argc, char** argv, int& i, RootChoice& root, bool (*isCommand)(const std::string&)) {
  std::string_view a = argv[i];
  if (a == "--root") {
    root.given = true;
    if (i + 1 < argc && argv[i + 1][0] != '-' && (isCommand == nullptr || !isCommand(argv[i + 1]))) {
      root.name = argv[++i];
    }
    return true;
  }
  if (a == "--root-file") {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pdutool: --root-file needs a value\n");
      std::exit(kExitUsage);
    }
    root.file = argv[++i];
    return true;
  }
  return false;
}

namespace {

// Prints a failure of the --root handling (stderr, and the JSON document
// with --json) and returns code.
int RootFailure(const RootChoice& root, bool json, int code, const std::string& error) {
  std::fprintf(stderr, "pdutool: %s\n", error.c_str());
  if (json) {
    nlohmann::json doc = {{"command", "root"}, {"ok", false}, {"error", error}, {"rootFile", root.file}};
    std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  }
  return code;
}

std::string PathOrUri(const std::string& uri) {
  if (uri.empty()) return "-";
  std::optional<std::string> path = PathFromFileUri(uri);
  return path ? *path : uri;
}

}  // namespace

int RunRootList(const RootChoice& root, bool json, int extraArgs) {
  if (extraArgs > 0) {
    return RootFailure(root, json, kExitUsage, "--root lists the APIs; to load one: --root NAME COMMAND ...");
  }
  RootFile file;
  std::string error;
  if (!file.Load(root.file, error)) return RootFailure(root, json, kExitNoLibrary, error);

  nlohmann::json apis = nlohmann::json::array();
  const std::vector<RootApi> entries = file.Apis();
  if (!json) std::printf("%s: %zu D-PDU API(s)\n", root.file.c_str(), entries.size());
  for (const RootApi& api : entries) {
    std::optional<std::string> lib = PathFromFileUri(api.libraryUri);
    std::error_code ec;
    const bool present = lib && !lib->empty() && std::filesystem::exists(*lib, ec);
    apis.push_back({{"shortName", api.shortName},
                    {"description", api.description},
                    {"supplierName", api.supplierName},
                    {"libraryFile", api.libraryUri},
                    {"moduleDescriptionFile", api.moduleDescriptionUri},
                    {"cableDescriptionFile", api.cableDescriptionUri},
                    {"libraryPresent", present}});
    if (json) continue;
    std::printf("\n%s  %s (%s)\n", api.shortName.c_str(), api.description.c_str(), api.supplierName.c_str());
    std::printf("    library             %s%s\n", PathOrUri(api.libraryUri).c_str(), present ? "" : "  (missing)");
    std::printf("    module description  %s\n", PathOrUri(api.moduleDescriptionUri).c_str());
    std::printf("    cable description   %s\n", PathOrUri(api.cableDescriptionUri).c_str());
  }
  if (json) {
    nlohmann::json doc = {
        {"command", "root"}, {"ok", true}, {"error", nullptr}, {"rootFile", root.file}, {"apis", apis}};
    std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  }
  return kExitOk;
}

int ApplyRootApi(const RootChoice& root, bool json, std::string& libPath, std::string& mdfPath) {
  if (!libPath.empty()) return RootFailure(root, json, kExitUsage, "--lib and --root NAME exclude each other");
  RootFile file;
  std::string error;
  if (!file.Load(root.file, error)) return RootFailure(root, json, kExitNoLibrary, error);
  std::optional<RootApi> api = file.Find(root.name);
  if (!api) return RootFailure(root, json, kExitNoLibrary, root.file + " names no API " + root.name);
  std::optional<std::string> lib = PathFromFileUri(api->libraryUri);
  if (!lib || lib->empty()) {
    return RootFailure(root, json, kExitNoLibrary,
                       api->shortName + ": LIBRARY_FILE is not a local file URI: \"" + api->libraryUri + "\"");
  }
  libPath = *lib;
  std::optional<std::string> mdf = PathFromFileUri(api->moduleDescriptionUri);
  mdfPath = mdf ? *mdf : "";
  return kExitOk;
}

}  // namespace pdutool
