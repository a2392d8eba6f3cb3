// The terminal back end: dialog and message-box blocks, prompts and policy answers, the live
// progress line and result rows, and Ctrl+C.
//
// Locks: `lock_` guards the followed dialogs, the policy and every write; the framework's own
// lock may be taken while holding it (the framework never calls a back end with its lock
// held), but no framework call that reports a change back (CheckDlgButton, SetDlgItemTextA)
// is made under it. `inputLock_` serialises prompts and is taken before `lock_`.
#include "platform/ui/TerminalBackend.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "platform/AsciiCase.h"
#include "platform/PosixIo.h"
#include "platform/Utf8.h"
#include "platform/ui/UiInternal.h"
#include "platform/ui/WindowApi.h"

using qv::detail::UniqueFd;

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(50);
constexpr std::int64_t kQuitWindowNs = 2'000'000'000;
constexpr int kBarWidth = 20;
constexpr std::size_t kMaxLine = 8000;     // longest answer kept; the rest of the line is dropped
constexpr std::size_t kMaxCellWidth = 48;  // wider cells print whole and stop aligning
constexpr std::size_t kMaxLetters = 26;

// ---- Ctrl+C: what the signal handler shares (lock-free atomics only) ----

static_assert(std::atomic<std::int64_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<int> g_wakeFd{-1};
std::atomic<bool> g_interruptPending{false};
std::atomic<std::int64_t> g_uncancelledAt{0};  // when a Ctrl+C found nothing to cancel
std::atomic<int> g_echoFd{-1};                 // a terminal whose echo is off right now
// SIGTERM or SIGHUP once received: every dialog that can be cancelled is, until the program
// ends; the same signal again ends it at once.
std::atomic<int> g_stopSignal{0};
termios g_savedTermios{};  // valid while g_echoFd >= 0
// The signals handled like Cancel, and what they did before.
constexpr int kCancelSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previousActions[std::size(kCancelSignals)]{};
std::mutex g_ownerLock;
const TerminalBackend* g_owner = nullptr;

std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Ctrl+C, and a request to end (SIGTERM, or SIGHUP when the terminal went away): the open
// dialog is cancelled, so the operation undoes what it made instead of leaving it half done.
void OnInterrupt(int signal) {
  const int savedErrno = errno;
  const std::int64_t uncancelled = g_uncancelledAt.load();
  const int fd = g_wakeFd.load();
  const bool stop = signal != SIGINT;
  const bool insists = stop ? g_stopSignal.load() != 0
                            : g_interruptPending.load() ||
                                  (uncancelled != 0 && MonotonicNs() - uncancelled < kQuitWindowNs);
  if (fd < 0 || insists) {
    // The user insists, or no pump picked the first signal up: end as the default would,
    // leaving the terminal echoing again.
    const int echoFd = g_echoFd.load();
    if (echoFd >= 0) tcsetattr(echoFd, TCSANOW, &g_savedTermios);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    raise(signal);  // blocked until this handler returns, then fatal
    errno = savedErrno;
    return;
  }
  if (stop) g_stopSignal.store(signal);
  g_interruptPending.store(true);
  const std::uint64_t one = 1;
  (void)!write(fd, &one, sizeof one);
  errno = savedErrno;
}

// Turns echo off on a terminal for one password line; restores it on every path out.
class EchoOff {
 public:
  explicit EchoOff(int fd) {
    if (fd < 0 || tcgetattr(fd, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    quiet.c_lflag |= ECHONL;  // the Enter still ends the line on screen
    g_savedTermios = saved_;
    g_echoFd.store(fd);
    if (tcsetattr(fd, TCSANOW, &quiet) == 0) {
      fd_ = fd;
    } else {
      g_echoFd.store(-1);
    }
  }
  ~EchoOff() {
    if (fd_ < 0) return;
    tcsetattr(fd_, TCSANOW, &saved_);
    g_echoFd.store(-1);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_ = -1;
  termios saved_{};
};

// ---- Text ----

// The length of the valid UTF-8 sequence at `i`, 0 when the bytes there are not one.
std::size_t SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// Text from the program or its data made safe for a terminal: valid UTF-8 with control
// characters (C0, DEL, C1) and invalid bytes as '?'. Line breaks stay in `multiLine` text and
// become spaces otherwise.
std::string Clean(std::string_view text, bool multiLine) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        // dropped: the '\n' that follows ends the line
      } else if (c == '\n' || c == '\r') {
        out += multiLine ? '\n' : ' ';
      } else if (c == '\t') {
        out += multiLine ? '\t' : ' ';
      } else if (c < 0x20 || c == 0x7F) {
        out += '?';
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const std::size_t length = SequenceLength(text, i);
    if (length == 0 || (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      out += '?';
      i += length == 0 ? 1 : length;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

// A button or check-box caption without its keyboard mnemonic ("&Yes" -> "Yes").
std::string StripMnemonic(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// Terminal columns of cleaned text, one per character.
std::size_t Width(std::string_view text) { return CountUtf8Characters(text); }

// The byte offset where column `column` of cleaned text starts (its size when it is shorter).
std::size_t OffsetOfColumn(std::string_view text, std::size_t column) {
  return Utf8CharacterOffset(text, column);
}

// Cleaned single-line text cut to `width` columns, with "..." where it was cut.
std::string Fit(const std::string& text, std::size_t width) {
  if (Width(text) <= width) return text;
  if (width <= 3) return std::string(width, '.');
  return text.substr(0, OffsetOfColumn(text, width - 3)) + "...";
}

// Cleaned text broken into lines of at most `width` columns: at the last space that fits, or
// for a word longer than a line between two characters, never inside one. Its own line
// breaks stay; `width` 0 leaves it as it is.
std::string Wrap(std::string_view text, std::size_t width) {
  if (width == 0) return std::string(text);
  std::string out;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    while (Width(line) > width) {
      const std::size_t cut = OffsetOfColumn(line, width);
      std::size_t space = line.rfind(' ', cut);
      const std::size_t first = line.find_first_not_of(' ');
      if (space == std::string_view::npos || first == std::string_view::npos || space < first) {
        out.append(line.substr(0, cut));
        line.remove_prefix(cut);
      } else {
        std::size_t keep = space;
        while (keep > 0 && line[keep - 1] == ' ') --keep;
        out.append(line.substr(0, keep));
        while (space < line.size() && line[space] == ' ') ++space;
        line.remove_prefix(space);
      }
      out += '\n';
    }
    out.append(line);
    if (end == text.size()) return out;
    out += '\n';
    start = end + 1;
  }
}

std::string Pad(const std::string& text, std::size_t width, bool right) {
  const std::size_t have = Width(text);
  if (have >= width) return text;
  const std::string fill(width - have, ' ');
  return right ? fill + text : text + fill;
}

std::string TrimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A whole line of 1..9 digits as a number, else 0.
int ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return 0;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// ---- Pages ----

bool IsPageStep(const HeadlessBackend::Step& step) {
  using Kind = HeadlessBackend::Step::Kind;
  return step.kind == Kind::ClickElement || step.kind == Kind::TypeElement ||
         step.kind == Kind::SelectElement;
}

// What the user can act on in a page shown as a form: enabled buttons (numbered) and enabled,
// visible lists and text boxes (lettered), in page order.
struct PageChoices {
  std::vector<const PageElementState*> buttons;
  std::vector<const PageElementState*> fields;
};

PageChoices PageChoicesOf(const PageSnapshot& page) {
  PageChoices choices;
  for (const PageElementState& element : page.elements) {
    if (!element.enabled) continue;
    if (element.kind == PageElementKind::Button)
      choices.buttons.push_back(&element);
    else if (element.visible &&
             (element.kind == PageElementKind::List || element.kind == PageElementKind::Edit))
      choices.fields.push_back(&element);
  }
  return choices;
}

std::string PageLabel(const PageSnapshot& page, const PageElementState& element) {
  std::string label = Clean(page.LabelOf(element.id), false);
  while (!label.empty() && (label.back() == ':' || label.back() == ' ')) label.pop_back();
  return label;
}

std::string Underline(const std::string& title);

// The page as a form: its texts, each field lettered with its value (a list with its options
// numbered and the selected one marked), then the buttons numbered. Every text is data from
// the program or a file, so every text is cleaned.
std::string RenderPage(const std::string& caption, const PageSnapshot& page, std::size_t width) {
  const PageChoices choices = PageChoicesOf(page);
  std::string out = caption + "\n" + Underline(caption) + "\n";
  for (const PageElementState& element : page.elements) {
    if (!element.visible) continue;
    const auto field = std::find(choices.fields.begin(), choices.fields.end(), &element);
    const std::string letter =
        field == choices.fields.end()
            ? std::string("  ")
            : std::string(1, static_cast<char>('a' + (field - choices.fields.begin()))) + ")";
    switch (element.kind) {
      case PageElementKind::Text:
        // Labels are shown with their fields, a button's "<id>_Lbl" text with its button.
        if (!element.labelFor.empty() || element.value.empty() || element.value == caption ||
            element.id.ends_with("_Lbl"))
          break;
        out += Wrap(Clean(element.value, false), width) + "\n";
        break;
      case PageElementKind::Edit:
        out += letter + " " + PageLabel(page, element) + ": " + Clean(element.value, false) + "\n";
        break;
      case PageElementKind::List: {
        const std::string label = PageLabel(page, element);
        out += letter + " " + (label == element.id ? std::string("Choose one") : label) + ":\n";
        for (std::size_t i = 0; i < element.options.size(); ++i)
          out += (static_cast<int>(i) == element.selected ? "   * " : "     ") +
                 std::to_string(i + 1) + ". " + Clean(element.options[i], false) + "\n";
        if (element.options.empty()) out += "     (empty)\n";
        break;
      }
      case PageElementKind::Button:
        break;
    }
  }
  std::string buttons;
  for (std::size_t i = 0; i < choices.buttons.size(); ++i)
    buttons +=
        (i == 0 ? "" : "   ") + std::to_string(i + 1) + ") " + PageLabel(page, *choices.buttons[i]);
  if (!buttons.empty()) out += Wrap(buttons, width) + "\n";
  return out;
}

// ---- Dialog blocks ----

std::string CaptionOf(const DialogState& state) {
  const std::string caption = Clean(state.caption, false);
  return caption.empty() ? "Dialog " + std::to_string(state.templateId) : caption;
}

std::string ButtonLabel(const ControlState& control) {
  const std::string label = Clean(StripMnemonic(control.text), false);
  return label.empty() ? "Button " + std::to_string(control.id) : label;
}

std::string Underline(const std::string& title) { return std::string(Width(title), '-'); }

// What the user can act on: enabled visible buttons (numbered), check boxes (lettered) and
// edit fields (asked in order), in template order.
struct Choices {
  std::vector<const ControlState*> buttons;
  std::vector<const ControlState*> checks;
  std::vector<const ControlState*> edits;
  int defaultButton = 0;
};

Choices ChoicesOf(const DialogState& state) {
  Choices choices;
  for (const ControlState& control : state.controls) {
    if (!control.visible || !control.enabled) continue;
    if (control.kind == ControlKind::Button) {
      choices.buttons.push_back(&control);
      if (control.isDefault && choices.defaultButton == 0) choices.defaultButton = control.id;
    } else if (control.kind == ControlKind::CheckBox && control.id != IDC_STATIC &&
               choices.checks.size() < kMaxLetters) {
      choices.checks.push_back(&control);
    } else if (control.kind == ControlKind::Edit && control.id != IDC_STATIC) {
      choices.edits.push_back(&control);
    }
  }
  // Enter in a dialog without a default push button means OK.
  if (choices.defaultButton == 0) {
    for (const ControlState* button : choices.buttons) {
      if (button->id == IDOK) choices.defaultButton = IDOK;
    }
  }
  return choices;
}

// The visible static text right before an edit field labels it.
const ControlState* LabelOf(const DialogState& state, const ControlState& edit) {
  const ControlState* previous = nullptr;
  for (const ControlState& control : state.controls) {
    if (&control == &edit) break;
    if (control.visible) previous = &control;
  }
  return previous != nullptr && previous->kind == ControlKind::Static && !previous->text.empty()
             ? previous
             : nullptr;
}

bool LabelsAnEdit(const DialogState& state, std::size_t index) {
  for (std::size_t i = index + 1; i < state.controls.size(); ++i) {
    if (state.controls[i].visible) return state.controls[i].kind == ControlKind::Edit;
  }
  return false;
}

std::string FieldName(const DialogState& state, const ControlState& edit) {
  const ControlState* label = LabelOf(state, edit);
  std::string name = label != nullptr ? Clean(StripMnemonic(label->text), false) : "Text";
  while (!name.empty() && (name.back() == ':' || name.back() == ' ')) name.pop_back();
  return name.empty() ? "Text" : name;
}

std::string CheckLine(const ControlState& box, int letter) {
  std::string line = letter >= 0 ? std::string("  [") + static_cast<char>('a' + letter) + "] "
                                 : std::string("      ");
  return line + (box.checked ? "[x] " : "[ ] ") + Clean(StripMnemonic(box.text), false) + "\n";
}

bool IsPassword(const ControlState& edit) { return (edit.style & ES_PASSWORD) != 0; }

// A list view as an aligned table with its column titles as header.
std::string RenderTable(const ControlState& list) {
  std::string out;
  if (list.columns.empty()) {
    for (const ListItemState& item : list.items)
      out += (item.texts.empty() ? std::string() : Clean(item.texts[0], false)) + "\n";
    return out;
  }
  const std::size_t count = list.columns.size();
  std::vector<std::size_t> widths(count, 0);
  std::vector<std::string> titles;
  for (std::size_t c = 0; c < count; ++c) {
    titles.push_back(Clean(list.columns[c].title, false));
    widths[c] = Width(titles[c]);
  }
  std::vector<std::vector<std::string>> rows;
  for (const ListItemState& item : list.items) {
    std::vector<std::string> cells(count);
    for (std::size_t c = 0; c < count && c < item.texts.size(); ++c) {
      cells[c] = Clean(item.texts[c], false);
      widths[c] = std::max(widths[c], std::min(Width(cells[c]), kMaxCellWidth));
    }
    rows.push_back(std::move(cells));
  }
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < count; ++c) {
      const bool right = (list.columns[c].format & LVCFMT_RIGHT) != 0;
      if (c > 0) text += " | ";
      text += c + 1 < count || right ? Pad(cells[c], widths[c], right) : cells[c];
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  };
  out += line(titles);
  for (std::size_t c = 0; c < count; ++c) {
    if (c > 0) out += "-+-";
    out += std::string(widths[c], '-');
  }
  out += "\n";
  for (const auto& cells : rows) out += line(cells);
  return out;
}

std::string ButtonsLine(const std::vector<const ControlState*>& buttons, int defaultButton) {
  std::string out;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (i > 0) out += "  ";
    out += std::to_string(i + 1) + ") " + ButtonLabel(*buttons[i]);
    if (buttons[i]->id == defaultButton) out += " (default)";
  }
  return out.empty() ? out : out + "\n";
}

// `width`: the columns texts are wrapped to (0: not wrapped).
std::string RenderBlock(const DialogState& state, const Choices& choices, std::size_t width) {
  const std::string title = CaptionOf(state);
  std::string out = "\n" + title + "\n" + Underline(title) + "\n";
  for (std::size_t i = 0; i < state.controls.size(); ++i) {
    const ControlState& control = state.controls[i];
    if (!control.visible) continue;
    switch (control.kind) {
      case ControlKind::Static:
        if (!control.text.empty() && !LabelsAnEdit(state, i)) {
          out += Wrap(Clean(control.text, true), width);
          out += "\n";
        }
        break;
      case ControlKind::CheckBox: {
        const auto it = std::find(choices.checks.begin(), choices.checks.end(), &control);
        out += Wrap(CheckLine(control, it != choices.checks.end()
                                           ? static_cast<int>(it - choices.checks.begin())
                                           : -1),
                    width);
        break;
      }
      case ControlKind::Edit: {
        std::string value = IsPassword(control) ? (control.text.empty() ? "" : "(hidden)")
                                                : Clean(control.text, false);
        out += "  " + FieldName(state, control) + ": " + value + "\n";
        break;
      }
      case ControlKind::ListView:
        if (!control.columns.empty() || !control.items.empty()) out += RenderTable(control);
        break;
      default:
        break;
    }
  }
  out += ButtonsLine(choices.buttons, choices.defaultButton);
  return out;
}

std::string AnswerPrompt(const Choices& choices) {
  std::string prompt = "Answer";
  std::vector<std::string> parts;
  if (!choices.buttons.empty())
    parts.push_back(choices.buttons.size() == 1 ? std::string("1")
                                                : "1-" + std::to_string(choices.buttons.size()));
  if (!choices.checks.empty()) {
    std::string letters = "a";
    if (choices.checks.size() > 1)
      letters += std::string("-") + static_cast<char>('a' + choices.checks.size() - 1);
    parts.push_back(letters + " to tick or clear");
  }
  for (const ControlState* button : choices.buttons) {
    if (button->id == choices.defaultButton) parts.push_back("Enter: " + ButtonLabel(*button));
  }
  if (!parts.empty()) {
    prompt += " [";
    for (std::size_t i = 0; i < parts.size(); ++i) prompt += (i > 0 ? ", " : "") + parts[i];
    prompt += "]";
  }
  return prompt + ": ";
}

// ---- Progress and rows ----

int TerminalColumns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The columns dialog texts are wrapped to: the terminal's width; 0 (none) when the output is
// no terminal, so a script reads each text on one line.
std::size_t TextColumns(int fd) {
  return isatty(fd) == 1 ? static_cast<std::size_t>(TerminalColumns(fd)) : 0;
}

// One row of a list, read in one go; false when the list or row does not exist.
bool ReadRow(HWND dialog, int listId, int row, std::vector<std::string>* cells,
             std::size_t* columns) {
  const HWND list = GetDlgItem(dialog, listId);
  bool found = false;
  if (list == nullptr) return false;
  qv::ui::detail::ReadControl(list, [&](const ControlState& state) {
    if (row < 0 || static_cast<std::size_t>(row) >= state.items.size()) return;
    *cells = state.items[static_cast<std::size_t>(row)].texts;
    *columns = std::max<std::size_t>(1, state.columns.size());
    found = true;
  });
  return found;
}

bool RowHasStatus(const std::vector<std::string>& cells) {
  return std::any_of(cells.begin() + std::min<std::size_t>(1, cells.size()), cells.end(),
                     [](const std::string& cell) { return !cell.empty(); });
}

std::string RowLine(const std::vector<std::string>& cells) {
  std::size_t used = cells.size();
  while (used > 0 && cells[used - 1].empty()) --used;
  std::string line;
  for (std::size_t c = 0; c < used; ++c) line += (c > 0 ? "  " : "") + Clean(cells[c], false);
  return line + "\n";
}

}  // namespace

// ---- Construction ----

TerminalBackend::TerminalBackend(int inputFd, int outputFd, bool interactive)
    : in_(inputFd), out_(outputFd), interactive_(interactive) {
  inputIsTty_ = in_ >= 0 && isatty(in_) == 1;
  std::lock_guard<std::mutex> guard(g_ownerLock);
  if (g_owner != nullptr) return;
  struct sigaction current {};
  if (sigaction(SIGINT, nullptr, &current) != 0) return;
  // A program started with Ctrl+C ignored (in the background) keeps ignoring it.
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) return;
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.Valid()) return;
  g_interruptPending.store(false);
  g_stopSignal.store(0);
  g_uncancelledAt.store(0);
  g_wakeFd.store(wake.Get());
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(kCancelSignals); ++i) {
    struct sigaction previous {};
    if (sigaction(kCancelSignals[i], nullptr, &previous) != 0) continue;
    g_previousActions[i] = previous;
    // A signal the program was started to ignore (nohup) stays ignored.
    if (i != 0 && (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) continue;
    if (sigaction(kCancelSignals[i], &action, nullptr) != 0 && i == 0) {
      g_wakeFd.store(-1);
      return;
    }
  }
  wake_ = std::move(wake);
  g_owner = this;
  ownsInterrupt_ = true;
}

TerminalBackend::~TerminalBackend() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (liveLine_) WriteLocked("");
  }
  if (!ownsInterrupt_) return;
  std::lock_guard<std::mutex> guard(g_ownerLock);
  for (std::size_t i = 0; i < std::size(kCancelSignals); ++i)
    sigaction(kCancelSignals[i], &g_previousActions[i], nullptr);
  g_wakeFd.store(-1);
  g_interruptPending.store(false);
  g_stopSignal.store(0);
  g_uncancelledAt.store(0);
  g_owner = nullptr;
}

