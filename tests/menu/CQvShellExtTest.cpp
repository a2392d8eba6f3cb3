// The context-menu handler driven as a file manager drives it: created through the module's
// class factory, given a data object holding the selection, asked for its items on a menu,
// then for verbs and help texts, and invoked by offset and by verb. The real suite runs in
// the test's own root with the account running the test enrolled; the headless user types
// the password and answers the dialogs; audit records are read back from the store.
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/ClassIds.h"
#include "base/DialogResources.h"
#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"
#include "core/QvFolderExtModule.h"
#include "engine/CProgressDlg.h"
#include "host/ContextMenuListing.h"
#include "menu/CQvShellExt.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/Ole.h"
#include "platform/Window.h"
#include "platform/shell/DragQuery.h"
#include "sharing/CSelectUsers.h"
#include "suite/QvDialogIds.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/Languages.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/QvfTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"
#include "util/RegKey.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMe = "me";
constexpr const char* kPassword = "open sesame";

bool Present(const std::string& path) {
  return fs::symlink_status(path).type() != fs::file_type::not_found;
}

// Holds a named mutex the way the suite's client holds the suite-running mutex.
class SuiteRunning {
 public:
  explicit SuiteRunning(const char* name) : mutex_(CreateMutexA(nullptr, TRUE, name)) {}
  ~SuiteRunning() {
    if (mutex_ != nullptr) {
      (void)ReleaseMutex(mutex_);
      CloseHandle(mutex_);
    }
  }
  SuiteRunning(const SuiteRunning&) = delete;
  SuiteRunning& operator=(const SuiteRunning&) = delete;

 private:
  HANDLE mutex_;
};

// A data object whose CF_HDROP block is given byte for byte: what a careless or hostile file
// manager could hand over.
class RawDropObject final : public ComObject<IDataObject> {
 public:
  explicit RawDropObject(std::string bytes) : bytes_(std::move(bytes)) {}
  HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (format->cfFormat != CF_HDROP) return DV_E_FORMATETC;
    *medium = {};
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
    std::memcpy(GlobalLock(medium->hGlobal), bytes_.data(), bytes_.size());
    (void)GlobalUnlock(medium->hGlobal);
    return S_OK;
  }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

 private:
  std::string bytes_;
};

class CQvShellExtTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    QvLogOff();
    QvApp().InitInstance();
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);
    ASSERT_EQ(qvtest::EnrollWithKey(
                  {kMe, QvCurrentAccount().userName, "Me", QvAccountType::Computer}, kPassword),
              QvStoreStatus::Ok);
    dir_ = root_.Sub("work");
    fs::create_directories(dir_);
    // The file manager's class factory, as DllGetClassObject hands it out.
    IClassFactory* factory = nullptr;
    ASSERT_EQ(QvModule().GetClassObject(qvids::CLSID_QvShellExt, IID_IClassFactory,
                                        reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID_IContextMenu, menu_.ReleaseAndGetVoidAddressOf()),
        S_OK);
    factory->Release();
    ASSERT_EQ(menu_.As(init_), S_OK);
  }
  void TearDown() override {
    init_.Reset();
    menu_.Reset();
    StopSuiteServices();
    QvApp().ExitInstance();
    QvLogOff();
  }

  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  std::string File(const std::string& name, const std::string& content = "data") {
    WriteTextFile(P(name), content);
    return P(name);
  }

  HRESULT Initialize(const std::vector<std::string>& paths) {
    ComPtr<IDataObject> data;
    EXPECT_EQ(CreateDropDataObject(paths, true, data.ReleaseAndGetAddressOf()), S_OK);
    return init_->Initialize(nullptr, data.Get(), nullptr);
  }
  // The menu's items as "text|" per item, "-" per separator.
  std::string Items() {
    std::vector<ContextMenuEntry> entries;
    EXPECT_EQ(ListContextMenu(menu_.Get(), CMF_NORMAL, &entries), S_OK);
    std::string out;
    for (const ContextMenuEntry& entry : entries) out += entry.separator ? "-" : entry.text + "|";
    return out;
  }
  HRESULT Invoke(UINT offset) {
    CMINVOKECOMMANDINFO info{};
    info.cbSize = sizeof info;
    info.lpVerb = MAKEINTRESOURCEA(static_cast<WORD>(offset));
    return menu_->InvokeCommand(&info);
  }
  // A file (`name`, its text "secret <name>") or a folder (holding inside.txt) encrypted
  // through the menu; the path of what the encryption made.
  std::string Encrypted(const std::string& name, bool folder = false) {
    if (folder) fs::create_directories(P(name));
    const std::string made =
        folder ? File(name + "/inside.txt", "inside") : File(name, "secret " + name);
    const std::string path = folder ? P(name) : made;
    EXPECT_EQ(Initialize({path}), S_OK);
    EXPECT_EQ(Items(), "-" + Text(101) + "|-");
    AnswerPassword();
    if (!warningAnswered_) ui_.TickAndPress(IDD_BACKUP_WARNING, IDC_WARNING_DONT_SHOW, IDOK);
    warningAnswered_ = true;
    EXPECT_EQ(Invoke(CMD_ENCRYPT), S_OK);
    const std::string encrypted = path + (folder ? ".qvef" : ".qvf");
    EXPECT_TRUE(Present(encrypted));
    return encrypted;
  }
  // Selects `paths` and lets the menu offer its items, as a file manager does before invoking.
  void Select(const std::vector<std::string>& paths) {
    ASSERT_EQ(Initialize(paths), S_OK);
    (void)Items();
  }
  void AnswerPassword() { ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, kPassword, IDOK); }
  static std::string Text(UINT id) { return LoadStringText(id); }
  std::vector<QvAuditEntry> Audit() {
    std::vector<QvAuditEntry> entries;
    EXPECT_EQ(QvSharedUserStore()->QueryAudit({}, &entries), QvStoreStatus::Ok);
    std::sort(entries.begin(), entries.end(),
              [](const QvAuditEntry& a, const QvAuditEntry& b) { return a.sequence < b.sequence; });
    return entries;
  }
  size_t Closed(UINT templateId) const {
    const std::vector<HeadlessBackend::ClosedDialog> closed = ui_.ClosedDialogs();
    return static_cast<size_t>(std::count_if(closed.begin(), closed.end(), [&](const auto& d) {
      return d.state.templateId == templateId;
    }));
  }

  HeadlessUi ui_;
  ComPtr<IContextMenu> menu_;
  ComPtr<IShellExtInit> init_;
  std::string dir_;
  bool warningAnswered_ = false;
};

TEST_F(CQvShellExtTest, TheSelectionDecidesTheItemsWhileTheSuiteRuns) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const std::string encrypt = "-" + Text(101) + "|-";
  const std::string decrypt = "-" + Text(102) + "|" + Text(145) + "|-";
  const std::string a = File("a.txt");
  const std::string b = File("b.QVF");
  const std::string c = File("c.qvf");
  const std::string legacy = File("old.qvef", "Standard Jet DB");
  const std::string legacy2 = File("old2.qvef", "Standard Jet DB");
  fs::create_directories(P("folder"));
  const struct {
    const char* what;
    std::vector<std::string> selection;
    HRESULT initialized;
    std::string items;
  } cases[] = {
      {"plain file", {a}, S_OK, encrypt},
      {"folder and plain file", {P("folder"), a}, S_OK, encrypt},
      {"two encrypted files, any case", {b, c}, S_OK, decrypt},
      {"encrypted and plain", {b, a}, E_INVALIDARG, ""},
      {"plain and encrypted", {a, c}, E_INVALIDARG, ""},
      {"one legacy container",
       {legacy},
       S_OK,
       "-" + Text(102) + "|" + Text(145) + "|" + Text(185) + "|-"},
      {"two legacy containers", {legacy, legacy2}, S_OK, decrypt},
      {"a protected location among them", {a, "/usr/bin/env"}, E_INVALIDARG, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Initialize(c.selection), c.initialized) << c.what;
    EXPECT_EQ(Items(), c.items) << c.what;
  }

  // The Sentivo edition never shows the sharing item, and does not run it either.
  QvApp().userData->EditionCode = EDITION_SENTIVO;
  {
    const SuiteRunning sentivo(kSentivoSuiteRunningMutex);
    EXPECT_EQ(Initialize({b}), S_OK);
    EXPECT_EQ(Items(), "-" + Text(102) + "|-");
    EXPECT_EQ(Invoke(CMD_SHARING), E_INVALIDARG);
  }
  QvApp().userData->EditionCode = 0;
}

