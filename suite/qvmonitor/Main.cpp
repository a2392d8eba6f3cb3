// qvmonitor: the user's decrypted-file monitor process. The monitor's class (in
// libqvmonitorsvc.so) starts it when it finds none running and hands it, over the user's
// mailslot, each file a container's view decrypted and opened; what it does with them is
// said in Monitor.h. One runs per user: a second one finds the mailslot taken and ends.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Mailslot.h"
#include "platform/ui/desktop/ProgramUi.h"
#include "suite/qvmonitor/Monitor.h"
#include "suite/qvmonitor/MonitorRegistration.h"
#include "suite/qvmonitor/MonitorRequest.h"
#include "suite/qvmonitor/StoreBack.h"
#include "suite/qvmonitor/WatchList.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitCannotRun = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAlreadyRunning = 3;

constexpr DWORD kReadTimeoutMs = 200;
constexpr std::int64_t kDefaultIdleExitMs = 60000;

constexpr const char* kUsage =
    R"(Usage: qvmonitor [--stay]
       qvmonitor --list
       qvmonitor --register | --unregister
       qvmonitor --help

Looks after the plain copies of files that were opened from an encrypted container: a save in
a copy is stored back into the container, and a copy goes (overwritten, then removed with its
private folder) once no program has it open and nothing happened to it for a while. You do not
need to start it: the container's view starts it when it opens a file. What it looks after is
recorded under the machine root (monitor-<uid>), so a monitor that was stopped takes it up
again when it starts. Storing back goes through the encrypted-folder extension's library
(registered with 'qvx register') and verifies you first: a verification of this monitor still
within your session time-out counts, otherwise you are asked in a window on the desktop (or
the password is read from QV_PASSWORD_FILE). An edit that cannot be stored back is kept in monitor-<uid>/kept, never
dropped.

  --stay   keep running when there is nothing to look after (otherwise it ends after a minute)
  --list   print the copies looked after and the edits kept, then end
  --register, --unregister
           write (remove) the monitor's class in the registry under the machine root, so the
           container's view finds it (enrollment with qvenroll registers it as well)

Environment: QV_MONITOR_QUIET_MS (how long a copy nobody holds stays, default 5000),
QV_MONITOR_UNHELD_MS (the same for a copy no program was seen to open, default 300000),
QV_MONITOR_IDLE_MS (how long it runs with nothing to look after, default 60000).

Exit codes: 0 done, 1 cannot run (no state folder, no mailslot, no file watching, or the
class cannot be registered), 2 usage, 3 a monitor of this user runs already.
)";

// Storing a save back verifies the user, which may ask for the password: on the desktop when
// there is one (the monitor has no terminal), else nobody is asked and only a password file
// (QV_PASSWORD_FILE) or a verification still running in this process lets the store go on.
// The back end is set up at the first store, so a monitor that never stores opens no display.
class DialogsAtFirstStore final : public qvmonitor::ContainerStoreBack {
 public:
  explicit DialogsAtFirstStore(std::unique_ptr<qvmonitor::ContainerStoreBack> inner)
      : inner_(std::move(inner)) {}
  qvmonitor::StoreResult Store(const qvmonitor::MonitorRequest& entry,
                               const std::string& plainPath) override {
    if (!installed_) {
      installed_ = true;
      std::string note;
      const UiKind kind = ChooseUiKind(std::nullopt, &note);
      if (!note.empty()) std::fprintf(stderr, "qvmonitor: %s\n", note.c_str());
      if (!ui_.Install("qvmonitor", kind))
        std::fprintf(stderr, "qvmonitor: no dialogs can be shown: out of memory\n");
    }
    return inner_->Store(entry, plainPath);
  }

 private:
  std::unique_ptr<qvmonitor::ContainerStoreBack> inner_;
  ProgramUi ui_;
  bool installed_ = false;
};

volatile std::sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

