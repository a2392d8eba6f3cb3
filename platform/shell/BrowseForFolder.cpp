// The folder chooser as a framework dialog.
#include "platform/shell/BrowseForFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "platform/ui/Dialog.h"

namespace {

DialogTemplate ChooserTemplate(const char* title) {
  DialogTemplate chooser;
  chooser.id = kBrowseForFolderDialogId;
  chooser.width = 240;
  chooser.height = 70;
  chooser.caption = "Browse For Folder";
  chooser.controls = {
      {kBrowseForFolderTitleId, ControlKind::Static, title != nullptr ? title : "", WS_VISIBLE, 0},
      {kBrowseForFolderPathId, ControlKind::Edit, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER, 0},
      {IDOK, ControlKind::Button, "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
      {IDCANCEL, ControlKind::Button, "Cancel", WS_VISIBLE | WS_TABSTOP, 0},
  };
  return chooser;
}

class FolderChooser final : public CDialog {
 public:
  FolderChooser(const char* title, HWND owner) : CDialog(ChooserTemplate(title), owner) {}
  const std::string& Answer() const { return answer_; }

 protected:
  void OnOK() override {
    answer_ = GetDlgItemText(kBrowseForFolderPathId);
    EndDialog(IDOK);
  }

 private:
  std::string answer_;
};

// The typed path made absolute ("~/" is the home folder); empty when it cannot be.
std::string AbsoluteFolder(std::string typed) {
  while (typed.size() > 1 && typed.back() == '/') typed.pop_back();
  if (typed.empty()) return {};
  if (typed == "~" || typed.rfind("~/", 0) == 0) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home != '/') return {};
    typed = std::string(home) + typed.substr(1);
  }
  if (typed.front() != '/') {
    char current[4096];
    if (getcwd(current, sizeof current) == nullptr) return {};
    typed = std::string(current) + "/" + typed;
  }
  return typed;
}

}  // namespace

LPITEMIDLIST SHBrowseForFolderA(LPBROWSEINFOA info) noexcept {
  try {
    if (info == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    info->iImage = -1;
    if (info->lpfn != nullptr) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
    FolderChooser chooser(info->lpszTitle, info->hwndOwner);
    if (chooser.DoModal() != IDOK) return nullptr;
    const std::string folder = AbsoluteFolder(chooser.Answer());
    struct stat st {};
    if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    LPITEMIDLIST list = ILCreateFromPathA(folder.c_str());
    if (list == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    if (info->pszDisplayName != nullptr) {
      const size_t slash = folder.find_last_of('/');
      std::string last = folder.size() == 1 ? folder : folder.substr(slash + 1);
      if (last.size() >= MAX_PATH) last.resize(MAX_PATH - 1);
      std::memcpy(info->pszDisplayName, last.c_str(), last.size() + 1);
    }
    return list;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}
