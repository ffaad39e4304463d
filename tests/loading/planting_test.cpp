// Libraries planted beside the updater never run inside it. A folder holds a
// copy of the updater together with a version.dll and an lz32.dll of our own
// that leave markers when they are attached or called (planted_library.cpp).
// Wine loads a planted copy at all only when told to prefer native libraries:
// the harness runs this test with WINEDLLOVERRIDES "version,lz32=n,b" in its
// Unix environment (a value set by a Windows parent does not reach a child's
// loader). A control program that imports both libraries statically shows
// that the planting works under these settings; the updater, run there on a
// line-3.7 installation, must update the plug-in with neither library run.
//
// One thing is Wine's own: Wine's user32.dll imports version.dll, so any
// program that imports user32 binds a planted version.dll at start-up, before
// its first instruction ("static" attach), and user32 itself calls it (for a
// message box). Windows' user32 does not import it. So for version.dll the
// test allows that start-up bind and calls from system libraries, and
// insists that the updater never loads it itself and never calls it; for
// lz32.dll nothing at all may appear. (The import table itself, only kernel32,
// user32, advapi32 and msvcrt, is the static check's: vehicle_static_check.)

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "product_install.h"
#include "test_support.h"
#include "updater_driver.h"

namespace {

const wchar_t* const kPlanted[] = {L"version.dll", L"lz32.dll"};

using test::Narrow;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH] = {};
  GetSystemDirectoryW(folder, MAX_PATH);
  return folder;
}

std::wstring Variable(const wchar_t* name) {
  wchar_t value[4096] = {};
  const DWORD n = GetEnvironmentVariableW(name, value, 4096);
  return n > 0 && n < 4096 ? value : L"";
}

// The marker lines of one library: "static|dynamic <program>" when it was
// attached, "<function> by <calling module> in <program>" when one of its
// functions was called.
struct Markers {
  std::vector<std::string> attached, called;

  bool OnlyStaticAttaches() const {
    for (const std::string& line : attached)
      if (line.rfind("static ", 0) != 0) return false;
    return true;
  }
  bool OnlyCalledFrom(const std::string& folder) const {
    for (const std::string& line : called) {
      const size_t by = line.find(" by ");
      if (by == std::string::npos || Lower(line.substr(by + 4)).rfind(folder, 0) != 0) return false;
    }
    return true;
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

std::string Listing(const Markers& m) {
  std::string out;
  for (const std::string& line : m.attached) out += "\n  attached: " + line;
  for (const std::string& line : m.called) out += "\n  called: " + line;
  return out;
}

// The folder where a planted library would sit: beside the program.
class PlantedFolder {
 public:
  PlantedFolder() : folder_(L"planted"), markers_(L"markers") {
    for (const wchar_t* name : kPlanted)
      Copy(test::BinPath(std::wstring(L"planted\\") + name), name);
    Copy(test::BinPath(L"planting_control.exe"), L"planting_control.exe");
    Copy(test::BinPath(L"loading_probe.exe"), L"loading_probe.exe");
    Copy(test::TestVehicle(), L"TagmindEngineMMLibUpdater.exe");
    // Read by the planted libraries in the children, which inherit it.
    SetEnvironmentVariableW(L"TAGMIND_PLANT_MARKERS", markers_.Path().c_str());
  }
  ~PlantedFolder() { SetEnvironmentVariableW(L"TAGMIND_PLANT_MARKERS", nullptr); }
  PlantedFolder(const PlantedFolder&) = delete;
  PlantedFolder& operator=(const PlantedFolder&) = delete;

  std::wstring File(const std::wstring& name) const { return folder_.File(name); }

  Markers Of(const wchar_t* library) const {
    Markers m;
    m.attached = Lines(test::ReadFileBytes(markers_.File(std::wstring(library) + L".attached")));
    m.called = Lines(test::ReadFileBytes(markers_.File(std::wstring(library) + L".called")));
    return m;
  }
  void Clear() const {
    for (const wchar_t* name : kPlanted) {
      DeleteFileW(markers_.File(std::wstring(name) + L".attached").c_str());
      DeleteFileW(markers_.File(std::wstring(name) + L".called").c_str());
    }
  }

 private:
  void Copy(const std::wstring& from, const wchar_t* name) {
    EXPECT_TRUE(CopyFileW(from.c_str(), folder_.File(name).c_str(), FALSE))
        << Narrow(from) << ": error " << GetLastError();
  }

  test::ScratchDir folder_;
  test::ScratchDir markers_;
};

// Neither planted library ran for the program, but for what Wine's own user32
// does with version.dll.
void ExpectNotRun(const PlantedFolder& planted) {
  const Markers version = planted.Of(L"version.dll");
  EXPECT_TRUE(version.OnlyStaticAttaches()) << "the planted version.dll was loaded at run time:"
                                            << Listing(version);
  EXPECT_TRUE(version.OnlyCalledFrom(Lower(Narrow(SystemFolder())) + "\\"))
      << "the planted version.dll was called by the program:" << Listing(version);
  const Markers lz = planted.Of(L"lz32.dll");
  EXPECT_TRUE(lz.attached.empty() && lz.called.empty()) << "the planted lz32.dll ran:" << Listing(lz);
}

class PlantedLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::wstring::npos, Variable(L"WINEDLLOVERRIDES").find(L"version,lz32=n,b"))
        << "run by CTest, which prefers the native libraries: " << Narrow(Variable(L"WINEDLLOVERRIDES"));
    // The control: a static import takes the planted copies, so planting is
    // visible with these settings in a child.
    const DWORD control = test::RunProcess(L"\"" + planted_.File(L"planting_control.exe") + L"\"");
    EXPECT_EQ(0u, control) << "the control's version query went to the real version.dll";
    for (const wchar_t* name : kPlanted) {
      const Markers m = planted_.Of(name);
      ASSERT_EQ(1u, m.attached.size()) << Narrow(name) << Listing(m);
      EXPECT_EQ(0u, m.attached[0].rfind("static ", 0)) << m.attached[0];
      EXPECT_NE(std::string::npos, m.attached[0].find("planting_control.exe")) << m.attached[0];
      EXPECT_FALSE(m.called.empty()) << Narrow(name) << ": the control's call did not reach it";
    }
    planted_.Clear();
  }

  PlantedFolder planted_;
};