TEST_F(CQvShellExtTest, NothingIsOfferedWhileTheSuiteIsStoppedOrTheIdsDoNotSuffice) {
  const std::string legacy = File("old.qvef", "Standard Jet DB");
  EXPECT_EQ(Initialize({File("a.txt")}), E_INVALIDARG);
  EXPECT_EQ(Items(), "");
  EXPECT_EQ(Initialize({legacy}), E_INVALIDARG) << "not even convert";
  EXPECT_EQ(Items(), "");

  const SuiteRunning suite(kSuiteRunningMutex);
  ASSERT_EQ(Initialize({File("a.txt")}), S_OK);
  const HMENU menu = CreatePopupMenu();
  EXPECT_EQ(menu_->QueryContextMenu(menu, 0, 100, 104, CMF_NORMAL), S_OK) << "needs 100..105";
  EXPECT_EQ(menu_->QueryContextMenu(menu, 0, 100, 99, CMF_NORMAL), S_OK);
  EXPECT_EQ(menu_->QueryContextMenu(menu, 0, 100, 200, CMF_DEFAULTONLY), S_OK);
  EXPECT_EQ(GetMenuItemCount(menu), 0);
  EXPECT_EQ(Invoke(CMD_ENCRYPT), E_INVALIDARG) << "not added by the last QueryContextMenu";
  EXPECT_EQ(menu_->QueryContextMenu(menu, 0, 100, 105, CMF_NORMAL), MAKE_HRESULT(0, 0, 6));
  EXPECT_EQ(GetMenuItemCount(menu), 3);
  EXPECT_EQ(GetMenuItemID(menu, 1), 101u);
  (void)DestroyMenu(menu);
}

TEST_F(CQvShellExtTest, OnlyAnOfferedCommandRunsAndOnlyByOffset) {
  const SuiteRunning suite(kSuiteRunningMutex);
  EXPECT_EQ(Invoke(CMD_ENCRYPT), E_INVALIDARG) << "a fresh object has no selection";
  const std::string qvf = File("x.qvf");
  ASSERT_NO_FATAL_FAILURE(Select({qvf}));
  EXPECT_EQ(Invoke(CMD_CONVERT), E_INVALIDARG) << "not offered for a .qvf";
  EXPECT_EQ(Invoke(CMD_ENCRYPT), E_INVALIDARG);
  EXPECT_EQ(Invoke(CMD_TRAILING_SEPARATOR), E_INVALIDARG);
  CMINVOKECOMMANDINFO byVerb{};
  byVerb.cbSize = sizeof byVerb;
  byVerb.lpVerb = kDecryptVerb;
  EXPECT_EQ(menu_->InvokeCommand(&byVerb), E_INVALIDARG);
  EXPECT_EQ(menu_->InvokeCommand(nullptr), E_INVALIDARG);

  // A second Initialize forgets the first selection even when it fails.
  EXPECT_EQ(Initialize({qvf, File("plain.txt")}), E_INVALIDARG);
  EXPECT_EQ(Invoke(CMD_DECRYPT), E_INVALIDARG);

  // While the shell application works, nothing runs and nothing is shown.
  ASSERT_NO_FATAL_FAILURE(Select({File("a.txt")}));
  const HWND busy = CreateMessageWindow(kShellAppWindowClass, kShellAppWindowTitle);
  ASSERT_NE(busy, nullptr);
  EXPECT_EQ(Invoke(CMD_ENCRYPT), E_INVALIDARG);
  (void)DestroyWindow(busy);
  EXPECT_TRUE(ui_.ClosedDialogs().empty());
  EXPECT_TRUE(Audit().empty());
  EXPECT_TRUE(Present(P("a.txt")));
}

