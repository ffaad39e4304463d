// The real updater, end to end: each case prepares the machine, runs the
// test vehicle (or its injected twin) as a separate process, reads every
// message box back from the real window, dismisses it, and then looks at the
// plug-in, the registry and Wine's trace of the calls the updater made.

#include <gtest/gtest.h>

#include <string>

#include "manager_fixture.h"
#include "product_install.h"
#include "test_support.h"
#include "updater_driver.h"

namespace {

using test::BoxSeen;
using test::ProductInstallation;
using test::UpdaterRun;

const std::wstring kCaptionEn = L"Pellan Analysis Manager";
const std::wstring kNoUpdateEn = L"There is no need to update the program.";
const std::wstring kCompletedEn = L"Update completed.";
const std::wstring kRestartEn = L"Your Pellan must restart for the update to complete.";
const std::wstring kNotAdminEn =
    L"Only the member of the Administrators group can execute this software. Please contact "
    L"your administrator, or log off and log on again as an administator and try again.";

using test::Narrow;

// The uType of each traced MessageBoxW, in order.
std::vector<unsigned long long> BoxTypes(const UpdaterRun& run) {
  std::vector<unsigned long long> types;
  for (const test::TracedCall& call : run.calls)
    if (call.function == "MessageBoxW" && call.args.size() == 4) types.push_back(call.args[3]);
  return types;
}

std::vector<unsigned long long> ExitWindowsFlags(const UpdaterRun& run) {
  std::vector<unsigned long long> flags;
  for (const test::TracedCall& call : run.calls)
    if (call.function == "ExitWindowsEx" && !call.args.empty()) flags.push_back(call.args[0]);
  return flags;
}

// Every box carries the catalogue caption and the OK button only.
void ExpectBoxes(const UpdaterRun& run, const std::vector<std::wstring>& texts,
                 const std::vector<unsigned long long>& types,
                 const std::wstring& caption = kCaptionEn) {
  ASSERT_EQ(texts.size(), run.boxes.size()) << "message boxes seen";
  for (size_t i = 0; i < texts.size(); ++i) {
    const BoxSeen& box = run.boxes[i];
    EXPECT_EQ(caption, box.caption) << "box " << i << ": " << Narrow(box.caption);
    EXPECT_EQ(texts[i], box.text) << "box " << i << ": " << Narrow(box.text);
    EXPECT_EQ(std::vector<int>{IDOK}, box.buttonIds) << "box " << i;
    EXPECT_EQ(types[i] != 0, box.iconShown) << "box " << i;
  }
  EXPECT_EQ(types, BoxTypes(run));
  EXPECT_TRUE(run.otherWindows.empty()) << Narrow(run.otherWindows.empty() ? L"" : run.otherWindows[0]);
}

bool PatchRecordIn(REGSAM view) {
  std::wstring version;
  return test::ReadMachineString(test::kPatchRecordKey, L"version", view, &version) &&
         version == L"3.9.0.11260";
}

void ExpectPatchRecordInBothViews() {
  EXPECT_TRUE(PatchRecordIn(KEY_WOW64_32KEY));
  EXPECT_TRUE(PatchRecordIn(KEY_WOW64_64KEY));
  std::wstring id, name;
  EXPECT_TRUE(test::ReadMachineString(test::kPatchRecordKey, L"patchid", KEY_WOW64_32KEY, &id));
  EXPECT_EQ(L"EP0000417263", id);
  EXPECT_TRUE(
      test::ReadMachineString(test::kPatchRecordKey, L"patchname", KEY_WOW64_32KEY, &name));
  EXPECT_EQ(L"Pellan Tagwise Manager 3.7/3.8 Music Update Program", name);
}

void ExpectNoPatchRecord() {
  EXPECT_FALSE(test::MachineKeyExists(test::kPatchRecordKey, KEY_WOW64_32KEY));
  EXPECT_FALSE(test::MachineKeyExists(test::kPatchRecordKey, KEY_WOW64_64KEY));
}

bool RebootFlagSet(std::wstring* value = nullptr, DWORD* type = nullptr, DWORD* bytes = nullptr) {
  // The test vehicle is a 64-bit process: its plain open is the 64-bit view.
  return test::ReadMachineString(test::kHandshakeKey, L"RebootFlg", KEY_WOW64_64KEY, value, type,
                                 bytes);
}

void ExpectInstalled(const ProductInstallation& product, WORD payload) {
  const std::string expected = test::ReadFileBytes(test::PayloadLibrary(payload));
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(product.PluginBytes() == expected) << "the plug-in is not the payload's library";
  EXPECT_EQ(test::kPayloadTime, product.PluginLastWrite());
}

void ExpectUntouched(const ProductInstallation& product) {
  EXPECT_TRUE(product.PluginBytes() == product.OriginalBytes()) << "the plug-in was changed";
}

// Per-program Windows version of Wine, for the test vehicle's file name.
class WineVersionFor {
 public:
  WineVersionFor(const wchar_t* exeName, const wchar_t* version) : key_(Path(exeName)) {
    HKEY h = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &h, nullptr));
    RegSetValueExW(h, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
  }
  ~WineVersionFor() { RegDeleteKeyW(HKEY_CURRENT_USER, key_.c_str()); }

