// Browsing a container against listing the same tree as plain files, in the same run: a
// container of --files small files in 200 folders (10 groups of 20), made by the engine, is
// browsed through its views as a file manager browses it (headless, in this process), and the
// same tree as plain files is listed with `ls -lR`.
//
// Printed: the user's verification apart; the first listing of the root after it; each
// folder's listing (a view bound, filled and every row's four texts read), as the median and
// the slowest; a walk of every folder; `ls -lR` of the plain tree and the walk's ratio to it;
// where the last walk's time went, phase by phase.
// Goals: every folder under 50 ms; the walk within 3 times `ls -lR`.
//
//   bench_browse [--files N] [--runs N] [--dir FOLDER]
//
// Exit codes: 0 done, 1 a step failed, 2 usage.
#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "bench/BenchSupport.h"
#include "bench/BenchTree.h"
#include "bench/BenchUser.h"
#include "engine/CProgressDlg.h"
#include "platform/Ole.h"
#include "platform/shell/ItemIdList.h"
#include "platform/shell/ShellView.h"
#include "platform/ui/Backend.h"
#include "platform/ui/Controls.h"
#include "platform/ui/HeadlessBackend.h"
#include "shell/CQvShellFolder.h"
#include "suite/QvDialogIds.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::Seconds;

namespace {

using bench::kPassword;
using bench::kUser;

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "bench_browse: %s\n", message.c_str());
  std::exit(1);
}
void Check(bool ok, const std::string& message) {
  if (!ok) Fail(message);
}

// A browser that only hands out nothing: the view's toolbar and state are not measured.
class QuietBrowser final : public ComObject<IShellBrowser> {
 public:
  HRESULT GetWindow(HWND* phwnd) override { return *phwnd = nullptr, S_OK; }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT InsertMenusSB(HMENU, void*) override { return E_NOTIMPL; }
  HRESULT SetMenuSB(HMENU, HANDLE, HWND) override { return E_NOTIMPL; }
  HRESULT RemoveMenusSB(HMENU) override { return E_NOTIMPL; }
  HRESULT SetStatusTextSB(const char16_t*) override { return S_OK; }
  HRESULT EnableModelessSB(BOOL) override { return E_NOTIMPL; }
  HRESULT TranslateAcceleratorSB(MSG*, WORD) override { return S_FALSE; }
  HRESULT BrowseObject(LPCITEMIDLIST, UINT) override { return E_NOTIMPL; }
  HRESULT GetViewStateStream(DWORD, IStream** stream) override {
    *stream = nullptr;
    return E_FAIL;
  }
  HRESULT GetControlWindow(UINT, HWND* phwnd) override { return *phwnd = nullptr, E_NOTIMPL; }
  HRESULT SendControlMsg(UINT, UINT, WPARAM, LPARAM, LRESULT* result) override {
    if (result != nullptr) *result = 0;
    return S_OK;
  }
  HRESULT QueryActiveShellView(IShellView** view) override { return *view = nullptr, E_NOTIMPL; }
  HRESULT OnViewWindowActive(IShellView*) override { return S_OK; }
  HRESULT SetToolbarItems(const TBBUTTON*, UINT, UINT) override { return S_OK; }
};

struct View {
  ComPtr<IShellView> view;
  HWND window = nullptr;
  CListCtrl List() const { return CListCtrl(::GetDlgItem(window, 601)); }
};

// Where a walk's time goes, summed over its folders.
struct Phases {
  double bind = 0;    // BindToObject
  double create = 0;  // CreateViewObject and CreateViewWindow
  double filled = 0;  // from the window to the worker's verdict and the filled list
  double read = 0;    // every row's four texts
  double kinds = 0;   // GetAttributesOf of every row, to find the folders
  double close = 0;   // DestroyViewWindow
};