std::unique_ptr<TerminalBackend> TerminalBackend::ForControllingTerminal() noexcept {
  try {
    UniqueFd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!tty.Valid()) return std::make_unique<TerminalBackend>(-1, STDOUT_FILENO, false);
    auto backend = std::make_unique<TerminalBackend>(tty.Get(), tty.Get(), true);
    backend->owned_ = std::move(tty);
    return backend;
  } catch (...) {
    return nullptr;
  }
}

// ---- Policy ----

void TerminalBackend::SetAnswer(UINT templateId, int button) {
  SetAnswerSteps(templateId, {Step{Step::Kind::Press, button, {}}});
}

void TerminalBackend::SetAnswerSteps(UINT templateId, std::vector<Step> steps) {
  std::lock_guard<std::mutex> guard(lock_);
  answers_[templateId] = std::move(steps);
}

void TerminalBackend::SetMessageBoxAnswer(const std::string& match, int answer) {
  std::lock_guard<std::mutex> guard(lock_);
  boxAnswers_.push_back(MessageBoxPolicy{match, answer});
}

// ---- Output ----

void TerminalBackend::WriteLocked(const std::string& text) {
  if (liveLine_) {
    (void)qv::detail::WriteAll(out_, "\n", 1);
    liveLine_ = false;
  }
  if (!text.empty()) (void)qv::detail::WriteAll(out_, text.data(), text.size());
}