int List(const std::string& state) {
  qvmonitor::WatchList list(state);
  std::vector<std::string> unreadable;
  for (const qvmonitor::WatchRecord& record : list.ReadAll(&unreadable))
    std::printf("watched  %s  (entry %u/%u of %s)%s\n", record.request.decryptedPath.c_str(),
                record.request.folderId, record.request.fileId,
                record.request.containerPath.c_str(),
                record.unstoredEdit ? "  holds an edit not stored back" : "");
  for (const std::string& path : unreadable) std::printf("unreadable record  %s\n", path.c_str());
  std::printf("kept edits are in %s/kept\n", state.c_str());
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  bool stay = false;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitDone;
    }
    if (arg == "--register" || arg == "--unregister") {
      if (argc != 2) {
        std::fprintf(stderr, "qvmonitor: %s goes alone; see qvmonitor --help\n", argv[i]);
        return kExitUsage;
      }
      std::string error;
      if (!qvmonitor::RegisterMonitorClass(arg == "--register", &error)) {
        std::fprintf(stderr, "qvmonitor: %s\n", error.c_str());
        return kExitCannotRun;
      }
      std::printf("qvmonitor: the monitor's class is %s\n",
                  arg == "--register" ? "registered" : "unregistered");
      return kExitDone;
    }
    if (arg == "--stay") {
      stay = true;
    } else if (arg == "--list") {
      list = true;
    } else {
      std::fprintf(stderr, "qvmonitor: unknown argument \"%s\"; see qvmonitor --help\n", argv[i]);
      return kExitUsage;
    }
  }
  QvKeepOutOfCoreDumps();
  const std::string state = qvmonitor::StateFolder();
  if (state.empty()) {
    std::fprintf(stderr,
                 "qvmonitor: the state folder under the machine root cannot be made or is not "
                 "private to you: check QV_ROOT and the folder's owner and mode\n");
    return kExitCannotRun;
  }
  if (list) return List(state);

  HANDLE mailslot =
      CreateMailslotA(qvmonitor::kMailslotName, static_cast<DWORD>(qvmonitor::kMaxRequestSize),
                      kReadTimeoutMs, nullptr);
  if (mailslot == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      std::fprintf(stderr, "qvmonitor: your monitor runs already\n");
      return kExitAlreadyRunning;
    }
    std::fprintf(stderr,
                 "qvmonitor: cannot open the monitor's mailslot (error %u): check "
                 "XDG_RUNTIME_DIR\n",
                 GetLastError());
    return kExitCannotRun;
  }
  // Who runs now, for --list and for whoever must stop it.
  if (FILE* pid = std::fopen((state + "/pid").c_str(), "w")) {
    std::fprintf(pid, "%d\n", static_cast<int>(getpid()));
    std::fclose(pid);
  }
  std::signal(SIGTERM, OnStop);
  std::signal(SIGINT, OnStop);
  std::signal(SIGHUP, SIG_IGN);

  DialogsAtFirstStore storeBack(qvmonitor::NewContainerStoreBack());
  qvmonitor::Monitor monitor(state, storeBack, qvmonitor::MonitorTimings::FromEnvironment());
  std::string error;
  if (!monitor.Start(&error)) {
    std::fprintf(stderr, "qvmonitor: %s\n", error.c_str());
    CloseHandle(mailslot);
    return kExitCannotRun;
  }
  const char* idleText = std::getenv("QV_MONITOR_IDLE_MS");
  const std::int64_t idleExitMs =
      idleText != nullptr && *idleText != '\0' ? std::atoll(idleText) : kDefaultIdleExitMs;

  std::vector<std::uint8_t> message(qvmonitor::kMaxRequestSize);
  std::int64_t idleSince = qvmonitor::SteadyMs();
  while (g_stop == 0) {
    DWORD read = 0;
    if (ReadFile(mailslot, message.data(), static_cast<DWORD>(message.size()), &read, nullptr)) {
      const auto request = qvmonitor::DecodeRequest(message.data(), read);
      std::string why;
      if (!request) {
        std::fprintf(stderr, "qvmonitor: a request that does not read was dropped\n");
      } else if (!monitor.Take(*request, &why)) {
        std::fprintf(stderr, "qvmonitor: %s is refused: %s\n", request->decryptedPath.c_str(),
                     why.c_str());
      } else {
        std::fprintf(stderr, "qvmonitor: watching %s\n", request->decryptedPath.c_str());
      }
    } else if (GetLastError() == ERROR_READ_FAULT) {
      std::fprintf(stderr,
                   "qvmonitor: the mailslot stopped; the watched files are taken up by "
                   "the next monitor\n");
      break;
    }
    const std::int64_t now = qvmonitor::SteadyMs();
    monitor.Tick(now);
    for (const std::string& note : monitor.TakeNotes())
      std::fprintf(stderr, "qvmonitor: %s\n", note.c_str());
    if (monitor.WatchedCount() != 0) idleSince = now;
    DWORD waiting = 0;
    if (!stay && now - idleSince >= idleExitMs &&
        GetMailslotInfo(mailslot, nullptr, nullptr, &waiting, nullptr) && waiting == 0)
      break;
  }
  CloseHandle(mailslot);
  return kExitDone;
}
