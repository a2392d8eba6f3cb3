// The sharing dialog: the page filled from the settings, the user store and the item's own
// list; additions and removals kept per dialog and applied on OK.
#include "sharing/CSelectUsers.h"

#include <algorithm>

#include "base/DialogResources.h"
#include "base/ItemNames.h"
#include "base/PageResources.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "dialogs/CAddError.h"
#include "platform/AsciiCase.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "sharing/SharingRecords.h"
#include "sharing/UserList.h"
#include "suite/QvFsApi.h"
#include "util/CPath.h"

namespace {

enum : UINT {
  IDS_SHARING_ERROR = 171,
  IDS_ALREADY_LISTED = 172,
  IDS_USER_NOT_FOUND = 173,
  IDS_LOCAL_MACHINE = 177,
  IDS_SUITE_ACCOUNT = 178,
  IDS_LIST_UNREADABLE = 194,
};

// A user of the store as a look-up finds it.
struct StoreUser {
  std::string userName;
  std::string userId;
};

// The identity a look-up fills, released with the object.
class LookedUpIdentity {
 public:
  explicit LookedUpIdentity(CUserData& userData) : userData_(userData) {}
  ~LookedUpIdentity() { userData_.ReleaseUserIdentity(&identity_); }
  LookedUpIdentity(const LookedUpIdentity&) = delete;
  LookedUpIdentity& operator=(const LookedUpIdentity&) = delete;

  bool ById(const std::string& userId, StoreUser* user) {
    std::string id = userId;
    identity_.userId = id.data();
    const bool found = userData_.LookUpUserById(&identity_, 0, 1) != FALSE;
    // The library replaces the text it was given only when it fills the identity.
    if (identity_.userId == id.data()) identity_.userId = nullptr;
    return found && Take(user);
  }
  bool ByName(const std::string& name, StoreUser* user) {
    return userData_.LookUpUserByName(name.c_str(), &identity_, 1, 1, 1) != FALSE && Take(user);
  }

 private:
  bool Take(StoreUser* user) {
    if (identity_.userId == nullptr || identity_.userId[0] == '\0') return false;
    user->userId = identity_.userId;
    user->userName = identity_.userName != nullptr ? identity_.userName : "";
    return true;
  }

  CUserData& userData_;
  UserIdentity identity_{};
};

std::string LongPathOf(const std::string& path) {
  std::string longPath;
  if (!CPath(path).GetLongPath(longPath) || longPath.empty()) return path;
  return longPath;
}

std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "localhost";
  return ToUpperAscii(std::string(name, size));
}

PageSource SharingPage() {
  PageSource page;
  page.name = kPageSelectUsers;
  if (const auto html = LoadPageResource(kPageSelectUsers)) page.html.assign(*html);
  page.texts = LoadPageTexts(kPageSelectUsers);
  // Every other page file, in the user's language where it has one of its own.
  for (const PageResource& resource : AllPageResources()) {
    const std::string name = resource.name;
    if (name == kPageSelectUsers ||
        std::any_of(page.files.begin(), page.files.end(),
                    [&](const auto& file) { return file.first == name; }))
      continue;
    if (const auto data = LoadPageResource(name)) page.files.emplace_back(name, std::string(*data));
  }
  return page;
}