void TerminalBackend::Print(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  WriteLocked(text);
}

// ---- Following running dialogs ----

TerminalBackend::Tracked& TerminalBackend::TrackLocked(HWND dialog, const DialogState* given) {
  DialogState snapshot;
  const DialogState* state = given;
  if (state == nullptr && SnapshotDialog(dialog, &snapshot)) state = &snapshot;
  if (tracked_.size() > 64) {
    // Modeless dialogs end without DialogClosed; forget those that are gone.
    std::erase_if(tracked_, [&](const auto& entry) {
      return entry.first != dialog && qv::ui::detail::DialogOf(entry.first) == nullptr;
    });
  }
  Tracked& tracked = tracked_[dialog];
  if (state == nullptr) return tracked;
  tracked.caption = state->caption;
  tracked.progress = false;
  tracked.labelId = IDC_STATIC;
  tracked.label.clear();
  bool haveLabel = false;
  bool barVisible = false;
  for (const ControlState& control : state->controls) {
    if (control.kind == ControlKind::ProgressBar && !barVisible &&
        (!tracked.progress || control.visible)) {
      tracked.progress = true;
      barVisible = control.visible;
      tracked.barId = control.id;
      tracked.lower = control.lower;
      tracked.upper = control.upper;
      tracked.position = control.position;
    } else if (control.kind == ControlKind::Static && control.visible && !haveLabel) {
      haveLabel = true;
      tracked.labelId = control.id;
      tracked.label = control.text;
    } else if (control.kind == ControlKind::ListView) {
      tracked.lists[control.id].columns =
          std::max<int>(1, static_cast<int>(control.columns.size()));
    }
  }
  return tracked;
}

