// The sharing dialog: the owner of an encrypted file (.qvf) or container (.qvef) edits who
// may open it. The dialog's surface is the page "SelectUsers.htm"; it shows where a new user
// comes from ("Look in": this computer, or a suite account), the item's current recipients as
// the file-encryption library lists them, and Add User, Remove User, OK and Cancel.
//
// Nothing reaches the item before OK. Additions and removals wait in this dialog's own lists
// (never shared with another dialog), and OK applies the additions, then the removals,
// through the library as the verified user who opened the dialog; each change the library or
// the container refuses is reported with the add/remove error notice, and the others still
// go ahead. Result: 1 once a change was applied, 5 when cancelled before any, else 4.
//
// When the current list cannot be read, the dialog says so and offers no Add, Remove or OK:
// an empty list would read as "nobody else has access" and invite changes made blind.
//
// Runs modally on the caller's thread; the library calls run on it too (a sharing change
// rewrites one header, or re-encrypts one file after a removal).
#pragma once

#include <string>
#include <vector>

#include "platform/ui/DHtmlDialog.h"
#include "sharing/CQVHTMLButton.h"
#include "sharing/CQVHTMLComboBox.h"
#include "sharing/CQVHTMLEdit.h"

class CUserData;

// Element ids of the sharing page.
inline constexpr const char* kPageSelectUsers = "SelectUsers.htm";
inline constexpr const char* kElementLookIn = "Quorvin_CmbLookIn";
inline constexpr const char* kElementUserName = "Quorvin_EditUserName";
inline constexpr const char* kElementUsers = "Quorvin_CmbUsers";
inline constexpr const char* kElementAddUser = "Quorvin_BtnAddUser";
inline constexpr const char* kElementRemoveUser = "Quorvin_BtnRemoveUser";
inline constexpr const char* kElementOK = "Quorvin_BtnOK";
inline constexpr const char* kElementCancel = "Quorvin_BtnCancel";
inline constexpr const char* kElementUsersLabel = "lblTxt3";

class CSelectUsers : public CDHtmlDialog {
 public:
  static constexpr DWORD kResultChanged = 1;
  static constexpr DWORD kResultUnchanged = 4;
  static constexpr DWORD kResultCancelled = 5;

  // Edits the first item of `selection` as `userId` (the verified user; `userName` is that
  // user's name).
  CSelectUsers(const std::vector<std::string>& selection, std::string userId, std::string userName,
               HWND parent = nullptr);

  DWORD Result() const { return result_; }

 protected:
  void OnDocumentComplete() override;
  void OnPageEvent(const PageEvent& event) override;
  // Enter and Escape of the framework: OK commits like the page's OK, Cancel cancels.
  void OnOK() override;
  void OnCancel() override;

 private:
  // One row of the users list: what it shows and the user id behind it.
  struct Listed {
    std::string display;
    std::string userId;
  };

  void FillLookIn();
  void LoadUsers();
  void AddUser();
  void RemoveUser();
  void UpdateRemoveButton();
  void Commit();
  // One change through the library; true when it was applied (or nothing needed applying).
  bool ApplyAddition(CUserData& userData, const std::string& userId);
  bool ApplyRemoval(CUserData& userData, const std::string& userId);
  bool WriteBackContainer(const std::vector<BYTE>& header, DWORD length);
  // The name a user of the store is shown with: "<computer>\<name>" for this computer's
  // accounts (stored as ".\<name>").
  std::string DisplayNameOf(const std::string& userName) const;
  void ShowError(UINT textId);

  std::string path_;
  bool isFolder_ = false;
  std::string userId_;
  std::string userName_;
  std::string computerName_;
  int lookInLocal_ = -1;
  int lookInSuite_ = -1;
  bool listReadable_ = false;
  std::vector<Listed> listed_;
  std::vector<std::string> added_;    // user ids, in the order they were added
  std::vector<std::string> removed_;  // user ids
  bool committing_ = false;
  DWORD result_ = kResultUnchanged;

  CQVHTMLComboBox lookIn_;
  CQVHTMLEdit userNameBox_;
  CQVHTMLComboBox users_;
  CQVHTMLButton addButton_;
  CQVHTMLButton removeButton_;
  CQVHTMLButton okButton_;
  CQVHTMLEdit usersLabel_;
};