bool Contains(const std::vector<std::string>& ids, const std::string& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

CSelectUsers::CSelectUsers(const std::vector<std::string>& selection, std::string userId,
                           std::string userName, HWND parent)
    : CDHtmlDialog(LoadDialogTemplate(IDD_SELECT_USERS), SharingPage(), parent),
      userId_(std::move(userId)),
      userName_(std::move(userName)),
      computerName_(ComputerName()),
      lookIn_(*this, kElementLookIn),
      userNameBox_(*this, kElementUserName),
      users_(*this, kElementUsers),
      addButton_(*this, kElementAddUser),
      removeButton_(*this, kElementRemoveUser),
      okButton_(*this, kElementOK),
      usersLabel_(*this, kElementUsersLabel) {
  // Only the first item is edited, whatever the selection holds.
  if (!selection.empty()) path_ = LongPathOf(selection.front());
  isFolder_ = HasSuffix(path_, kQvefSuffix);
}

void CSelectUsers::OnDocumentComplete() {
  FillLookIn();
  LoadUsers();
}

void CSelectUsers::FillLookIn() {
  (void)lookIn_.RemoveAll();
  lookInLocal_ = lookInSuite_ = -1;
  // There are no domains to look in on this system: this computer's accounts and, where the
  // settings allow, suite accounts.
  if (SupportQuorOnlyUser() == 0) {
    if (lookIn_.AddItem(computerName_ + " " + LoadStringText(IDS_LOCAL_MACHINE)))
      lookInLocal_ = lookIn_.ItemCount() - 1;
    if (DisableQuorOnlyUser() == 0 && lookIn_.AddItem(LoadStringText(IDS_SUITE_ACCOUNT)))
      lookInSuite_ = lookIn_.ItemCount() - 1;
    (void)lookIn_.Select(lookInLocal_);
  } else {
    if (lookIn_.AddItem(LoadStringText(IDS_SUITE_ACCOUNT))) lookInSuite_ = 0;
    (void)lookIn_.Select(lookInSuite_);
  }
}

std::string CSelectUsers::DisplayNameOf(const std::string& userName) const {
  if (userName.size() > 2 && userName[0] == '.' && userName[1] == '\\')
    return computerName_ + userName.substr(1);
  return userName;
}

void CSelectUsers::LoadUsers() {
  (void)users_.RemoveAll();
  listed_.clear();
  std::vector<std::string> ids;
  if (isFolder_) {
    FolderContainer container;
    ContainerRecord record;
    const bool opened = OpenContainerRecord(container, path_, &record);
    container.Close();
    listReadable_ = opened && ReadUserList(
                                  [&](BYTE* buffer, DWORD* size) {
                                    return QVFSFolderGetUserList(
                                        record.header.data(),
                                        static_cast<DWORD>(record.header.size()), buffer, size);
                                  },
                                  &ids);
  } else {
    listReadable_ = !path_.empty() && ReadUserList(
                                          [&](BYTE* buffer, DWORD* size) {
                                            return QVFSFileGetUserList(path_.c_str(), buffer, size);
                                          },
                                          &ids);
  }
  // Without a list nothing can be changed sensibly: say so, and offer no change.
  CUserData* userData = SharingUserData();
  if (!listReadable_ || ids.empty() || userData == nullptr) {
    listReadable_ = false;
    (void)usersLabel_.SetValue(LoadStringText(IDS_LIST_UNREADABLE));
    (void)addButton_.Enable(false);
    (void)removeButton_.Enable(false);
    (void)okButton_.Enable(false);
    ShowError(IDS_LIST_UNREADABLE);
    return;
  }
  for (const std::string& id : ids) {
    // A recipient the store does not know is still a recipient: listed by its id so that the
    // owner sees that access, and can remove it.
    StoreUser user;
    LookedUpIdentity identity(*userData);
    const std::string display = identity.ById(id, &user) ? DisplayNameOf(user.userName) : id;
    if (users_.AddItem(display)) listed_.push_back(Listed{display, id});
  }
  (void)addButton_.Enable(true);
  (void)removeButton_.Enable(false);
}

void CSelectUsers::ShowError(UINT textId) {
  (void)MessageBoxA(nullptr, LoadStringText(textId).c_str(),
                    LoadStringText(IDS_SHARING_ERROR).c_str(), MB_OK | MB_ICONERROR);
}

void CSelectUsers::OnPageEvent(const PageEvent& event) {
  // While a commit runs (it shows notices, whose loops deliver events) the dialog takes no
  // other action: a second OK would apply changes twice, a Cancel would misreport them.
  if (committing_) return;
  if (event.kind == PageEventKind::Change) {
    if (event.id == kElementUsers) UpdateRemoveButton();
    return;
  }
  if (event.id == kElementAddUser)
    AddUser();
  else if (event.id == kElementRemoveUser)
    RemoveUser();
  else if (event.id == kElementOK)
    Commit();
  else if (event.id == kElementCancel)
    OnCancel();
}

void CSelectUsers::OnOK() { Commit(); }

void CSelectUsers::OnCancel() {
  if (committing_) return;
  if (result_ == kResultUnchanged) result_ = kResultCancelled;
  EndDialog(IDCANCEL);
}

void CSelectUsers::UpdateRemoveButton() {
  // The last remaining user can never be removed.
  (void)removeButton_.Enable(listReadable_ && users_.ItemCount() >= 2 &&
                             users_.SelectedIndex() >= 0);
}

void CSelectUsers::AddUser() {
  if (!listReadable_) return;
  CUserData* userData = SharingUserData();
  std::string typed;
  if (userData == nullptr || !userNameBox_.GetValue(&typed)) return;
  const int source = lookIn_.SelectedIndex();
  std::string lookupName = typed;
  std::string display = typed;
  if (source != lookInSuite_ || lookInSuite_ < 0) {
    // This computer's accounts are stored as ".\<name>".
    lookupName = ".\\" + typed;
    display = computerName_ + "\\" + typed;
  }
  StoreUser user;
  LookedUpIdentity identity(*userData);
  // The whole typed text is looked up: a name longer than the store allows matches nobody.
  if (typed.empty() || !identity.ByName(lookupName, &user)) {
    ShowError(IDS_USER_NOT_FOUND);
    (void)userNameBox_.SetValue("");
    return;
  }
  const bool listed = std::any_of(listed_.begin(), listed_.end(), [&](const Listed& entry) {
    return entry.userId == user.userId || EqualsIgnoringAsciiCase(entry.display, display);
  });
  if (listed) {
    ShowError(IDS_ALREADY_LISTED);
    return;
  }
  if (!users_.AddItem(display)) return;
  listed_.push_back(Listed{display, user.userId});
  (void)userNameBox_.SetValue("");
  UpdateRemoveButton();
  // A user removed earlier in this dialog is still a recipient: taking the removal back is
  // all that is needed.
  if (Contains(removed_, user.userId))
    std::erase(removed_, user.userId);
  else if (!Contains(added_, user.userId))
    added_.push_back(user.userId);
}

void CSelectUsers::RemoveUser() {
  const int selected = users_.SelectedIndex();
  const int count = users_.ItemCount();
  if (!listReadable_ || selected < 0 || count < 2 || selected >= static_cast<int>(listed_.size()))
    return;
  if (!users_.DeleteAt(selected)) return;
  const Listed entry = listed_[static_cast<size_t>(selected)];
  listed_.erase(listed_.begin() + selected);
  // A user added in this dialog is no recipient yet: dropping the addition is all there is.
  if (Contains(added_, entry.userId))
    std::erase(added_, entry.userId);
  else if (!Contains(removed_, entry.userId))
    removed_.push_back(entry.userId);
  (void)users_.Select(std::min(selected, users_.ItemCount() - 1));
  UpdateRemoveButton();
}

bool CSelectUsers::WriteBackContainer(const std::vector<BYTE>& header, DWORD length) {
  FolderContainer container;
  ContainerRecord record;
  bool written = OpenContainerRecord(container, path_, &record);
  if (written) {
    std::vector<BYTE> changed(header.begin(), header.begin() + length);
    BYTE* data = changed.data();
    DWORD size = length;
    written = container.SetFolderOptions(record.cspName, &data, &size) == 1;
  }
  container.Close();
  return written;
}

bool CSelectUsers::ApplyAddition(CUserData& userData, const std::string& userId) {
  ShareKey actingKey(userData);
  ShareKey userKey(userData);
  if (!actingKey.Read(userId_.c_str()) || !userKey.Read(userId.c_str())) return false;
  const std::string algorithm = ReadUserSetting(userData, userId.c_str(), kSettingAlgorithmName);
  const auto* credentials = reinterpret_cast<const BYTE*>(userId.c_str());
  const auto credentialsLength = static_cast<DWORD>(userId.size() + 1);
  if (!isFolder_) {
    if (QVFSFileIsValidUser(path_.c_str(), userId.c_str(), userId.c_str(), userKey.Blob(),
                            userKey.Length()) == 0)
      return true;
    return QVFSFileAddUser(path_.c_str(), userId_.c_str(), userId_.c_str(), actingKey.Blob(),
                           actingKey.Length(), algorithm.c_str(), userId.c_str(), userKey.Blob(),
                           userKey.Length(), credentials, credentialsLength, 0) == 0;
  }
  FolderContainer container;
  ContainerRecord record;
  const bool opened = OpenContainerRecord(container, path_, &record);
  container.Close();
  if (!opened) return false;
  const auto used = static_cast<DWORD>(record.header.size());
  if (QVFSFolderIsValidUser(record.header.data(), used, userId.c_str(), userId.c_str(),
                            userKey.Blob(), userKey.Length()) == 0)
    return true;
  std::vector<BYTE> grown(record.header.size() + kFolderHeaderCapacity, 0);
  std::copy(record.header.begin(), record.header.end(), grown.begin());
  DWORD length = used;
  if (QVFSFolderAddUser(grown.data(), &length, static_cast<DWORD>(grown.size()), userId_.c_str(),
                        userId_.c_str(), actingKey.Blob(), actingKey.Length(), algorithm.c_str(),
                        userId.c_str(), userKey.Blob(), userKey.Length(), credentials,
                        credentialsLength, 0) != 0 ||
      length == 0 || length > grown.size())
    return false;
  // The user is added only once the container holds the changed record.
  return WriteBackContainer(grown, length);
}

bool CSelectUsers::ApplyRemoval(CUserData& userData, const std::string& userId) {
  ShareKey actingKey(userData);
  if (!actingKey.Read(userId_.c_str())) return false;
  // A recipient the store does not know (or who has no key here) is named by its id.
  ShareKey userKey(userData);
  const bool hasKey = userKey.Read(userId.c_str());
  const BYTE* blob = hasKey ? userKey.Blob() : nullptr;
  const DWORD blobLength = hasKey ? userKey.Length() : 0;
  // The removals that carry the owner's key: an item's list changes only under its owner's
  // signature. Every refusal (19 included) is a failure.
  if (!isFolder_)
    return QVFSFileRemoveUserAsOwner(path_.c_str(), userId_.c_str(), userId_.c_str(),
                                     actingKey.Blob(), actingKey.Length(), userId.c_str(),
                                     userId.c_str(), blob, blobLength) == 0;
  FolderContainer container;
  ContainerRecord record;
  const bool opened = OpenContainerRecord(container, path_, &record);
  container.Close();
  if (!opened) return false;
  DWORD length = static_cast<DWORD>(record.header.size());
  if (QVFSFolderRemoveUserAsOwner(record.header.data(), &length, userId_.c_str(), userId_.c_str(),
                                  actingKey.Blob(), actingKey.Length(), userId.c_str(),
                                  userId.c_str(), blob, blobLength) != 0 ||
      length == 0 || length > record.header.size())
    return false;
  return WriteBackContainer(record.header, length);
}

void CSelectUsers::Commit() {
  if (committing_ || !listReadable_) return;
  committing_ = true;
  CUserData* userData = SharingUserData();
  // Additions first, then removals; each one the item did not take is reported, and the
  // others still go ahead.
  const auto apply = [&](std::vector<std::string>& pending, bool add) {
    while (!pending.empty()) {
      const std::string userId = pending.front();
      pending.erase(pending.begin());
      const bool applied = userData != nullptr && (add ? ApplyAddition(*userData, userId)
                                                       : ApplyRemoval(*userData, userId));
      if (applied) {
        result_ = kResultChanged;
      } else {
        CAddError notice(m_hWnd);
        (void)notice.DoModal();
      }
    }
  };
  apply(added_, true);
  apply(removed_, false);
  committing_ = false;
  EndDialog(IDOK);
}