std::string TerminalProgressLine(std::string_view label, long long done, long long total,
                                 const std::string& count, int fd) {
  long long filled = 0;
  if (total > 0) filled = std::clamp<long long>(done * kBarWidth / total, 0, kBarWidth);
  const std::string tail = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                           count;
  // One column is kept free so the terminal never wraps the line it redraws.
  const int columns = TerminalColumns(fd) - 1;
  const long long room = static_cast<long long>(columns) - static_cast<long long>(tail.size()) - 1;
  const std::string fitted =
      room > 0 ? Fit(Clean(label, false), static_cast<std::size_t>(room)) : std::string();
  const std::string line = fitted.empty() ? tail : fitted + " " + tail;
  // A terminal too narrow for the bar shows the count alone.
  if (columns > 0 && Width(line) > static_cast<std::size_t>(columns))
    return Fit(count, static_cast<std::size_t>(columns));
  return line;
}

void TerminalBackend::AnnounceLocked(Tracked& tracked) {
  if (tracked.announced) return;
  tracked.announced = true;
  const std::string caption = Clean(tracked.caption, false);
  if (!caption.empty()) WriteLocked(caption + "\n");
}

void TerminalBackend::DrawLocked(Tracked& tracked, bool force) {
  const bool complete = tracked.upper > tracked.lower && tracked.position >= tracked.upper;
  const auto now = std::chrono::steady_clock::now();
  if (!interactive_) {
    // Without a terminal only finished (or, at the end, interrupted) progress is printed.
    if (!complete && !force) return;
    const std::string label = Clean(tracked.label, false);
    const std::string count =
        std::to_string(tracked.position) + "/" + std::to_string(tracked.upper);
    const std::string line = label.empty() ? count : label + " " + count;
    if (line == tracked.lastLine) return;
    tracked.lastLine = line;
    AnnounceLocked(tracked);
    WriteLocked(line + "\n");
    return;
  }
  // A prompt on the screen is never drawn over; the line comes back once it is answered.
  if (!force &&
      ((!complete && now - tracked.lastDraw < kRedrawInterval) || prompting_.load() > 0)) {
    tracked.dirty = true;
    drawPending_.store(true);
    return;
  }
  const std::string line = TerminalProgressLine(
      tracked.label, static_cast<long long>(tracked.position) - tracked.lower,
      static_cast<long long>(tracked.upper) - tracked.lower,
      std::to_string(tracked.position) + "/" + std::to_string(tracked.upper), out_);
  tracked.dirty = false;
  if (liveLine_ && line == tracked.lastLine) return;
  AnnounceLocked(tracked);
  tracked.lastDraw = now;
  tracked.lastLine = line;
  const std::string text = "\r" + line + "\x1b[K";
  (void)qv::detail::WriteAll(out_, text.data(), text.size());
  liveLine_ = true;
}