TEST_F(CQvShellExtTest, EncryptAndDecryptRunTheEngineAndRecordTheirEvents) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const std::string qvf = Encrypted("notes.txt");
  EXPECT_FALSE(Present(P("notes.txt")));
  const std::string qvef = Encrypted("album", true);

  for (const std::string& item : {qvf, qvef}) {
    SCOPED_TRACE(item);
    ASSERT_NO_FATAL_FAILURE(Select({item}));
    AnswerPassword();
    EXPECT_EQ(Invoke(CMD_DECRYPT), S_OK);
    EXPECT_FALSE(Present(item));
  }
  EXPECT_EQ(ReadTextFile(P("notes.txt")), "secret notes.txt");
  EXPECT_EQ(ReadTextFile(P("album/inside.txt")), "inside");

  // A refused verification is recorded as a failure and changes nothing.
  ASSERT_NO_FATAL_FAILURE(Select({P("notes.txt")}));
  ui_.PressButton(kPasswordDialogId, IDCANCEL);
  EXPECT_EQ(Invoke(CMD_ENCRYPT), S_OK);
  EXPECT_TRUE(Present(P("notes.txt")));

  const std::vector<QvAuditEntry> audit = Audit();
  const struct {
    std::string path;
    DWORD event;
    DWORD result;
  } expected[] = {{P("notes.txt"), 6, kAuditResultSuccess},
                  {P("album"), 6, kAuditResultSuccess},
                  {qvf, 7, kAuditResultSuccess},
                  {qvef, 7, kAuditResultSuccess},
                  {P("notes.txt"), 6, kAuditResultFailure}};
  ASSERT_EQ(audit.size(), std::size(expected));
  for (size_t i = 0; i < audit.size(); ++i) {
    EXPECT_EQ(audit[i].path, expected[i].path) << i;
    EXPECT_EQ(audit[i].eventType, expected[i].event) << i;
    EXPECT_EQ(audit[i].result, expected[i].result) << i;
    EXPECT_EQ(audit[i].userId, kMe) << i;
  }
}

TEST_F(CQvShellExtTest, SharingOpensTheDialogAndRecordsWhatItDid) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const std::string qvf = Encrypted("shared.txt");
  ASSERT_NO_FATAL_FAILURE(Select({qvf}));
  AnswerPassword();
  // The owner closes the sharing dialog without a change: nothing was shared.
  ui_.Answer(IDD_SELECT_USERS, {HeadlessBackend::Step::Click(kElementCancel)});
  EXPECT_EQ(Invoke(CMD_SHARING), S_OK);
  EXPECT_EQ(Closed(IDD_SELECT_USERS), 1u);
  EXPECT_EQ(Closed(IDD_INVALID_USER), 0u);
  const std::vector<QvAuditEntry> audit = Audit();
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[1].eventType, 8u);
  EXPECT_EQ(audit[1].result, kAuditResultFailure);
  EXPECT_EQ(audit[1].path, qvf);

  // A file the user is no recipient of: the notice, no dialog.
  const std::string foreign = File("foreign.qvf", "not what the library wrote");
  ASSERT_NO_FATAL_FAILURE(Select({foreign}));
  AnswerPassword();
  ui_.PressButton(IDD_INVALID_USER, IDOK);
  EXPECT_EQ(Invoke(CMD_SHARING), S_OK);
  EXPECT_EQ(Closed(IDD_INVALID_USER), 1u);
  EXPECT_EQ(Audit().back().result, kAuditResultFailure);

  // A user without a share key is told at once, with the same notice.
  QvUserStore* store = QvSharedUserStore();
  ASSERT_EQ(store->RemoveUser(kMe), QvStoreStatus::Ok);
  ASSERT_EQ(store->Enroll({kMe, QvCurrentAccount().userName, "Me", QvAccountType::Computer},
                          kPassword, nullptr),
            QvStoreStatus::Ok);
  ASSERT_NO_FATAL_FAILURE(Select({qvf}));
  AnswerPassword();
  ui_.PressButton(IDD_INVALID_USER, IDOK);
  EXPECT_EQ(Invoke(CMD_SHARING), S_OK);
  EXPECT_EQ(Closed(IDD_INVALID_USER), 2u);
  ASSERT_FALSE(Audit().empty());
  EXPECT_EQ(Audit().back().eventType, 8u);
  EXPECT_EQ(Audit().back().result, kAuditResultFailure);
}