 private:
  static std::wstring Path(const wchar_t* exe) {
    return std::wstring(L"Software\\Wine\\AppDefaults\\") + exe;
  }
  std::wstring key_;
};

// An injected platform answer for the updater's twin build; see inject.cpp.
class Injection {
 public:
  explicit Injection(const wchar_t* what) { SetEnvironmentVariableW(L"TAGMIND_INJECT", what); }
  ~Injection() { SetEnvironmentVariableW(L"TAGMIND_INJECT", nullptr); }
};

std::wstring InjectedVehicle() {
  return test::BinPath(L"TagmindEngineMMLibUpdater-injected.exe");
}

// The handshake key of the framework, as the test vehicle (64-bit) sees it.
std::unique_ptr<test::ScratchKey> Handshake() {
  return std::unique_ptr<test::ScratchKey>(
      new test::ScratchKey(test::kHandshakeKey, KEY_WOW64_64KEY));
}

// The product's resident service holds the plug-in; the companion
// application's file is held by another process (this one) without write
// sharing, so the update ends with a restart request.
struct BusyProduct {
  explicit BusyProduct(const std::wstring& pluginVersion)
      : product(pluginVersion), companionDir(L"companion") {
    behaviour.logFile = companionDir.File(L"mgr.log");
    behaviour.heldFile = product.PluginPath();
    behaviour.holdSharesRead = true;  // as the loaded library is held
    manager.reset(new test::ManagerFixture(behaviour));
    companion.reset(new test::CompanionInUse(companionDir));
  }
  ProductInstallation product;
  test::ScratchDir companionDir;
  test::ManagerBehaviour behaviour;
  std::unique_ptr<test::ManagerFixture> manager;
  std::unique_ptr<test::CompanionInUse> companion;
};

// ---------------------------------------------------------------------------
// Nothing to do

TEST(UpdateRun, ProductMissing) {
  test::ScratchKey appDb32(test::kAppDbKey, KEY_WOW64_32KEY);
  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kNoUpdateEn}, {MB_OK});
  ExpectNoPatchRecord();
  EXPECT_FALSE(RebootFlagSet());
}

TEST(UpdateRun, NoUpdateNeededIsToldToNonAdministratorsWithoutTest) {
  // Were the gate asked, this user would be refused with text 1040.
  ProductInstallation product(L"4.7.0.0");
  test::UpdaterRunOptions options;
  options.administratorsDenyOnly = true;
  const UpdaterRun run = test::RunUpdater(options);
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kNoUpdateEn}, {MB_OK});
  ExpectUntouched(product);
}

// ---------------------------------------------------------------------------
// The administrator gate

TEST(UpdateRun, NonAdministratorIsRefused) {
  ProductInstallation product(L"3.7.0.0");
  test::UpdaterRunOptions options;
  options.administratorsDenyOnly = true;
  const UpdaterRun run = test::RunUpdater(options);
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kNotAdminEn}, {MB_ICONWARNING});
  ExpectUntouched(product);
  ExpectNoPatchRecord();
}

TEST(UpdateRun, FailingTokenQueryRefuses) {
  // Wine always answers a token query; the twin build fails exactly that call.
  ProductInstallation product(L"3.8.0.0");
  Injection inject(L"token-query-fails");
  test::UpdaterRunOptions options;
  options.exe = InjectedVehicle();
  const UpdaterRun run = test::RunUpdater(options);
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kNotAdminEn}, {MB_ICONWARNING});
  ExpectUntouched(product);
  ExpectNoPatchRecord();
}

TEST(UpdateRun, NonNtPlatformPassesTheGateWithoutTest) {
  // Windows 98 by Wine's per-program setting; the token would refuse.
  WineVersionFor win98(L"TagmindEngineMMLibUpdater.exe", L"win98");
  ProductInstallation product(L"3.7.0.0");
  test::UpdaterRunOptions options;
  options.administratorsDenyOnly = true;
  const UpdaterRun run = test::RunUpdater(options);
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kCompletedEn}, {MB_OK});
  ExpectInstalled(product, 130);
}