void TerminalBackend::RowChangedLocked(Tracked& tracked, const ControlChange& change) {
  ListTrack& list = tracked.lists[change.controlId];
  std::vector<int>& pending = list.pending;
  std::vector<std::string> cells;
  std::size_t columns = 1;
  const auto printIf = [&](int row) {
    if (!ReadRow(change.dialog, change.controlId, row, &cells, &columns)) return true;
    if (!RowHasStatus(cells)) return false;
    AnnounceLocked(tracked);
    WriteLocked(RowLine(cells));
    return true;
  };
  // A row's texts may still change after it is filled (a status that says "Encrypting" until
  // the result is known), so a row is printed only once a later row is added (it is finished
  // as it stands then) or when the dialog's rows are flushed at its end.
  switch (change.kind) {
    case ChangeKind::ListItemAdded: {
      for (int& row : pending) row += row >= change.row ? 1 : 0;
      std::erase_if(pending, [&](int row) { return row < change.row && printIf(row); });
      pending.insert(std::lower_bound(pending.begin(), pending.end(), change.row), change.row);
      break;
    }
    case ChangeKind::ListItemText:
      break;
    case ChangeKind::ListItemRemoved:
      if (change.row < 0) {
        pending.clear();
        break;
      }
      std::erase(pending, change.row);
      for (int& row : pending) row -= row > change.row ? 1 : 0;
      break;
    default:
      break;
  }
}

void TerminalBackend::FlushLocked(HWND dialog, Tracked& tracked) {
  if (!tracked.progress) return;
  if (interactive_) {
    if (tracked.dirty) DrawLocked(tracked, true);
    WriteLocked("");
    return;
  }
  PrintPendingRowsLocked(dialog, tracked);
  if (tracked.started) DrawLocked(tracked, true);
}

void TerminalBackend::PrintPendingRowsLocked(HWND dialog, Tracked& tracked) {
  std::vector<std::string> cells;
  std::size_t columns = 1;
  for (auto& [listId, list] : tracked.lists) {
    for (const int row : list.pending) {
      if (!ReadRow(dialog, listId, row, &cells, &columns) || !RowHasStatus(cells)) continue;
      AnnounceLocked(tracked);
      WriteLocked(RowLine(cells));
    }
    list.pending.clear();
  }
}

void TerminalBackend::DialogShown(const DialogState& dialog) {
  std::lock_guard<std::mutex> guard(lock_);
  TrackLocked(dialog.hwnd, &dialog);
}

void TerminalBackend::ControlChanged(const ControlChange& change) {
  switch (change.kind) {
    case ChangeKind::Text:
    case ChangeKind::Shown:
    case ChangeKind::ProgressRange:
    case ChangeKind::ProgressStep:
    case ChangeKind::ProgressPos:
    case ChangeKind::ListColumns:
    case ChangeKind::ListItemAdded:
    case ChangeKind::ListItemText:
    case ChangeKind::ListItemRemoved:
      break;
    default:
      return;
  }
  std::lock_guard<std::mutex> guard(lock_);
  auto it = tracked_.find(change.dialog);
  Tracked* tracked = it != tracked_.end() ? &it->second : nullptr;
  if (tracked == nullptr) {
    tracked = &TrackLocked(change.dialog, nullptr);
  } else if (tracked->progress &&
             (change.kind == ChangeKind::Shown ||
              (change.kind == ChangeKind::Text && change.controlId == IDC_STATIC) ||
              change.kind == ChangeKind::ProgressRange || change.kind == ChangeKind::ListColumns)) {
    // Which text labels the bar, the range and the columns are read back from the dialog.
    tracked = &TrackLocked(change.dialog, nullptr);
  }
  if (!tracked->progress) return;
  switch (change.kind) {
    case ChangeKind::ProgressStep:
    case ChangeKind::ProgressPos:
      if (change.controlId != tracked->barId) return;
      tracked->position = change.value;
      tracked->started = true;
      // Without a terminal the count that completes a run comes after the rows it counts:
      // every row is finished once the last step is taken.
      if (!interactive_ && tracked->upper > tracked->lower && tracked->position >= tracked->upper)
        PrintPendingRowsLocked(change.dialog, *tracked);
      DrawLocked(*tracked, false);
      break;
    case ChangeKind::ProgressRange:
    case ChangeKind::Shown:
      if (tracked->started) DrawLocked(*tracked, false);
      break;
    case ChangeKind::Text:
      if (change.controlId != IDC_STATIC && change.controlId == tracked->labelId)
        tracked->label = change.text;
      if (tracked->started) DrawLocked(*tracked, false);
      break;
    case ChangeKind::ListItemAdded:
    case ChangeKind::ListItemText:
    case ChangeKind::ListItemRemoved:
      if (!interactive_) RowChangedLocked(*tracked, change);
      break;
    default:
      break;
  }
}

void TerminalBackend::DialogClosed(const DialogState& dialog, INT_PTR) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = tracked_.find(dialog.hwnd);
  if (it != tracked_.end()) {
    FlushLocked(dialog.hwnd, it->second);
    tracked_.erase(it);
  }
  waits_.erase(dialog.hwnd);
}

void TerminalBackend::Poll() {
  if (ownsInterrupt_ && prompting_.load() == 0 &&
      (g_interruptPending.load() || g_stopSignal.load() != 0))
    HandleInterrupt();
  if (!drawPending_.load()) return;
  std::lock_guard<std::mutex> guard(lock_);
  bool left = false;
  for (auto& [dialog, tracked] : tracked_) {
    if (!tracked.dirty) continue;
    DrawLocked(tracked, false);
    left = left || tracked.dirty;
  }
  drawPending_.store(left);
}

int TerminalBackend::WakeFd() const { return ownsInterrupt_ ? wake_.Get() : -1; }

// ---- Ctrl+C ----