// Qvshella owns the shell application's window while it works: a real Qvshella waiting for
// its password keeps the menu from running anything, and once it ended the menu runs again.
TEST_F(CQvShellExtTest, NoCommandRunsWhileQvshellaWorks) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const std::string qvf = Encrypted("held.txt");
  const auto shellAppWindow = [] {
    return FindWindowA(kShellAppWindowClass, kShellAppWindowTitle) != nullptr;
  };
  ASSERT_FALSE(shellAppWindow());
  ASSERT_NO_FATAL_FAILURE(Select({File("waiting.txt")}));
  qvtest::Program shell(root_, "Qvshella", {"--password-stdin", qvf},
                        {{"QV_OPEN_COMMAND", "/bin/true"}}, qvtest::PipedInput{});
  ASSERT_TRUE(shell.Started());
  ASSERT_TRUE(qvtest::Eventually(shellAppWindow));
  EXPECT_EQ(Invoke(CMD_ENCRYPT), E_INVALIDARG);
  EXPECT_TRUE(Present(P("waiting.txt")));
  shell.Send(std::string(kPassword) + "\n");
  const qvtest::ProgramRun run = shell.Wait();
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(shellAppWindow());
  EXPECT_EQ(ReadTextFile(P("held.txt")), "secret held.txt");
  AnswerPassword();
  EXPECT_EQ(Invoke(CMD_ENCRYPT), S_OK);
  EXPECT_TRUE(Present(P("waiting.txt.qvf")));
}

// In the Sentivo edition a file made with a key of an earlier installation, which exported
// it, is decrypted once the user imported that key: the import's success lets the checks go
// on with the key, it is no refusal.
TEST_F(CQvShellExtTest, SentivoDecryptsAfterTheOlderKeyWasImported) {
  StopSuiteServices();
  ASSERT_EQ(QvSharedUserStore()->SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  ASSERT_EQ(StartSuiteServices(), 1);
  ASSERT_EQ(QvApp().userData->EditionCode, EDITION_SENTIVO);
  const SuiteRunning suite(kSentivoSuiteRunningMutex);

  const std::string older = "{0A1B2C3D-1111-4222-8333-444455556666}";
  DWORD blobLength = 0;
  BYTE* blob = nullptr;
  ASSERT_TRUE(CreatePKISettings(older.c_str(), &blobLength, &blob));
  const std::vector<std::uint8_t> olderBlob(blob, blob + blobLength);
  CoTaskMemFree(blob);
  const std::string plain = File("report.txt", "quarterly figures");
  const std::string encrypted = plain + ".qvf";
  qvtest::Request request(qvtest::User{older, olderBlob}, plain, encrypted);
  ASSERT_EQ(QVFSEncryptFile(request.get()), 0u);
  fs::remove(plain);
  QvKeyFileContents exported{kMe, older, "DefaultKey", olderBlob};
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(QvEncodeKeyFile(exported, "file pw", &bytes), QvStoreStatus::Ok);
  fs::create_directories(QvExportFolder());
  ASSERT_EQ(QvWriteKeyFile(QvExportFolder() + "/" + QvKeyFileName(older), bytes, false, nullptr),
            QvStoreStatus::Ok);

  ASSERT_EQ(Initialize({encrypted}), S_OK);
  EXPECT_EQ(Items(), "-" + Text(102) + "|-");
  AnswerPassword();
  ui_.AnswerMessageBox(IDOK, QvKeyFileName(older));
  ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, "file pw", IDOK);
  EXPECT_EQ(Invoke(CMD_DECRYPT), S_OK);
  EXPECT_EQ(Closed(IDD_INVALID_USER), 0u);
  EXPECT_EQ(ReadTextFile(plain), "quarterly figures");
  ASSERT_EQ(Audit().size(), 1u);
  EXPECT_EQ(Audit()[0].eventType, 7u);
  EXPECT_EQ(Audit()[0].result, kAuditResultSuccess);
}

TEST_F(CQvShellExtTest, AQvxContainerTakesItsQvefNameButNeverOverAnExistingFile) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const std::string qvef = Encrypted("box", true);
  ASSERT_TRUE(fs::copy_file(qvef, P("copy.qvx")));
  fs::rename(qvef, P("box.qvx"));
  File("box.qvef", "someone else's file");
  const std::string plainQvx = File("notes.qvx", "not a container");

  ASSERT_EQ(Initialize({P("copy.qvx"), P("box.qvx"), File("other.qvf")}), S_OK);
  EXPECT_TRUE(Present(P("copy.qvef")));
  EXPECT_FALSE(Present(P("copy.qvx")));
  EXPECT_TRUE(Present(P("box.qvx"))) << "dropped from the selection, kept as it was";
  EXPECT_EQ(ReadTextFile(P("box.qvef")), "someone else's file");
  // A .qvx that is no container is a plain file, under its own name.
  EXPECT_EQ(Initialize({plainQvx}), S_OK);
  EXPECT_EQ(Items(), "-" + Text(101) + "|-");
  EXPECT_TRUE(Present(plainQvx));
}

