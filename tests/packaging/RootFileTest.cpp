// The root description file: URI conversion, the edits an installer makes
// (RootFile), the helper the Debian package runs (pdu7318-rootfile) and
// pdutool --root, each on files in a temporary folder.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "RootFile.h"

namespace {

namespace fs = std::filesystem;
using pdutool::FileUriFromPath;
using pdutool::PathFromFileUri;
using pdutool::RootApi;
using pdutool::RootFile;

// A root file as another vendor's installer leaves it: a comment, an
// element this code does not know, and an entry with a cable file.
const char* const kOtherVendor =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- maintained by the installers of the D-PDU APIs -->\n"
    "<MVCI_PDU_API_ROOT>\n"
    "  <MVCI_PDU_API>\n"
    "    <SHORT_NAME>ACME_VCI</SHORT_NAME>\n"
    "    <DESCRIPTION>ACME &amp; Sons VCI</DESCRIPTION>\n"
    "    <SUPPLIER_NAME>ACME</SUPPLIER_NAME>\n"
    "    <LIBRARY_FILE URI=\"file:///opt/acme/libacme.so\"/>\n"
    "    <MODULE_DESCRIPTION_FILE URI=\"file:///opt/acme/mdf.xml\"/>\n"
    "    <CABLE_DESCRIPTION_FILE URI=\"file:///opt/acme/cdf.xml\"/>\n"
    "    <ACME_LICENSE_KEY>42</ACME_LICENSE_KEY>\n"
    "  </MVCI_PDU_API>\n"
    "</MVCI_PDU_API_ROOT>\n";

RootApi Ours(const std::string& library = "/usr/lib/x86_64-linux-gnu/libpdu7318.so.1") {
  RootApi api;
  api.shortName = "PDU7318";
  api.description = "D-PDU API of the QDM7318 serial VCI";
  api.supplierName = "Norvik Delta GmbH";
  api.libraryUri = FileUriFromPath(library);
  api.moduleDescriptionUri = FileUriFromPath("/etc/brenlo/7318/MDF.xml");
  return api;
}

std::string Entry(const std::string& name, const std::string& lib) {
  return "<MVCI_PDU_API><SHORT_NAME>" + name + "</SHORT_NAME><LIBRARY_FILE URI=\"" + lib + "\"/></MVCI_PDU_API>";
}

std::string Root(const std::string& body) { return "<MVCI_PDU_API_ROOT>" + body + "</MVCI_PDU_API_ROOT>"; }

std::vector<std::string> Names(const RootFile& file) {
  std::vector<std::string> names;
  for (const RootApi& api : file.Apis()) names.push_back(api.shortName);
  return names;
}

RootFile Parsed(const std::string& text) {
  RootFile file;
  std::string error;
  EXPECT_TRUE(file.Parse(text, error)) << error;
  return file;
}

// ---- URIs ----

TEST(RootFileUri, FileUrisGiveLocalPaths) {
  struct Case { const char* uri; std::optional<std::string> path; };
  const Case cases[] = {
      {"file:///usr/lib/libpdu7318.so.1", "/usr/lib/libpdu7318.so.1"}, {"FILE:///usr/lib/x.so", "/usr/lib/x.so"},
      {"file://localhost/usr/lib/x.so", "/usr/lib/x.so"}, {"file:/usr/lib/x.so", "/usr/lib/x.so"},
      {"file:///opt/my%20dir/x%231.so", "/opt/my dir/x#1.so"},
      {"file:///C:/Program%20Files/acme/acme.dll", "C:/Program Files/acme/acme.dll"},
      {"/usr/lib/plain.so", "/usr/lib/plain.so"}, {"C:\\acme\\acme.dll", "C:\\acme\\acme.dll"},
      {"file://fileserver/share/x.so", std::nullopt}, {"http://example.invalid/x.so", std::nullopt},
      {"file:///bad%2", std::nullopt}, {"file:///bad%zz", std::nullopt}, {"file://", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(PathFromFileUri(c.uri), c.path) << c.uri;
}

TEST(RootFileUri, PathsBecomeFileUrisThatReadBack) {
  EXPECT_EQ(FileUriFromPath("/usr/lib/x86_64-linux-gnu/libpdu7318.so.1"),
            "file:///usr/lib/x86_64-linux-gnu/libpdu7318.so.1");
  EXPECT_EQ(FileUriFromPath("/opt/my dir/a#b%c.so"), "file:///opt/my%20dir/a%23b%25c.so");
  for (const char* path : {"/opt/my dir/a#b%c.so", "/etc/brenlo/7318/MDF.xml", "/x/\xC3\xA4.so"}) {
    EXPECT_EQ(PathFromFileUri(FileUriFromPath(path)), std::string(path));
  }
}

// ---- RootFile ----

TEST(RootFile, PutIntoBlankTextMakesAWholeDocument) {
  for (const char* blank : {"", "  \n", "\xEF\xBB\xBF\n"}) {
    RootFile file = Parsed(blank);
    file.Put(Ours());
    const std::string text = file.Text();
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"", 0), 0u) << text;
    RootFile back = Parsed(text);
    ASSERT_EQ(Names(back), std::vector<std::string>{"PDU7318"});
    RootApi api = back.Apis()[0];
    EXPECT_EQ(api.libraryUri, "file:///usr/lib/x86_64-linux-gnu/libpdu7318.so.1");
    EXPECT_EQ(api.moduleDescriptionUri, "file:///etc/brenlo/7318/MDF.xml");
    EXPECT_EQ(api.cableDescriptionUri, "");
    EXPECT_EQ(api.supplierName, "Norvik Delta GmbH");
  }
}

TEST(RootFile, PutReplacesItsEntryInPlaceAndDropsDuplicates) {
  RootFile file = Parsed(Root(Entry("A", "file:///a.so") + Entry("PDU7318", "file:///old/libpdu7318.so.1") +
                              Entry("B", "file:///b.so") + Entry("PDU7318", "file:///older/libpdu7318.so.1")));
  file.Put(Ours("/new/libpdu7318.so.1"));
  EXPECT_EQ(Names(file), (std::vector<std::string>{"A", "PDU7318", "B"}));
  EXPECT_EQ(file.Apis()[1].libraryUri, "file:///new/libpdu7318.so.1");
  // Putting the same entry again changes nothing.
  const std::string once = file.Text();
  file.Put(Ours("/new/libpdu7318.so.1"));
  EXPECT_EQ(file.Text(), once);
}

TEST(RootFile, RemoveTakesOnlyEntriesOfExactlyThatNameAndEmptiesOnlyAWholeRoot) {
  RootFile file = Parsed(Root(Entry("PDU7318", "file:///a.so") + Entry("pdu7318", "file:///other.so") +
                              Entry("PDU7318X", "file:///x.so") + Entry("PDU7318", "file:///dup.so")));
  EXPECT_EQ(file.Remove("PDU7318"), 2);
  EXPECT_EQ(Names(file), (std::vector<std::string>{"pdu7318", "PDU7318X"}));
  EXPECT_EQ(file.Remove("PDU7318"), 0);
  EXPECT_FALSE(file.Empty());
  RootFile ours = Parsed(Root(Entry("PDU7318", "file:///a.so")));
  ours.Remove("PDU7318");
  EXPECT_TRUE(ours.Empty());
  RootFile commented = Parsed(Root("<!-- keep -->" + Entry("PDU7318", "file:///a.so")));
  commented.Remove("PDU7318");
  EXPECT_FALSE(commented.Empty());
}

TEST(RootFile, OtherVendorsBytesStayAndRemovalGivesTheFileBack) {
  // Layouts other installers write: tabs and CRLF, everything on one line,
  // a look-alike entry inside a comment and an attribute, an empty root.
  const std::string crlfTabs =
      "<?xml version=\"1.0\"?>\r\n<MVCI_PDU_API_ROOT>\r\n\t<MVCI_PDU_API>\r\n\t\t<SHORT_NAME>X</SHORT_NAME>\r\n"
      "\t\t<LIBRARY_FILE URI='file:///C:/x.dll' />\r\n\t</MVCI_PDU_API>\r\n</MVCI_PDU_API_ROOT>\r\n";
  const std::string oneLine = Root(Entry("A", "file:///a.so") + Entry("B", "file:///b.so"));
  const std::string lookAlike =
      "<MVCI_PDU_API_ROOT note=\"<MVCI_PDU_API>\">\n  <!-- <MVCI_PDU_API><SHORT_NAME>PDU7318</SHORT_NAME>"
      "</MVCI_PDU_API> -->\n  " + Entry("A", "file:///a.so") + "\n</MVCI_PDU_API_ROOT>";
  struct Case {
    std::string text;
    std::string inserted;  // our entry's first line as it must appear
  };
  const Case cases[] = {
      {kOtherVendor, "  <MVCI_PDU_API>\n    <SHORT_NAME>PDU7318</SHORT_NAME>\n"},
      {crlfTabs, "\t<MVCI_PDU_API>\r\n\t\t<SHORT_NAME>PDU7318</SHORT_NAME>\r\n"},
      {oneLine, "</MVCI_PDU_API><MVCI_PDU_API>\n  <SHORT_NAME>PDU7318</SHORT_NAME>"},
      {lookAlike, "\n  <MVCI_PDU_API>\n    <SHORT_NAME>PDU7318</SHORT_NAME>"},
      {"<MVCI_PDU_API_ROOT/>", "<MVCI_PDU_API_ROOT>\n  <MVCI_PDU_API>\n"},
  };
  for (const Case& c : cases) {
    RootFile file = Parsed(c.text);
    const size_t others = file.Apis().size();
    file.Put(Ours());
    const std::string put = file.Text();
    EXPECT_NE(put.find(c.inserted), std::string::npos) << put;
    RootFile back = Parsed(put);
    ASSERT_EQ(back.Apis().size(), others + 1) << put;
    EXPECT_EQ(back.Apis().back().shortName, "PDU7318") << put;
    EXPECT_EQ(file.Remove("PDU7318"), 1);
    if (c.text != "<MVCI_PDU_API_ROOT/>") {
      EXPECT_EQ(file.Text(), c.text);
    }
    EXPECT_EQ(file.Apis().size(), others);
  }
}

TEST(RootFile, RefusesTextItCannotEditAndKeepsWhatItHad) {
  const char* const bad[] = {
      "<MVCI_PDU_API_ROOT><MVCI_PDU_API><SHORT_NAME>X</SHORT_NAME>",  // cut off
      "<MVCI_PDU_API_ROOT></MVCI_PDU_API>",                            // mismatched
      "<SOMETHING_ELSE><MVCI_PDU_API/></SOMETHING_ELSE>",              // another root
      "just text",
  };
  for (const char* text : bad) {
    RootFile file = Parsed(kOtherVendor);
    const std::string before = file.Text();
    std::string error;
    EXPECT_FALSE(file.Parse(text, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(file.Text(), before) << text;
  }
}

TEST(RootFile, FindPrefersAnExactNameThenAUniqueCaseInsensitiveOne) {
  RootFile file = Parsed(Root(Entry("Alpha", "file:///1.so") + Entry("ALPHA", "file:///2.so") +
                              Entry("beta", "file:///3.so")));
  EXPECT_EQ(file.Find("Alpha")->libraryUri, "file:///1.so");
  EXPECT_EQ(file.Find("ALPHA")->libraryUri, "file:///2.so");
  EXPECT_FALSE(file.Find("alpha").has_value());  // two candidates
  EXPECT_EQ(file.Find("BETA")->libraryUri, "file:///3.so");
  EXPECT_FALSE(file.Find("gamma").has_value());
  // Another vendor's entry reads with its texts unescaped.
  const std::optional<RootApi> acme = Parsed(kOtherVendor).Find("ACME_VCI");
  ASSERT_TRUE(acme.has_value());
  EXPECT_EQ(acme->description, "ACME & Sons VCI");
  EXPECT_EQ(acme->cableDescriptionUri, "file:///opt/acme/cdf.xml");
}

// ---- the helper and pdutool, as processes ----

class RootFileProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pdu7318-rootfile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/pdu_api_root.xml";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void Write(const std::string& text) { std::ofstream(root_, std::ios::binary) << text; }
  std::string Read() const {
    std::ostringstream text;
    text << std::ifstream(root_, std::ios::binary).rdbuf();
    return text.str();
  }

  // Runs a command line; returns its exit code, stdout in out.
  static int Run(const std::string& command, std::string* out = nullptr) {
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    int status = pclose(pipe);
    if (out != nullptr) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Tool(const std::string& args) const {
    return std::string(PDU7318_ROOTFILE_TOOL) + " --file " + root_ + " " + args;
  }
  static std::string PutOurs(const std::string& lib = "/usr/lib/x86_64-linux-gnu/libpdu7318.so.1") {
    return "put --short-name PDU7318 --library " + lib + " --mdf /etc/brenlo/7318/MDF.xml";
  }

  RootFile Load() const { return Load(root_); }
  static RootFile Load(const std::string& path) {
    RootFile file;
    std::string error;
    EXPECT_TRUE(file.Load(path, error)) << error;
    return file;
  }

  std::string dir_, root_;
};

TEST_F(RootFileProcess, AnUpgradeRewritesTheEntryOnceAndKeepsThePermissions) {
  Write(kOtherVendor);
  ASSERT_EQ(chmod(root_.c_str(), 0640), 0);
  ASSERT_EQ(Run(Tool(PutOurs("/usr/lib/old/libpdu7318.so.1"))), 0);
  ASSERT_EQ(Run(Tool(PutOurs("/usr/lib/new/libpdu7318.so.1"))), 0);
  RootFile file = Load();
  EXPECT_EQ(Names(file), (std::vector<std::string>{"ACME_VCI", "PDU7318"}));
  EXPECT_EQ(file.Apis()[1].libraryUri, "file:///usr/lib/new/libpdu7318.so.1");
  struct stat st {};
  ASSERT_EQ(stat(root_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(RootFileProcess, ABrokenFileIsNeverRewritten) {
  const std::string broken = "<MVCI_PDU_API_ROOT>\n  <MVCI_PDU_API><SHORT_NAME>PDU7318</SHORT_NAME>\n";
  Write(broken);
  EXPECT_EQ(Run(Tool(PutOurs())), 1);
  EXPECT_EQ(Read(), broken);
  EXPECT_EQ(Run(Tool("remove --short-name PDU7318")), 1);
  EXPECT_EQ(Read(), broken);
  EXPECT_FALSE(fs::exists(root_ + ".pdu7318-new"));
}

// A Root File value may name a file whose folder another vendor's
// uninstaller removed: put makes the folder and a new file there and says
// so; a folder that cannot be made fails, naming the file and the reason.
TEST_F(RootFileProcess, AFileWhoseFolderIsGoneIsMadeWithItsFolder) {
  Write("not a folder");
  const struct { std::string file; int exit; std::string says; } cases[] = {
      {dir_ + "/gone/D-PDU API/pdu_api_root.xml", 0,
       "pdu7318-rootfile: the folder of " + dir_ + "/gone/D-PDU API/pdu_api_root.xml did not exist; created it and "
       "a new root description file\npdu7318-rootfile: PDU7318 registered in " + dir_ +
       "/gone/D-PDU API/pdu_api_root.xml\n"},
      {root_ + "/sub/pdu_api_root.xml", 1,
       "pdu7318-rootfile: cannot create the folder " + root_ + "/sub of " + root_ +
       "/sub/pdu_api_root.xml: Not a directory\n"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(Run("(" + std::string(PDU7318_ROOTFILE_TOOL) + " --file '" + c.file + "' " + PutOurs() + " 2>&1)", &out),
              c.exit)
        << c.file;
    EXPECT_EQ(out, c.says);
  }
  EXPECT_EQ(Names(Load(dir_ + "/gone/D-PDU API/pdu_api_root.xml")), (std::vector<std::string>{"PDU7318"}));
  EXPECT_EQ(Read(), "not a folder");
}

TEST_F(RootFileProcess, UsageErrorsExitWithTwo) {
  EXPECT_EQ(Run(Tool("put --library /x.so")), 2);                         // no short name
  EXPECT_EQ(Run(Tool("put --short-name X")), 2);                          // no library
  EXPECT_EQ(Run(Tool("put --short-name X --library relative/x.so")), 2);  // not absolute
  EXPECT_EQ(Run(Tool("frobnicate --short-name X")), 2);
  EXPECT_FALSE(fs::exists(root_));
}

#ifdef PDUTOOL
class PdutoolRoot : public RootFileProcess {
 protected:
  // pdutool with the library found through the root file; no VCI is
  // reachable, so API calls may fail, but the library is loaded.
  std::string Pdutool(const std::string& args) const {
    return std::string("PDU7318_PORTS=") + dir_ + "/no-vci " + PDUTOOL + " --root-file " + root_ + " " + args;
  }
  void WriteTwoApis() {
    RootFile file;
    file.Put(Ours(PDU7318_LIBRARY));
    RootApi missing = Ours("/nonexistent/libgone.so");
    missing.shortName = "GONE";
    file.Put(missing);
    std::string error;
    ASSERT_TRUE(file.Save(root_, error)) << error;
  }
};

TEST_F(PdutoolRoot, ListsTheApisOfTheRootFile) {
  WriteTwoApis();
  std::string out;
  ASSERT_EQ(Run(Pdutool("--json --root"), &out), 0) << out;
  nlohmann::json doc = nlohmann::json::parse(out);
  ASSERT_EQ(doc["apis"].size(), 2u);
  EXPECT_EQ(doc["apis"][0]["shortName"], "PDU7318");
  EXPECT_EQ(doc["apis"][0]["libraryPresent"], true);
  EXPECT_EQ(doc["apis"][1]["shortName"], "GONE");
  EXPECT_EQ(doc["apis"][1]["libraryPresent"], false);
  EXPECT_EQ(doc["rootFile"], root_);

  ASSERT_EQ(Run(Pdutool("--root"), &out), 0);
  EXPECT_NE(out.find("PDU7318"), std::string::npos) << out;
  EXPECT_NE(out.find("/nonexistent/libgone.so  (missing)"), std::string::npos) << out;
}

TEST_F(PdutoolRoot, LoadsTheLibraryAnEntryNames) {
  WriteTwoApis();
  std::string out;
  Run(Pdutool("--json --root pdu7318 ioctl vbatt"), &out);
  nlohmann::json doc = nlohmann::json::parse(out);
  EXPECT_EQ(doc["library"], PDU7318_LIBRARY);
  EXPECT_FALSE(doc.contains("missingFunctions")) << out;
}

TEST_F(PdutoolRoot, ExitCodesOfWhatTheRootFileCannotGive) {
  WriteTwoApis();
  EXPECT_EQ(Run(Pdutool("--root NOSUCH info")), 3);
  EXPECT_EQ(Run(Pdutool("--root GONE info")), 3);  // the library file is missing
  EXPECT_EQ(Run(Pdutool("--lib /x.so --root PDU7318 info")), 2);
  EXPECT_EQ(Run(Pdutool("--root --json info")), 2);  // a list takes no command
  fs::remove(root_);
  EXPECT_EQ(Run(Pdutool("--root")), 3);
}
#endif

}  // namespace