bool TerminalBackend::TakeInterrupt() {
  if (!ownsInterrupt_ || !g_interruptPending.exchange(false)) return false;
  std::uint64_t count = 0;
  (void)!read(wake_.Get(), &count, sizeof count);
  return true;
}

bool TerminalBackend::HandleInterrupt() {
  const bool interrupted = TakeInterrupt();
  const int stop = g_stopSignal.load();
  if (!interrupted && stop == 0) return false;
  const std::vector<HWND> dialogs = OpenDialogs();
  for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
    DialogState state;
    if (!SnapshotDialog(*it, &state) || !state.modal) continue;
    // Only the topmost modal dialog is cancelled; its Cancel is pressed as a click, so a
    // Cancel disabled by the time the click is handled ignores it.
    const ControlState* cancel = state.Control(IDCANCEL);
    bool pressed = false;
    if (cancel != nullptr) {
      pressed = cancel->enabled && cancel->visible && PressDialogButton(*it, IDCANCEL);
    } else if (state.closeEnabled) {
      pressed = CloseDialogBySystemMenu(*it);
    }
    if (pressed) {
      g_uncancelledAt.store(0);
      Print(std::string(stop == SIGTERM  ? "Terminated"
                        : stop == SIGHUP ? "Hangup"
                                         : "Ctrl+C") +
            ": " + CaptionOf(state) + ": Cancel\n");
      return true;
    }
    break;
  }
  // An end requested stays pending: the next dialog that can be cancelled is.
  if (stop != 0) return false;
  g_uncancelledAt.store(MonotonicNs());
  Print("Nothing can be cancelled now; press Ctrl+C again within 2 seconds to quit.\n");
  return false;
}

// ---- Answers ----

bool TerminalBackend::WaitForUser(HWND dialog) {
  DialogState state;
  if (!SnapshotDialog(dialog, &state)) return false;
  Waits waits;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A dialog the program declared to run by itself (on a timer or messages from a worker)
    // is left to wait for those, with or without a terminal.
    const auto answer = answers_.find(state.templateId);
    if (answer != answers_.end() && !answer->second.empty() &&
        answer->second.front().kind == Step::Kind::Wait)
      return false;
    Waits& record = waits_[dialog];
    ++record.count;
    waits = record;
    const auto it = tracked_.find(dialog);
    if (it != tracked_.end()) FlushLocked(dialog, it->second);
    WriteLocked("");
  }
  if (!interactive_) return AnswerByPolicy(dialog, state, waits);
  if (ElementPage* page = ElementPageOf(dialog); page != nullptr)
    return AskPage(dialog, state, *page);
  return AskUser(dialog, state);
}

void TerminalBackend::MarkCloseTried(HWND dialog) {
  std::lock_guard<std::mutex> guard(lock_);
  waits_[dialog].closeTried = true;
}

bool TerminalBackend::AnswerByPolicy(HWND dialog, const DialogState& state, const Waits& waits) {
  const std::string name = CaptionOf(state);
  if (waits.count > 1) {
    // The answer did not end the dialog (a disabled button, a check the dialog refused):
    // close it, and if even that is ignored, end it.
    if (!waits.closeTried && CloseDialogBySystemMenu(dialog)) {
      MarkCloseTried(dialog);
      Print(name + ": still open after the answer; closed\n");
      return true;
    }
    Print(name + ": still open; ended with Cancel\n");
    return EndModalDialog(dialog, IDCANCEL);
  }
  ElementPage* page = ElementPageOf(dialog);
  if (page != nullptr)
    Print(RenderPage(name, page->Snapshot(), TextColumns(out_)));
  else
    Print(RenderBlock(state, ChoicesOf(state), TextColumns(out_)));
  std::vector<Step> steps;
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = answers_.find(state.templateId);
    if (it != answers_.end()) {
      steps = it->second;
      found = true;
    }
  }
  if (!found) {
    Print(name + ": no answer given; closed (Cancel)\n");
    MarkCloseTried(dialog);
    return CloseDialogBySystemMenu(dialog) || EndModalDialog(dialog, IDCANCEL);
  }
  for (const Step& step : steps) {
    const ControlState* control = state.Control(step.control);
    if (IsPageStep(step)) {
      if (!ActOnPage(page, step, name)) {
        MarkCloseTried(dialog);
        return CloseDialogBySystemMenu(dialog) || EndModalDialog(dialog, IDCANCEL);
      }
      continue;
    }
    if (step.kind == Step::Kind::Close) {
      Print(name + ": closed\n");
      MarkCloseTried(dialog);
      CloseDialogBySystemMenu(dialog);
      continue;
    }
    if (control == nullptr || !control->visible || !control->enabled) {
      Print(name + ": control " + std::to_string(step.control) +
            (control == nullptr ? " does not exist" : " is unavailable") + "; closed\n");
      MarkCloseTried(dialog);
      return CloseDialogBySystemMenu(dialog) || EndModalDialog(dialog, IDCANCEL);
    }
    switch (step.kind) {
      case Step::Kind::Press:
        Print(name + ": " + ButtonLabel(*control) + "\n");
        PressDialogButton(dialog, step.control);
        break;
      case Step::Kind::Check:
      case Step::Kind::Uncheck: {
        ControlState shown = *control;
        shown.checked = step.kind == Step::Kind::Check;
        CheckDlgButton(dialog, step.control, shown.checked ? BST_CHECKED : BST_UNCHECKED);
        Print(name + ": " + CheckLine(shown, -1).substr(6));
        break;
      }
      case Step::Kind::Type:
        SetDlgItemTextA(dialog, step.control, step.text.c_str());
        Print(name + ": " + FieldName(state, *control) +
              (IsPassword(*control) ? " entered" : " = " + Clean(step.text, false)) + "\n");
        break;
      case Step::Kind::Close:
      case Step::Kind::Wait:
      case Step::Kind::ClickElement:
      case Step::Kind::TypeElement:
      case Step::Kind::SelectElement:
        break;
    }
  }
  return true;
}

bool TerminalBackend::EndAfterInputEnded(HWND dialog, const DialogState& state) {
  bool closeTried = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    closeTried = waits_[dialog].closeTried;
    waits_[dialog].closeTried = true;
  }
  if (!closeTried && CloseDialogBySystemMenu(dialog)) {
    Print(CaptionOf(state) + ": end of input; closed\n");
    return true;
  }
  Print(CaptionOf(state) + ": end of input; ended with Cancel\n");
  return EndModalDialog(dialog, IDCANCEL);
}

namespace {

class PromptScope {
 public:
  explicit PromptScope(std::atomic<int>& count) : count_(count) { ++count_; }
  ~PromptScope() { --count_; }
  PromptScope(const PromptScope&) = delete;
  PromptScope& operator=(const PromptScope&) = delete;

