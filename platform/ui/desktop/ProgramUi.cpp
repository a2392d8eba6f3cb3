// The choice of a program's back end and its installation.
#include "platform/ui/desktop/ProgramUi.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Handles.h"

namespace {

constexpr const char* kKindsWanted = "--ui takes desktop, terminal or none";

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Started from a terminal: the process has a controlling terminal it can open.
bool HasTerminal() {
  qv::detail::UniqueFd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  return tty.Valid();
}

}  // namespace

std::optional<UiKind> ParseUiKind(std::string_view text) {
  if (text == "desktop") return UiKind::Desktop;
  if (text == "terminal") return UiKind::Terminal;
  if (text == "none") return UiKind::None;
  return std::nullopt;
}

const char* UiKindName(UiKind kind) {
  switch (kind) {
    case UiKind::Desktop:
      return "desktop";
    case UiKind::Terminal:
      return "terminal";
    case UiKind::None:
      break;
  }
  return "none";
}

std::optional<UiKind> TakeUiOption(int* argc, char** argv, std::string* error) {
  std::optional<UiKind> kind;
  int kept = 1;
  int i = 1;
  for (; i < *argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    std::optional<std::string_view> value;
    if (arg == "--ui") {
      if (i + 1 >= *argc) {
        if (error != nullptr) *error = kKindsWanted;
        continue;
      }
      value = argv[++i];
    } else if (arg.starts_with("--ui=")) {
      value = arg.substr(5);
    } else {
      argv[kept++] = argv[i];
      continue;
    }
    kind = ParseUiKind(*value);
    if (!kind && error != nullptr) *error = kKindsWanted;
  }
  for (; i < *argc; ++i) argv[kept++] = argv[i];
  argv[kept] = nullptr;
  *argc = kept;
  return kind;
}

UiKind ChooseUiKind(std::optional<UiKind> requested, std::string* note) {
  if (requested) return *requested;
  if (const char* variable = std::getenv("QV_UI"); variable != nullptr && *variable != '\0') {
    if (const auto kind = ParseUiKind(variable)) return *kind;
    if (note != nullptr)
      *note =
          "QV_UI=\"" + std::string(variable) + "\" is not desktop, terminal or none; it is ignored";
  }
  if (HasDisplay() && !HasTerminal()) return UiKind::Desktop;
  return UiKind::Terminal;
}

ProgramUi::~ProgramUi() {
  if (installed_) SetUiBackend(previous_);
}

UiBackend* ProgramUi::Backend() const {
  if (desktop_ != nullptr) return desktop_.get();
  return terminal_.get();
}

bool ProgramUi::Install(const char* program, UiKind kind) {
  if (installed_) return true;
  if (Backend() == nullptr && !Open(program, kind)) return false;
  previous_ = SetUiBackend(Backend());
  installed_ = true;
  return true;
}

bool ProgramUi::Open(const char* program, UiKind kind) {
  if (Backend() != nullptr) return true;
  if (kind == UiKind::Desktop) {
    std::string why = "out of memory";
    try {
      desktop_ = DesktopBackend::Open(&why);
    } catch (...) {
    }
    if (desktop_ == nullptr) {
      std::fprintf(stderr,
                   "%s: %s; dialogs go to the terminal instead (--ui terminal skips the "
                   "display)\n",
                   program, why.c_str());
      kind = UiKind::Terminal;
    }
  }
  if (kind == UiKind::Terminal) {
    terminal_ = TerminalBackend::ForControllingTerminal();
    if (terminal_ == nullptr) return false;
    kind = terminal_->Interactive() ? UiKind::Terminal : UiKind::None;
  } else if (kind == UiKind::None) {
    try {
      terminal_ = std::make_unique<TerminalBackend>(-1, STDOUT_FILENO, false);
    } catch (...) {
      return false;
    }
  }
  kind_ = kind;
  return true;
}