// ---------------------------------------------------------------------------
// Updates

TEST(UpdateRun, SuccessWithoutRestart) {
  ProductInstallation product(L"3.8.5.12000");
  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kCompletedEn}, {MB_OK});
  ExpectInstalled(product, 131);
  ExpectPatchRecordInBothViews();
  EXPECT_TRUE(ExitWindowsFlags(run).empty());
  EXPECT_FALSE(RebootFlagSet());
}

TEST(UpdateRun, SuccessWithRestartOnNt6) {
  BusyProduct busy(L"3.7.0.0");
  ASSERT_TRUE(busy.manager->Ready()) << busy.manager->Error();
  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kCompletedEn, kRestartEn}, {MB_OK, MB_ICONWARNING});
  EXPECT_EQ(std::vector<unsigned long long>{EWX_REBOOT | EWX_RESTARTAPPS}, ExitWindowsFlags(run));
  ExpectInstalled(busy.product, 130);
  ExpectPatchRecordInBothViews();
  EXPECT_FALSE(RebootFlagSet());
  // Stopped for the copy and started again.
  EXPECT_TRUE(busy.manager->WaitForState(SERVICE_RUNNING, 10000));
}

TEST(UpdateRun, RestartOnNt5UsesPlainReboot) {
  WineVersionFor winxp(L"TagmindEngineMMLibUpdater.exe", L"winxp");
  BusyProduct busy(L"3.8.0.0");
  ASSERT_TRUE(busy.manager->Ready()) << busy.manager->Error();
  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kCompletedEn, kRestartEn}, {MB_OK, MB_ICONWARNING});
  EXPECT_EQ(std::vector<unsigned long long>{EWX_REBOOT}, ExitWindowsFlags(run));
  ExpectInstalled(busy.product, 131);
}

TEST(UpdateRun, RefusedPrivilegeSkipsTheRestart) {
  // Wine grants every privilege adjustment; the twin build fails exactly that call.
  BusyProduct busy(L"3.7.0.0");
  ASSERT_TRUE(busy.manager->Ready()) << busy.manager->Error();
  Injection inject(L"adjust-privileges-fails");
  test::UpdaterRunOptions options;
  options.exe = InjectedVehicle();
  const UpdaterRun run = test::RunUpdater(options);
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {kCompletedEn, kRestartEn}, {MB_OK, MB_ICONWARNING});
  EXPECT_TRUE(ExitWindowsFlags(run).empty());
  ExpectInstalled(busy.product, 130);
}

TEST(UpdateRun, FailureShowsTheCode) {
  // Held (readable, as a loaded library) by a process that is no service:
  // the copy fails with 32 and no service cycle can free the file.
  ProductInstallation product(L"3.7.0.0");
  test::HeldFile holder(product.PluginPath(), FILE_SHARE_READ);
  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {L"Update failed.\r\n(code = 0x80070020)"}, {MB_ICONERROR});
  ExpectUntouched(product);
  ExpectNoPatchRecord();
}

TEST(UpdateRun, FailureWithRestartStillAsksForIt) {
  // The service stops, but another process keeps the plug-in: the second copy
  // fails. The companion was in use, so the restart is still needed.
  ProductInstallation product(L"3.8.0.0");
  test::ScratchDir dir(L"busy");
  test::ManagerBehaviour behaviour;
  behaviour.logFile = dir.File(L"mgr.log");
  test::ManagerFixture manager(behaviour);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  test::CompanionInUse companion(dir);
  test::HeldFile pluginHeld(product.PluginPath(), FILE_SHARE_READ);

  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  ExpectBoxes(run, {L"Update failed.\r\n(code = 0x80070020)", kRestartEn},
              {MB_ICONERROR, MB_ICONWARNING});
  EXPECT_EQ(std::vector<unsigned long long>{EWX_REBOOT | EWX_RESTARTAPPS}, ExitWindowsFlags(run));
  ExpectUntouched(product);
  ExpectNoPatchRecord();
}

// ---------------------------------------------------------------------------
// Silent mode: whatever happens, no window at all.