 private:
  std::atomic<int>& count_;
};

}  // namespace

bool TerminalBackend::AskUser(HWND dialog, const DialogState& state) {
  std::lock_guard<std::mutex> input(inputLock_);
  PromptScope scope(prompting_);
  if (inputEnded_ && inputBuffer_.empty()) return EndAfterInputEnded(dialog, state);
  Choices choices = ChoicesOf(state);
  Print(RenderBlock(state, choices, TextColumns(out_)));
  std::string line;
  for (const ControlState* edit : choices.edits) {
    const std::string name = FieldName(state, *edit);
    const bool secret = IsPassword(*edit);
    const bool keep = !secret && !edit->text.empty();
    const std::string prompt =
        name + (keep ? " [" + Fit(Clean(edit->text, false), 40) + "]" : std::string()) + ": ";
    for (;;) {
      const ReadResult result = ReadLine(prompt, secret, &line);
      if (result == ReadResult::End) return EndAfterInputEnded(dialog, state);
      if (result == ReadResult::Line) break;
      if (HandleInterrupt()) return true;
    }
    if (!(keep && line.empty())) SetDlgItemTextA(dialog, edit->id, line.c_str());
    std::fill(line.begin(), line.end(), '\0');
  }
  if (choices.buttons.empty() && choices.checks.empty()) {
    for (;;) {
      const ReadResult result = ReadLine("Press Enter to close: ", false, &line);
      if (result == ReadResult::Interrupted && !HandleInterrupt()) continue;
      if (result == ReadResult::End) return EndAfterInputEnded(dialog, state);
      if (result == ReadResult::Line) CloseDialogBySystemMenu(dialog);
      return true;
    }
  }
  std::vector<bool> checked;
  for (const ControlState* box : choices.checks) checked.push_back(box->checked);
  const std::string prompt = AnswerPrompt(choices);
  for (;;) {
    const ReadResult result = ReadLine(prompt, false, &line);
    if (result == ReadResult::End) return EndAfterInputEnded(dialog, state);
    if (result == ReadResult::Interrupted) {
      if (HandleInterrupt()) return true;
      continue;
    }
    const std::string answer = TrimSpaces(line);
    int press = 0;
    if (answer.empty()) {
      press = choices.defaultButton;
      if (press == 0) {
        Print("There is no default answer.\n");
        continue;
      }
    } else if (const int number = ParseNumber(answer); number > 0) {
      if (static_cast<std::size_t>(number) <= choices.buttons.size())
        press = choices.buttons[static_cast<std::size_t>(number) - 1]->id;
    } else if (answer.size() == 1 && answer[0] >= 'a' &&
               static_cast<std::size_t>(answer[0] - 'a') < choices.checks.size()) {
      const auto index = static_cast<std::size_t>(answer[0] - 'a');
      checked[index] = !checked[index];
      CheckDlgButton(dialog, choices.checks[index]->id,
                     checked[index] ? BST_CHECKED : BST_UNCHECKED);
      ControlState shown = *choices.checks[index];
      shown.checked = checked[index];
      Print(CheckLine(shown, static_cast<int>(index)));
      continue;
    } else {
      for (const ControlState* button : choices.buttons) {
        if (EqualsIgnoringAsciiCase(answer, ButtonLabel(*button))) press = button->id;
      }
    }
    if (press != 0) {
      PressDialogButton(dialog, press);
      return true;
    }
    Print("Please answer with one of the choices shown.\n");
  }
}

int TerminalBackend::ShowMessageBox(HWND, const char* text, const char* caption, UINT type) {
  const std::string body = text != nullptr ? text : "";
  const std::string title = caption != nullptr ? caption : "";
  const std::vector<int> buttons = MessageBoxButtons(type);
  const int defaultButton =
      (type & MB_DEFBUTTON2) != 0 && buttons.size() > 1 ? buttons[1] : buttons.front();
  const int cancel = MessageBoxCancelResult(type);
  std::string name = Clean(title, false);
  if (name.empty()) name = "Message";
  std::string block = "\n" + name + "\n" + Underline(name) + "\n" +
                      Wrap(Clean(body, true), TextColumns(out_)) + "\n";
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    block += (i > 0 ? "  " : "") + std::to_string(i + 1) + ") " + MessageBoxButtonText(buttons[i]);
    if (buttons[i] == defaultButton) block += " (default)";
  }
  block += "\n";
  {
    std::lock_guard<std::mutex> guard(lock_);
    WriteLocked("");
  }
  if (interactive_) {
    std::lock_guard<std::mutex> input(inputLock_);
    PromptScope scope(prompting_);
    Print(block);
    const std::string prompt =
        "Answer [" +
        (buttons.size() == 1 ? std::string("1") : "1-" + std::to_string(buttons.size())) +
        ", Enter: " + MessageBoxButtonText(defaultButton) + "]: ";
    std::string line;
    for (;;) {
      const ReadResult result = ReadLine(prompt, false, &line);
      if (result == ReadResult::End) {
        Print(name + ": end of input; " + MessageBoxButtonText(cancel) + "\n");
        return cancel;
      }
      if (result == ReadResult::Interrupted) {
        // Ctrl+C closes the box, which counts as having cancelled something.
        TakeInterrupt();
        g_uncancelledAt.store(0);
        Print("Ctrl+C: " + name + ": " + MessageBoxButtonText(cancel) + "\n");
        return cancel;
      }
      const std::string answer = TrimSpaces(line);
      if (answer.empty()) return defaultButton;
      const int number = ParseNumber(answer);
      if (number > 0 && static_cast<std::size_t>(number) <= buttons.size())
        return buttons[static_cast<std::size_t>(number) - 1];
      for (const int button : buttons) {
        if (EqualsIgnoringAsciiCase(answer, MessageBoxButtonText(button))) return button;
      }
      Print("Please answer with one of the choices shown.\n");
    }
  }
  int answer = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const MessageBoxPolicy& policy : boxAnswers_) {
      const bool matches = policy.match.empty() || body.find(policy.match) != std::string::npos ||
                           title.find(policy.match) != std::string::npos;
      if (matches && std::find(buttons.begin(), buttons.end(), policy.answer) != buttons.end()) {
        answer = policy.answer;
        break;
      }
    }
    WriteLocked(block);
    WriteLocked(answer != 0 ? name + ": " + MessageBoxButtonText(answer) + "\n"
                            : name + ": no answer given; " + MessageBoxButtonText(cancel) + "\n");
  }
  return answer != 0 ? answer : cancel;
}