TEST_F(CQvShellExtTest, DroppedNamesThatWouldBeCutOrChangedAreSkipped) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const std::string kept = File("kept.qvf");
  // Cut to the buffer, the long name would name another file (and hide the menu as plain).
  std::string longName = kept + "/" + std::string(8000, 'x');
  std::u16string list = u"/\xD800.txt";
  list.push_back(u'\0');
  for (const std::string& name : {longName, kept}) {
    const std::u16string wide(name.begin(), name.end());
    list += wide;
    list.push_back(u'\0');
  }
  list.push_back(u'\0');
  DROPFILES header{};
  header.pFiles = sizeof header;
  header.fWide = TRUE;
  ComPtr<IDataObject> data;
  data.Attach(
      new RawDropObject(std::string(reinterpret_cast<const char*>(&header), sizeof header) +
                        std::string(reinterpret_cast<const char*>(list.data()), list.size() * 2)));
  ASSERT_EQ(init_->Initialize(nullptr, data.Get(), nullptr), S_OK);
  EXPECT_EQ(Items(), "-" + Text(102) + "|" + Text(145) + "|-") << "only kept.qvf counted";
}

TEST_F(CQvShellExtTest, KoreanSystemsOfTheOemAreAskedWithTheirOwnPromptNotAMessageOfString170) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const char* saved = std::getenv("LC_ALL");
  const std::string previous = saved != nullptr ? saved : "";
  setenv("LC_ALL", "ko_KR.UTF-8", 1);
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDWORDValue("OEM", 6), ERROR_SUCCESS);
  QvApp().InitInstance();
  ASSERT_NO_FATAL_FAILURE(Select({File("a.txt")}));
  ui_.PressButton(kPasswordDialogId, IDCANCEL);
  EXPECT_EQ(Invoke(CMD_ENCRYPT), S_OK);
  if (saved != nullptr)
    setenv("LC_ALL", previous.c_str(), 1);
  else
    unsetenv("LC_ALL");
  HeadlessBackend::ClosedDialog closed;
  ASSERT_TRUE(ui_.LastClosed(kPasswordDialogId, &closed));
  const std::string texts = closed.state.Texts();
  constexpr LANGID kKorean = 0x0412;
  ASSERT_FALSE(LoadStringText(IDS_VERIFY_PROMPT_KOREAN, kKorean).empty());
  EXPECT_NE(texts.find(LoadStringText(IDS_VERIFY_PROMPT_KOREAN, kKorean)), std::string::npos)
      << texts;
  for (const LANGID language : {kKorean, LANGID{1033}})
    EXPECT_EQ(texts.find(LoadStringText(170, language)), std::string::npos)
        << "the file-exists message is no prompt";
}

TEST_F(CQvShellExtTest, EveryLanguageNamesTheItemsAndHelpTextsInItsOwnWordsWhole) {
  const SuiteRunning suite(kSuiteRunningMutex);
  const std::string plain = File("a.txt");
  const std::string legacy = File("old.qvef", "Standard Jet DB");
  const LCID saved = GetThreadLocale();
  for (const LANGID language : qvtest::kShippedLanguages) {
    SCOPED_TRACE(testing::Message() << "language " << language);
    ASSERT_TRUE(SetThreadLocale(MAKELCID(language, SORT_DEFAULT)));
    // Encrypt for a plain file; decrypt, share and convert for a legacy container.
    const struct {
      std::string path;
      std::vector<std::pair<UINT, UINT>> textAndHelp;
    } menus[] = {{plain, {{101, 103}}}, {legacy, {{102, 104}, {145, 146}, {185, 184}}}};
    for (const auto& m : menus) {
      ASSERT_EQ(Initialize({m.path}), S_OK);
      std::vector<ContextMenuEntry> entries;
      ASSERT_EQ(ListContextMenu(menu_.Get(), CMF_NORMAL, &entries), S_OK);
      std::vector<const ContextMenuEntry*> items;
      for (const ContextMenuEntry& e : entries)
        if (!e.separator) items.push_back(&e);
      ASSERT_EQ(items.size(), m.textAndHelp.size());
      for (size_t i = 0; i < items.size(); ++i) {
        const auto [textId, helpId] = m.textAndHelp[i];
        EXPECT_EQ(items[i]->text, LoadStringText(textId, language));
        EXPECT_EQ(items[i]->helpText, LoadStringText(helpId, language));
        EXPECT_FALSE(qvtest::LeftInEnglish(language, items[i]->text, LoadStringText(textId, 1033)))
            << items[i]->text;
        EXPECT_FALSE(
            qvtest::LeftInEnglish(language, items[i]->helpText, LoadStringText(helpId, 1033)))
            << items[i]->helpText;
        // A host with a short buffer gets a shorter text, never half a character.
        for (const UINT size : {5u, 8u, 13u}) {
          char narrow[16] = {};
          (void)menu_->GetCommandString(items[i]->offset, GCS_HELPTEXTA, nullptr, narrow, size);
          EXPECT_TRUE(qvtest::IsValidUtf8(narrow)) << "help text cut to " << size << " bytes";
        }
      }
    }
  }
  ASSERT_TRUE(SetThreadLocale(saved));
}

