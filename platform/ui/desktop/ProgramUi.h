// How a program chooses the back end its dialogs are shown through: "--ui desktop|terminal|
// none" on its command line, else the QV_UI variable, else the desktop when a display is
// available (DISPLAY or WAYLAND_DISPLAY) and the program was not started from a terminal,
// else the terminal. "none" answers nothing: every dialog is closed with its Cancel value
// unless the program set an answer for it, exactly as the terminal back end does without a
// terminal.
//
// When the desktop was chosen but its display cannot be opened, the terminal (or, without
// one, nothing) takes over and the program says so on standard error.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ui/TerminalBackend.h"
#include "platform/ui/desktop/DesktopBackend.h"

enum class UiKind { Desktop, Terminal, None };

// "desktop", "terminal" or "none"; nullopt for anything else.
QV_API std::optional<UiKind> ParseUiKind(std::string_view text);
QV_API const char* UiKindName(UiKind kind);

// Removes "--ui VALUE" and "--ui=VALUE" from argv (before any "--"), so the program's own
// option reading never sees them. The kind given, nullopt when none was; a value that is not
// a kind leaves `*error` set ("--ui takes desktop, terminal or none").
QV_API std::optional<UiKind> TakeUiOption(int* argc, char** argv, std::string* error);

// The kind to use when the command line gave `requested` (nullopt: none); a QV_UI value that
// is not a kind is ignored with a note in `*note`.
QV_API UiKind ChooseUiKind(std::optional<UiKind> requested, std::string* note);

// The back end of a program: opened, and installed unless the program wraps it in a back end
// of its own; restores the previous one when destroyed.
class QV_API ProgramUi {
 public:
  ProgramUi() = default;
  ~ProgramUi();
  ProgramUi(const ProgramUi&) = delete;
  ProgramUi& operator=(const ProgramUi&) = delete;

  // Opens the back end of `kind`; a desktop that cannot open its display gives way to the
  // terminal after `program` says why on standard error. False only when memory runs out.
  [[nodiscard]] bool Open(const char* program, UiKind kind);
  // Opens it and makes it the process's back end.
  [[nodiscard]] bool Install(const char* program, UiKind kind);

  // What was installed in the end.
  UiKind Kind() const { return kind_; }
  DesktopBackend* Desktop() const { return desktop_.get(); }
  // The terminal back end for Terminal and None; null for the desktop.
  TerminalBackend* Terminal() const { return terminal_.get(); }
  UiBackend* Backend() const;

 private:
  UiKind kind_ = UiKind::None;
  std::unique_ptr<DesktopBackend> desktop_;
  std::unique_ptr<TerminalBackend> terminal_;
  UiBackend* previous_ = nullptr;
  bool installed_ = false;
};