TEST_F(PlantedLibraries, NeverRunInsideTheUpdater) {
  // The whole update path runs: the plug-in's version read, the expansion,
  // the copy. Were a planted library used, its failing functions would stop it.
  test::ProductInstallation product(L"3.7.0.0");
  test::UpdaterRunOptions options;
  options.exe = planted_.File(L"TagmindEngineMMLibUpdater.exe");
  const test::UpdaterRun run = test::RunUpdater(options);
  EXPECT_EQ(0u, run.exitCode);
  ASSERT_EQ(1u, run.boxes.size());
  EXPECT_EQ(L"Update completed.", run.boxes[0].text) << Narrow(run.boxes[0].text);
  EXPECT_TRUE(product.PluginBytes() == test::ReadFileBytes(test::PayloadLibrary(130)))
      << "the plug-in is not the payload's library";
  ExpectNotRun(planted_);
}

// The updater's loaders in a probe process each: with SetDefaultDllDirectories
// (Windows 8 and later, Wine), without it (Windows XP, Vista and 7 without the
// loader update), and with a system library that lacks a function (then a
// file reads as one without a version resource).
TEST_F(PlantedLibraries, EachWayOfLoadingTakesTheSystemCopy) {
  const std::wstring plugin = test::PluginFixture(L"3.7.0.0");
  const std::string system = Lower(Narrow(SystemFolder())) + "\\";
  struct Case {
    const wchar_t* mode;
    bool versionLoaded, lzLoaded;
    const char* askedSetDllDirectory;  // "1": the branch for a kernel32 without the function
  } cases[] = {
      {L"system", true, true, "0"},
      {L"fallback", true, true, "1"},
      {L"no-version-function", false, true, "0"},
      {L"no-lz-function", true, false, "0"},
  };
  test::ScratchDir results(L"results");
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.mode));
    const std::wstring result = results.File(std::wstring(c.mode) + L".txt");
    ASSERT_EQ(0u, test::RunProcess(L"\"" + planted_.File(L"loading_probe.exe") + L"\" " + c.mode +
                                   L" \"" + plugin + L"\" \"" + result + L"\""));
    std::map<std::string, std::string> facts;
    for (const std::string& line : Lines(test::ReadFileBytes(result))) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) facts[line.substr(0, eq)] = line.substr(eq + 1);
    }
    EXPECT_NE("0", facts["asked_set_default"]);
    EXPECT_EQ(c.askedSetDllDirectory, facts["asked_set_dll_directory"]);
    EXPECT_EQ(c.versionLoaded ? "1" : "0", facts["version"]);
    EXPECT_EQ(c.lzLoaded ? "1" : "0", facts["lz"]);
    if (c.versionLoaded) {
      EXPECT_EQ(system + "version.dll", Lower(facts["version_module"]));
      EXPECT_EQ("3.7.0.00000", facts["file_version"]);
      EXPECT_EQ("1", facts["line"]) << "Line37";
      EXPECT_EQ("Tagmind engine stand-in for tests", facts["description"]);
    } else {
      // As for a file without a version resource: nothing to classify.
      EXPECT_EQ("", facts["version_module"]);
      EXPECT_EQ("", facts["file_version"]);
      EXPECT_EQ("0", facts["line"]) << "None";
      EXPECT_EQ("", facts["description"]);
    }
    if (c.lzLoaded) {
      EXPECT_EQ(0u, Lower(facts["lz_module"]).rfind(system, 0)) << facts["lz_module"];
    } else {
      EXPECT_EQ("", facts["lz_module"]);
    }
    ExpectNotRun(planted_);
    planted_.Clear();
  }
}

}  // namespace