TEST_F(CQvShellExtTest, CommandStringsAnswerOnlyWhatTheHandlerHas) {
  const SuiteRunning suite(kSuiteRunningMutex);
  ASSERT_NO_FATAL_FAILURE(Select({File("a.txt")}));
  char narrow[64];
  std::memset(narrow, '#', sizeof narrow);
  for (const UINT_PTR offset : {UINT_PTR{0}, UINT_PTR{5}, UINT_PTR{6}, UINT_PTR{0xFFFF}}) {
    EXPECT_EQ(menu_->GetCommandString(offset, GCS_HELPTEXTA, nullptr, narrow, sizeof narrow),
              E_INVALIDARG)
        << offset;
    EXPECT_EQ(narrow[0], '#') << "untouched";
  }
  EXPECT_EQ(menu_->GetCommandString(CMD_SHARING, GCS_VERBA, nullptr, narrow, sizeof narrow),
            E_INVALIDARG);
  EXPECT_EQ(narrow[0], '#');
  EXPECT_EQ(menu_->GetCommandString(CMD_ENCRYPT, GCS_VALIDATEA, nullptr, nullptr, 0), S_OK);
  EXPECT_EQ(menu_->GetCommandString(CMD_DECRYPT, GCS_VALIDATEW, nullptr, nullptr, 0), S_FALSE);
  EXPECT_EQ(menu_->GetCommandString(CMD_ENCRYPT, GCS_VERBA, nullptr, narrow, 5), S_OK);
  EXPECT_STREQ(narrow, "QVEn");
  char16_t wide[8];
  std::fill(std::begin(wide), std::end(wide), u'#');
  EXPECT_EQ(menu_->GetCommandString(CMD_DECRYPT, GCS_HELPTEXTW, nullptr,
                                    reinterpret_cast<CHAR*>(wide), 6),
            S_OK);
  EXPECT_EQ(std::u16string(wide), u"Senti");
  EXPECT_EQ(wide[6], u'#') << "the answer ends within cch";
}

TEST_F(CQvShellExtTest, TheListingAHostPrintsNamesEveryItemAndFindsItByVerbOrText) {
  const SuiteRunning suite(kSuiteRunningMutex);
  ASSERT_EQ(Initialize({File("a.txt")}), S_OK);
  std::vector<ContextMenuEntry> entries;
  ASSERT_EQ(ListContextMenu(menu_.Get(), CMF_NORMAL, &entries), S_OK);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[0].separator);
  EXPECT_EQ(entries[1].offset, CMD_ENCRYPT);
  EXPECT_EQ(entries[1].verb, kEncryptVerb);
  EXPECT_EQ(entries[1].helpText, Text(103));
  EXPECT_EQ(FindContextMenuEntry(entries, kEncryptVerb), &entries[1]);
  EXPECT_EQ(FindContextMenuEntry(entries, "sentivo encrypt file(s)"), &entries[1]);
  EXPECT_EQ(FindContextMenuEntry(entries, kDecryptVerb), nullptr);
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  PrintContextMenu(entries, out);
  std::fclose(out);
  EXPECT_EQ(std::string(text, size),
            "----\n" + Text(101) + " [QVEncryptCMD]\t" + Text(103) + "\n----\n");
  std::free(text);
}

}  // namespace