// ---- Reading answers ----

TerminalBackend::ReadResult TerminalBackend::ReadLine(const std::string& prompt, bool secret,
                                                      std::string* line) {
  // Echo goes off before the prompt appears, so nothing typed after it is shown.
  EchoOff echo(secret && inputIsTty_ ? in_ : -1);
  Print(Wrap(prompt, TextColumns(out_)));
  const ReadResult result = ReadRaw(line);
  if (result != ReadResult::Line) {
    Print("\n");
  } else if (!inputIsTty_) {
    // Answers from a pipe are not echoed by a terminal: show them, so the record reads as a
    // conversation. Passwords are never shown.
    Print((secret ? std::string() : Clean(*line, false)) + "\n");
  }
  return result;
}

TerminalBackend::ReadResult TerminalBackend::ReadRaw(std::string* line) {
  for (;;) {
    const std::size_t end = inputBuffer_.find('\n');
    if (end != std::string::npos || (inputEnded_ && !inputBuffer_.empty())) {
      const std::size_t length = end != std::string::npos ? end : inputBuffer_.size();
      line->assign(inputBuffer_, 0, length);
      std::fill(inputBuffer_.begin(), inputBuffer_.begin() + static_cast<std::ptrdiff_t>(length),
                '\0');
      inputBuffer_.erase(0, end != std::string::npos ? end + 1 : length);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      line->resize(Utf8PrefixLength(*line, kMaxLine));
      return ReadResult::Line;
    }
    if (inputEnded_ || in_ < 0) {
      inputEnded_ = true;
      return ReadResult::End;
    }
    pollfd fds[2] = {{in_, POLLIN, 0}, {ownsInterrupt_ ? wake_.Get() : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno != EINTR) inputEnded_ = true;
      continue;
    }
    // (A wake-up without a pending interrupt is one a pump is draining right now.)
    if ((fds[1].revents & POLLIN) != 0 && g_interruptPending.load()) return ReadResult::Interrupted;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
    char chunk[1024];
    const ssize_t got = read(in_, chunk, sizeof chunk);
    if (got < 0) {
      if (errno != EINTR && errno != EAGAIN) inputEnded_ = true;
      continue;
    }
    if (got == 0) {
      inputEnded_ = true;
      continue;
    }
    std::string_view data(chunk, static_cast<std::size_t>(got));
    if (discarding_) {
      const std::size_t newline = data.find('\n');
      if (newline == std::string_view::npos) continue;
      data.remove_prefix(newline);
      discarding_ = false;
    }
    inputBuffer_.append(data);
    if (inputBuffer_.size() > kMaxLine && inputBuffer_.find('\n') == std::string::npos) {
      // An over-long line keeps its first kMaxLine bytes; the rest up to the newline is dropped.
      inputBuffer_.resize(Utf8PrefixLength(inputBuffer_, kMaxLine));
      discarding_ = true;
    }
  }
}

bool TerminalBackend::ActOnPage(ElementPage* page, const Step& step, const std::string& name) {
  if (page == nullptr) {
    Print(name + ": the dialog shows no page; closed\n");
    return false;
  }
  const PageSnapshot shown = page->Snapshot();
  const PageElementState* element = shown.Element(step.element);
  bool done = false;
  // Whether a button is enabled is decided when the dialog takes the click, after the actions
  // queued before it: a click on a disabled button is then ignored, as on a screen.
  if (element != nullptr) {
    const std::string label = PageLabel(shown, *element);
    if (step.kind == Step::Kind::ClickElement) {
      done = page->UserClick(step.element);
      if (done) Print(name + ": " + label + "\n");
    } else if (step.kind == Step::Kind::TypeElement) {
      done = page->UserType(step.element, step.text);
      if (done) Print(name + ": " + label + " = " + Clean(step.text, false) + "\n");
    } else {
      done = page->UserSelect(step.element, step.text);
      if (done) Print(name + ": " + label + " <- " + Clean(step.text, false) + "\n");
    }
  }
  if (!done)
    Print(name + ": " + Clean(step.element, false) +
          (element == nullptr ? " does not exist" : " cannot take that") + "; closed\n");
  return done;
}

bool TerminalBackend::AskPage(HWND dialog, const DialogState& state, ElementPage& page) {
  std::lock_guard<std::mutex> input(inputLock_);
  PromptScope scope(prompting_);
  if (inputEnded_ && inputBuffer_.empty()) return EndAfterInputEnded(dialog, state);
  const PageSnapshot shown = page.Snapshot();
  const PageChoices choices = PageChoicesOf(shown);
  Print(RenderPage(CaptionOf(state), shown, TextColumns(out_)));
  std::string line;
  const auto read = [&](const std::string& prompt) {
    for (;;) {
      const ReadResult result = ReadLine(prompt, false, &line);
      if (result != ReadResult::Interrupted) return result;
      if (HandleInterrupt()) return ReadResult::Interrupted;
    }
  };
  for (;;) {
    ReadResult result = read("Choose a number (button) or a letter (field): ");
    if (result == ReadResult::End) return EndAfterInputEnded(dialog, state);
    if (result == ReadResult::Interrupted) return true;
    const std::string answer = TrimSpaces(line);
    if (const int number = ParseNumber(answer);
        number > 0 && static_cast<std::size_t>(number) <= choices.buttons.size())
      return page.UserClick(choices.buttons[static_cast<std::size_t>(number) - 1]->id);
    if (answer.size() == 1 && answer[0] >= 'a' &&
        static_cast<std::size_t>(answer[0] - 'a') < choices.fields.size()) {
      const PageElementState& field = *choices.fields[static_cast<std::size_t>(answer[0] - 'a')];
      if (field.kind == PageElementKind::Edit) {
        result = read(PageLabel(shown, field) + ": ");
        if (result == ReadResult::End) return EndAfterInputEnded(dialog, state);
        if (result == ReadResult::Interrupted) return true;
        return page.UserType(field.id, line);
      }
      if (field.options.empty()) {
        Print("That list is empty.\n");
        continue;
      }
      result = read("Number (1-" + std::to_string(field.options.size()) + "): ");
      if (result == ReadResult::End) return EndAfterInputEnded(dialog, state);
      if (result == ReadResult::Interrupted) return true;
      const int index = ParseNumber(TrimSpaces(line));
      if (index > 0 && static_cast<std::size_t>(index) <= field.options.size())
        return page.UserSelectIndex(field.id, index - 1);
    }
    Print("Please answer with one of the choices shown.\n");
  }
}