View ShowView(IShellFolder* folder, IShellBrowser* browser, Phases* phases = nullptr) {
  Clock::time_point start = Clock::now();
  View shown;
  Check(SUCCEEDED(folder->CreateViewObject(nullptr, IID_IShellView,
                                           shown.view.ReleaseAndGetVoidAddressOf())),
        "no view");
  const FOLDERSETTINGS settings{FVM_DETAILS, 0};
  RECT rect{0, 0, 800, 600};
  Check(SUCCEEDED(shown.view->CreateViewWindow(nullptr, &settings, browser, &rect, &shown.window)),
        "the view window was not made");
  if (phases != nullptr) phases->create += Seconds(start);
  start = Clock::now();
  const CAnimateCtrl animation(::GetDlgItem(shown.window, 913));
  while (animation.IsPlaying()) {
    (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    (void)PumpWaitingMessages(nullptr, nullptr);
  }
  if (phases != nullptr) phases->filled += Seconds(start);
  return shown;
}

// Reads every row's four texts, as a host printing the listing does; returns the rows.
int ReadRows(const View& shown) {
  const CListCtrl list = shown.List();
  const int count = list.GetItemCount();
  std::size_t bytes = 0;
  for (int i = 0; i < count; ++i)
    for (int column = 0; column < 4; ++column) bytes += list.GetItemText(i, column).size();
  Check(count == 0 || bytes > 0, "rows without texts");
  return count;
}

struct Walk {
  std::vector<double> folderSeconds;
  double total = 0;
  long rows = 0;
  Phases phases;
};

// Every folder below `folder` (shown in `shown`), depth first: bind, show, read, close.
void WalkBelow(IShellFolder* folder, const View& shown, IShellBrowser* browser, Walk* walk) {
  const CListCtrl list = shown.List();
  // The folders among the rows, as a host asks for them.
  std::vector<LPCITEMIDLIST> folders;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < list.GetItemCount(); ++i) {
    const auto item = reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(i));
    SFGAOF attributes = SFGAO_FOLDER;
    if (folder->GetAttributesOf(1, &item, &attributes) == S_OK && (attributes & SFGAO_FOLDER) != 0)
      folders.push_back(item);
  }
  walk->phases.kinds += Seconds(start);
  for (const LPCITEMIDLIST item : folders) {
    start = Clock::now();
    ComPtr<IShellFolder> child;
    Check(SUCCEEDED(folder->BindToObject(item, nullptr, IID_IShellFolder,
                                         child.ReleaseAndGetVoidAddressOf())),
          "cannot bind to a folder");
    walk->phases.bind += Seconds(start);
    View inner = ShowView(child.Get(), browser, &walk->phases);
    const Clock::time_point reading = Clock::now();
    walk->rows += ReadRows(inner);
    walk->phases.read += Seconds(reading);
    const double took = Seconds(start);
    walk->folderSeconds.push_back(took);
    walk->total += took;
    WalkBelow(child.Get(), inner, browser, walk);
    const Clock::time_point closing = Clock::now();
    (void)inner.view->DestroyViewWindow();
    walk->phases.close += Seconds(closing);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::TreeArguments arguments;
  const int parsed = bench::ParseTreeArguments(
      argc, argv, "bench_browse",
      "usage: bench_browse [--files N] [--runs N] [--dir FOLDER]\n"
      "Browses a container of N small files in 200 folders (default 20000) through its\n"
      "views and compares with `ls -lR` of the same tree as plain files.\n"
      "exit codes: 0 done, 1 a step failed, 2 usage\n",
      &arguments);
  if (parsed >= 0) return parsed;
  const int files = arguments.files;
  const int runs = arguments.runs;
  const std::string& dir = arguments.dir;
  const std::string work =
      bench::AbsoluteFolder(dir) + "/qv-bench-browse-" + std::to_string(getpid());
  // The view verifies whoever runs it: this account.
  const std::string enrolled =
      bench::EnrollBenchUser(work, kUser, QvCurrentAccount().userName, kPassword);
  Check(enrolled.empty(), enrolled);
  HeadlessBackend ui;
  ui.SetFailureHandler(
      [](const std::string& m) { std::fprintf(stderr, "dialog: %s\n", m.c_str()); });
  UiBackend* previous = SetUiBackend(&ui);
  Check(QvLogOnUser(kUser, kPassword) == QvLogOnResult::Passed, "the user cannot log on");

  // The same tree twice: one to encrypt, one to list as plain files.
  const std::string box = work + "/Box";
  const std::string plain = work + "/Plain";
  Check(bench::WriteTree(box, files) && bench::WriteTree(plain, files), "cannot write the tree");
  std::printf("container of %d files in %d folders: encrypting ...\n", files, std::min(files, 200));
  std::fflush(stdout);
  {
    OperationRequest request;
    request.items = {box};
    request.userId = kUser;
    request.userName = kUser;
    request.encrypt = true;
    CProgressDlg dialog(std::move(request));
    if (dialog.DoModal() != IDOK) Fail("the container was not made" + bench::FailedRows(ui));
  }
  const std::string container = box + ".qvef";

  ComPtr<QuietBrowser> browser;
  browser.Attach(new QuietBrowser());
  ComPtr<IShellFolder> root;
  Check(CQvShellFolder::CreateInstance(IID_IShellFolder, root.ReleaseAndGetVoidAddressOf()) == S_OK,
        "no folder");
  ComPtr<IPersistFolder> persist;
  Check(root.As(persist) == S_OK, "no IPersistFolder");
  LPITEMIDLIST pidl = ILCreateFromPathA(container.c_str());
  Check(persist->Initialize(pidl) == S_OK, "the container is not there");
  ILFree(pidl);

  // Verification and the first listing, apart.
  ui.TypeAndPress(kPasswordDialogId, kPasswordEditId, kPassword, IDOK);
  Clock::time_point start = Clock::now();
  View first = ShowView(root.Get(), browser.Get());
  const double verifyAndFill = Seconds(start);
  Check(first.List().GetItemCount() > 0, "the verification was refused");
  start = Clock::now();
  (void)first.view->Refresh();
  const int rootRows = ReadRows(first);
  const double rootListing = Seconds(start);

  std::vector<double> walks, lsRuns, slowest, medians;
  long rows = 0;
  Phases phases;
  for (int run = 0; run < runs; ++run) {
    Walk walk;
    WalkBelow(root.Get(), first, browser.Get(), &walk);
    walks.push_back(walk.total);
    slowest.push_back(*std::max_element(walk.folderSeconds.begin(), walk.folderSeconds.end()));
    medians.push_back(bench::Median(walk.folderSeconds));
    rows = walk.rows;
    phases = walk.phases;
    std::string listing;
    start = Clock::now();
    Check(bench::Run({"ls", "-lR", plain}, &listing) == 0, "ls -lR failed");
    lsRuns.push_back(Seconds(start));
  }
  (void)first.view->DestroyViewWindow();

  const double walk = bench::Median(walks);
  const double ls = bench::Median(lsRuns);
  std::printf("verification and first filling of the root: %.1f ms (verification included)\n",
              verifyAndFill * 1e3);
  std::printf("first listing of the root after verification: %.2f ms (%d rows)\n",
              rootListing * 1e3, rootRows);
  std::printf("each folder's listing: median %.2f ms, slowest %.2f ms (goal: under 50 ms)\n",
              bench::Median(medians) * 1e3, bench::Median(slowest) * 1e3);
  std::printf("walk of every folder (%ld rows): %.1f ms; ls -lR of the plain tree: %.1f ms\n", rows,
              walk * 1e3, ls * 1e3);
  std::printf("ratio walk / ls -lR: %.2f (goal: at most 3); median of %d runs\n", walk / ls, runs);
  // The walk above times each folder's listing; a host also asks every row whether it is a
  // folder and closes every view.
  std::printf(
      "where the last walk went, ms: binding %.1f, making views %.1f, verdict and filling %.1f, "
      "reading rows %.1f; besides the listings: telling folders %.1f, closing views %.1f\n",
      phases.bind * 1e3, phases.create * 1e3, phases.filled * 1e3, phases.read * 1e3,
      phases.kinds * 1e3, phases.close * 1e3);

  SetUiBackend(previous);
  QvLogOff();
  StopSuiteServices();
  QvApp().ExitInstance();
  bench::RemoveBenchFolders(work);
  return 0;
}