TEST(UpdateRunSilent, NoWindowForAnyOutcome) {
  struct Case {
    const char* name;
    const wchar_t* plugin;   // empty: no product
    bool denyOnly;
    bool holdPlugin;         // held by this process: the update fails
  } cases[] = {
      {"no product", L"", false, false},
      {"not an administrator", L"3.7.0.0", true, false},
      {"update failed", L"3.8.0.0", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto handshake = Handshake();
    handshake->SetDword(L"LaunchInstaller", 1);
    std::unique_ptr<ProductInstallation> product;
    if (*c.plugin) product.reset(new ProductInstallation(c.plugin));
    std::unique_ptr<test::HeldFile> holder;
    if (c.holdPlugin) holder.reset(new test::HeldFile(product->PluginPath(), FILE_SHARE_READ));
    test::UpdaterRunOptions options;
    options.administratorsDenyOnly = c.denyOnly;
    const UpdaterRun run = test::RunUpdater(options);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(BoxTypes(run).empty());
    EXPECT_TRUE(run.otherWindows.empty());
    if (product) ExpectUntouched(*product);
    ExpectNoPatchRecord();
    EXPECT_FALSE(RebootFlagSet());
  }
}

TEST(UpdateRunSilent, SuccessWithoutRestartLeavesNoFlag) {
  auto handshake = Handshake();
  handshake->SetDword(L"LaunchInstaller", 1);
  ProductInstallation product(L"3.7.5.65535");
  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_TRUE(BoxTypes(run).empty());
  ExpectInstalled(product, 130);
  ExpectPatchRecordInBothViews();
  EXPECT_FALSE(RebootFlagSet());
}

TEST(UpdateRunSilent, RestartIsLeftToTheFramework) {
  auto handshake = Handshake();
  handshake->SetDword(L"LaunchInstaller", 1);
  BusyProduct busy(L"3.8.5.12000");
  ASSERT_TRUE(busy.manager->Ready()) << busy.manager->Error();
  const UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_TRUE(run.calls.empty()) << "no box and no restart";
  std::wstring value;
  DWORD type = 0, bytes = 0;
  ASSERT_TRUE(RebootFlagSet(&value, &type, &bytes));
  EXPECT_EQ(L"1", value);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(4u, bytes);
  ExpectInstalled(busy.product, 131);
  ExpectPatchRecordInBothViews();
}

TEST(UpdateRunSilent, OnlyTheNumberOneMeansSilent) {
  struct Case {
    const char* name;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {"REG_SZ \"1\" (0x31 as a number)", REG_SZ, std::string("1\0\0\0", 4)},
      {"REG_DWORD 2", REG_DWORD, std::string("\2\0\0\0", 4)},
      {"REG_QWORD 1 (more data than four bytes)", REG_QWORD, std::string("\1\0\0\0\0\0\0\0", 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto handshake = Handshake();
    handshake->SetRaw(L"LaunchInstaller", c.type, c.bytes.data(),
                      static_cast<DWORD>(c.bytes.size()));
    const UpdaterRun run = test::RunUpdater();
    EXPECT_EQ(0u, run.exitCode);
    ExpectBoxes(run, {kNoUpdateEn}, {MB_OK});
  }
}

// ---------------------------------------------------------------------------
// The boxes in the user's language (the harness sets the locale and promises
// the UI language; the test fails rather than pass in English by accident).

struct LanguageTexts {
  LANGID language;
  std::wstring caption, notAdmin, noUpdate;
};

const LanguageTexts kLanguages[] = {
    {0x0411, L"Pellan 解析マネージャー",
     L"このソフトウェアを実行できるのは、Administrators グループのユーザだけです。このコンピュータの管理者に問い合わせるか、Administrators グループのユーザ名でログオンし直してください。",
     L"更新する必要はありません。"},
    {0x0409, kCaptionEn, kNotAdminEn, kNoUpdateEn},
    {0x040c, L"Gestionnaire d'analyse Pellan",
     L"Seul un membre du groupe Administrateurs peut exécuter ce logiciel. Contactez votre administrateur, ou déconnectez-vous puis reconnectez-vous en tant qu'administrateur puis réessayez.",
     kNoUpdateEn},
};

TEST(UpdateRunLanguage, BoxesInTheUserLanguage) {
  const LANGID promised = test::ExpectedUiLanguage();
  ASSERT_NE(0, promised) << "run with TAGMIND_EXPECT_UI_LANGUAGE";
  ASSERT_EQ(promised, GetUserDefaultUILanguage()) << "Wine did not give the promised UI language";
  const LanguageTexts* texts = nullptr;
  for (const LanguageTexts& l : kLanguages)
    if (l.language == promised) texts = &l;
  ASSERT_NE(nullptr, texts);

  {
    ProductInstallation product(L"3.7.3.10900");
    test::UpdaterRunOptions options;
    options.administratorsDenyOnly = true;
    const UpdaterRun run = test::RunUpdater(options);
    ExpectBoxes(run, {texts->notAdmin}, {MB_ICONWARNING}, texts->caption);
  }
  {
    const UpdaterRun run = test::RunUpdater();
    ExpectBoxes(run, {texts->noUpdate}, {MB_OK}, texts->caption);
  }
}

}  // namespace
