// The sharing dialog driven headless over real items: the page is the shipped SelectUsers.htm
// (a renamed id fails here), the users are enrolled accounts of this computer, and what the
// dialog did is read back from the items through the library, never from the dialog's list.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/PageResources.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "container/QVSQLiteDatabase.h"
#include "platform/AsciiCase.h"
#include "platform/Kernel.h"
#include "sharing/CSelectUsers.h"
#include "suite/QvDialogIds.h"
#include "tests/common/HeadlessUi.h"
#include "tests/sharing/SharingFixture.h"
#include "util/RegKey.h"

namespace {

using Names = std::vector<std::string>;
using Step = HeadlessBackend::Step;

std::string Host() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  EXPECT_TRUE(GetComputerNameA(name, &size));
  return ToUpperAscii(std::string(name, size));
}

std::string Text(UINT id) { return LoadStringText(id); }

// What one run of the dialog left.
struct Shared {
  INT_PTR closedWith = 0;
  DWORD result = 0;
  PageSnapshot page;
  std::vector<std::string> Options(const char* id) const {
    const PageElementState* element = page.Element(id);
    return element != nullptr ? element->options : std::vector<std::string>{"<no element>"};
  }
  bool Enabled(const char* id) const {
    const PageElementState* element = page.Element(id);
    return element != nullptr && element->enabled;
  }
};

class CSelectUsersTest : public sharing_test::SharingFixture {
 protected:
  void SetUp() override {
    accountPrefix_ = ".\\";
    accountType_ = QvAccountType::Computer;
    SharingFixture::SetUp();
    host_ = Host();
  }

  Shared Share(const std::string& item, std::vector<Step> steps) {
    ui_.Answer(IDD_SELECT_USERS, std::move(steps));
    CSelectUsers dialog({item}, "alice", ".\\alice");
    Shared run;
    run.closedWith = dialog.DoModal();
    run.result = dialog.Result();
    EXPECT_TRUE(ui_.LastPage(IDD_SELECT_USERS, &run.page));
    return run;
  }
  // Adds `names` through the dialog, then OK.
  Shared Add(const std::string& item, const Names& names) {
    std::vector<Step> steps;
    for (const std::string& name : names) {
      steps.push_back(Step::TypeInto(kElementUserName, name));
      steps.push_back(Step::Click(kElementAddUser));
    }
    steps.push_back(Step::Click(kElementOK));
    return Share(item, std::move(steps));
  }
  static Names Recipients(const std::string& item) {
    if (item.ends_with(".qvef")) return FolderUsers(StoredRecord(item).header);
    return qvtest::FileUsers(item);
  }
  std::string Shown(const std::string& name) const { return host_ + "\\" + name; }
  void StoreSetting(const char* name, DWORD value) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Key(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value),
              ERROR_SUCCESS);
  }

  HeadlessUi ui_;
  std::string host_;
};

TEST_F(CSelectUsersTest, TheShippedPageHasEveryElementTheDialogDrives) {
  const auto html = LoadPageResource(kPageSelectUsers);
  ASSERT_TRUE(html.has_value());
  const std::vector<PageElementState> elements = ParsePageElements(std::string(*html));
  const auto kindOf = [&](const char* id) {
    for (const PageElementState& element : elements)
      if (element.id == id) return static_cast<int>(element.kind);
    return -1;
  };
  EXPECT_EQ(kindOf(kElementLookIn), static_cast<int>(PageElementKind::List));
  EXPECT_EQ(kindOf(kElementUsers), static_cast<int>(PageElementKind::List));
  EXPECT_EQ(kindOf(kElementUserName), static_cast<int>(PageElementKind::Edit));
  for (const char* button : {kElementAddUser, kElementRemoveUser, kElementOK, kElementCancel})
    EXPECT_EQ(kindOf(button), static_cast<int>(PageElementKind::Button)) << button;
  EXPECT_NE(kindOf(kElementUsersLabel), -1);
  // The generated text document of the user's language ships with the page.
  const auto index = LoadPageResource("index.xml", 1033);
  ASSERT_TRUE(index.has_value());
  EXPECT_NE(index->find("<Quorvin_BtnAddUser_Lbl>Add User</Quorvin_BtnAddUser_Lbl>"),
            std::string_view::npos);
}

TEST_F(CSelectUsersTest, AddsAndRemovesUsersOfAFileAndAContainer) {
  for (const std::string& item :
       {EncryptedFile(alice_, "report.txt"), EncryptedFolder(alice_, "Projects")}) {
    SCOPED_TRACE(item);
    ASSERT_EQ(Recipients(item), Names{"alice"});
    Shared run = Add(item, {"bob", "Carol"});
    EXPECT_EQ(run.closedWith, IDOK);
    EXPECT_EQ(run.result, CSelectUsers::kResultChanged);
    EXPECT_EQ(Recipients(item), (Names{"alice", "bob", "carol"}));
    // The look-in list names this computer; the added users show as its accounts.
    EXPECT_EQ(run.Options(kElementLookIn), Names{host_ + " " + Text(177)});
    EXPECT_EQ(run.Options(kElementUsers), (Names{Shown("alice"), Shown("bob"), Shown("Carol")}));
    // The page heard of every change: add enabled, remove disabled, then the list changed.
    EXPECT_EQ(run.page.CallsTo(std::string(kElementAddUser) + "_Status_Script"), "1");
    EXPECT_EQ(run.page.CallsTo(std::string(kElementRemoveUser) + "_Status_Script").substr(0, 1),
              "2");

    // A second dialog lists what the library holds and removes bob.
    run = Share(item, {Step::Select(kElementUsers, Shown("bob")), Step::Click(kElementRemoveUser),
                       Step::Click(kElementOK)});
    EXPECT_EQ(run.result, CSelectUsers::kResultChanged);
    EXPECT_EQ(run.Options(kElementUsers), (Names{Shown("alice"), Shown("carol")}));
    EXPECT_EQ(Recipients(item), (Names{"alice", "carol"}));
    EXPECT_EQ(ui_.MessageBoxes().size(), 0u);
  }
}

TEST_F(CSelectUsersTest, RefusedNamesAndTheLastUserLeaveTheItemAlone) {
  const std::string qvf = EncryptedFile(alice_, "notes.txt");
  ui_.AnswerMessageBox(IDOK, Text(173).substr(0, 30));  // ghost is not enrolled
  ui_.AnswerMessageBox(IDOK, Text(172).substr(0, 30));  // alice, in another case
  ui_.AnswerMessageBox(IDOK, Text(173).substr(0, 30));  // a name longer than the store allows
  const Shared run =
      Share(qvf, {Step::TypeInto(kElementUserName, "ghost"), Step::Click(kElementAddUser),
                  Step::TypeInto(kElementUserName, "ALICE"), Step::Click(kElementAddUser),
                  Step::TypeInto(kElementUserName, "bob" + std::string(300, 'x')),
                  Step::Click(kElementAddUser),
                  // The only user cannot be removed: the button stays disabled.
                  Step::Select(kElementUsers, Shown("alice")), Step::Click(kElementRemoveUser),
                  Step::Click(kElementCancel)});
  EXPECT_EQ(run.closedWith, IDCANCEL);
  EXPECT_EQ(run.result, CSelectUsers::kResultCancelled);
  EXPECT_EQ(run.Options(kElementUsers), Names{Shown("alice")});
  EXPECT_FALSE(run.Enabled(kElementRemoveUser));
  const PageElementState* typed = run.page.Element(kElementUserName);
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->value, "") << "an unknown name is cleared from the box";
  EXPECT_EQ(qvtest::FileUsers(qvf), Names{"alice"});

  // The same user under the other look-in entry is still the same user.
  StoreSetting("DisableQuorOnlyUser", 0);
  ui_.AnswerMessageBox(IDOK, Text(172).substr(0, 30));
  const Shared again = Share(
      qvf, {Step::Select(kElementLookIn, Text(178)), Step::TypeInto(kElementUserName, "alice"),
            Step::Click(kElementAddUser), Step::Click(kElementCancel)});
  EXPECT_EQ(again.Options(kElementUsers), Names{Shown("alice")});
}

TEST_F(CSelectUsersTest, RemovingAUserAddedInTheSameDialogOnlyDropsTheAddition) {
  const std::string qvef = EncryptedFolder(alice_, "Shared");
  const Shared run =
      Share(qvef, {Step::TypeInto(kElementUserName, "carol"), Step::Click(kElementAddUser),
                   Step::Select(kElementUsers, Shown("carol")), Step::Click(kElementRemoveUser),
                   Step::Click(kElementOK)});
  EXPECT_EQ(run.closedWith, IDOK);
  EXPECT_EQ(run.result, CSelectUsers::kResultUnchanged);
  EXPECT_EQ(Recipients(qvef), Names{"alice"});
  EXPECT_TRUE(ui_.ClosedDialogs().size() == 1u) << "no add/remove error was shown";
}

TEST_F(CSelectUsersTest, LookInFollowsTheTwoSettings) {
  const std::string qvf = EncryptedFile(alice_, "plan.txt");
  // Suite accounts only: one entry, selected, and names are taken as typed.
  StoreSetting("SupportQuorOnlyUser", 1);
  Shared run = Add(qvf, {"bob"});
  EXPECT_EQ(run.Options(kElementLookIn), Names{Text(178)});
  ASSERT_NE(run.page.Element(kElementLookIn), nullptr);
  EXPECT_EQ(run.page.Element(kElementLookIn)->selected, 0);
  EXPECT_EQ(run.Options(kElementUsers), (Names{Shown("alice"), "bob"}));
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice", "bob"}));

  // This computer and suite accounts, this computer selected.
  StoreSetting("SupportQuorOnlyUser", 0);
  StoreSetting("DisableQuorOnlyUser", 0);
  run = Share(qvf,
              {Step::Select(kElementLookIn, Text(178)), Step::TypeInto(kElementUserName, "carol"),
               Step::Click(kElementAddUser), Step::Click(kElementOK)});
  EXPECT_EQ(run.Options(kElementLookIn), (Names{host_ + " " + Text(177), Text(178)}));
  EXPECT_EQ(run.Options(kElementUsers), (Names{Shown("alice"), Shown("bob"), "carol"}));
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice", "bob", "carol"}));
}

TEST_F(CSelectUsersTest, TwoDialogsNeverApplyEachOthersChanges) {
  const std::string first = EncryptedFile(alice_, "first.txt");
  const std::string second = EncryptedFile(alice_, "second.txt");
  CSelectUsers one({first}, "alice", ".\\alice");
  CSelectUsers two({second}, "alice", ".\\alice");
  ui_.Answer(IDD_SELECT_USERS, {Step::TypeInto(kElementUserName, "bob"),
                                Step::Click(kElementAddUser), Step::Click(kElementCancel)});
  EXPECT_EQ(one.DoModal(), IDCANCEL);
  ui_.Answer(IDD_SELECT_USERS, {Step::TypeInto(kElementUserName, "carol"),
                                Step::Click(kElementAddUser), Step::Click(kElementOK)});
  EXPECT_EQ(two.DoModal(), IDOK);
  EXPECT_EQ(one.Result(), CSelectUsers::kResultCancelled);
  EXPECT_EQ(two.Result(), CSelectUsers::kResultChanged);
  EXPECT_EQ(qvtest::FileUsers(first), Names{"alice"});
  EXPECT_EQ(qvtest::FileUsers(second), (Names{"alice", "carol"}));
}

TEST_F(CSelectUsersTest, EveryChangeTheItemRefusesIsReported) {
  // dave has no key, so he cannot be added; the second OK arrives while the notice for him is
  // up and must not start the commit again.
  const std::string qvf = EncryptedFile(alice_, "keys.txt");
  ui_.PressButton(IDD_ADD_ERROR, IDOK);
  Shared run = Share(qvf, {Step::TypeInto(kElementUserName, "dave"), Step::Click(kElementAddUser),
                           Step::TypeInto(kElementUserName, "bob"), Step::Click(kElementAddUser),
                           Step::Click(kElementOK), Step::Click(kElementOK)});
  EXPECT_EQ(run.closedWith, IDOK);
  EXPECT_EQ(run.result, CSelectUsers::kResultChanged);  // bob went in
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice", "bob"}));

  // On bob's own file alice may open it but not change its list: her removal of carol is
  // refused, and said so.
  const std::string bobs = EncryptedFile(bob_, "bobs.txt");
  for (const qvtest::User* user : {&alice_, &carol_}) {
    const std::vector<BYTE> shared = user->PublicOnly();
    ASSERT_EQ(QVFSFileAddUser(bobs.c_str(), "bob", "bob", bob_.blob.data(),
                              static_cast<DWORD>(bob_.blob.size()), "", user->name.c_str(),
                              shared.data(), static_cast<DWORD>(shared.size()),
                              reinterpret_cast<const BYTE*>(user->name.c_str()),
                              static_cast<DWORD>(user->name.size() + 1), 0),
              0u);
  }
  ui_.PressButton(IDD_ADD_ERROR, IDOK);
  run = Share(bobs, {Step::Select(kElementUsers, Shown("carol")), Step::Click(kElementRemoveUser),
                     Step::Click(kElementOK)});
  EXPECT_EQ(run.result, CSelectUsers::kResultUnchanged);
  EXPECT_EQ(qvtest::FileUsers(bobs), (Names{"bob", "alice", "carol"}));

  // A container whose changed record cannot be written back keeps its users, and says so.
  const std::string qvef = EncryptedFolder(alice_, "Locked");
  ui_.PressButton(IDD_ADD_ERROR, IDOK);
  ui_.Answer(IDD_SELECT_USERS, {Step::TypeInto(kElementUserName, "bob"),
                                Step::Click(kElementAddUser), Step::Click(kElementOK)});
  CSelectUsers locked({qvef}, "alice", ".\\alice");
  {
    // Another connection holds the container against writers: readers still read it.
    QVSQLiteDatabase holder;
    ASSERT_EQ(holder.Open(qvef, FALSE), VARIANT_TRUE);
    ASSERT_EQ(holder.HoldAgainstWriters(), VARIANT_TRUE);
    EXPECT_EQ(locked.DoModal(), IDOK);
  }
  EXPECT_EQ(locked.Result(), CSelectUsers::kResultUnchanged);
  EXPECT_EQ(Recipients(qvef), Names{"alice"});
  std::size_t notices = 0;
  for (const auto& closed : ui_.ClosedDialogs())
    notices += closed.state.templateId == IDD_ADD_ERROR;
  EXPECT_EQ(notices, 3u);
}

TEST_F(CSelectUsersTest, AListThatCannotBeReadOffersNoChange) {
  const std::string broken = dir_ + "/broken.qvf";
  WriteTextFile(broken, "not what the library wrote");
  ui_.AnswerMessageBox(IDOK, Text(194).substr(0, 30));
  const Shared run = Share(broken, {Step::Click(kElementOK), Step::Click(kElementCancel)});
  EXPECT_EQ(run.closedWith, IDCANCEL);
  EXPECT_EQ(run.result, CSelectUsers::kResultCancelled);
  EXPECT_FALSE(run.Enabled(kElementAddUser));
  EXPECT_FALSE(run.Enabled(kElementRemoveUser));
  EXPECT_FALSE(run.Enabled(kElementOK));
  const PageElementState* label = run.page.Element(kElementUsersLabel);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->value, Text(194));
}

TEST_F(CSelectUsersTest, RecipientsTheStoreDoesNotKnowAreListedByIdAndCanBeRemoved) {
  const std::string qvf = EncryptedFile(alice_, "old.txt");
  ASSERT_EQ(Add(qvf, {"bob", "carol"}).result, CSelectUsers::kResultChanged);
  ASSERT_EQ(store_->RemoveUser("carol"), QvStoreStatus::Ok);
  const Shared run = Share(qvf, {Step::Select(kElementUsers, "carol"),
                                 Step::Click(kElementRemoveUser), Step::Click(kElementOK)});
  EXPECT_EQ(run.Options(kElementUsers), (Names{Shown("alice"), Shown("bob")}));
  EXPECT_EQ(run.result, CSelectUsers::kResultChanged);
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice", "bob"}));
}

}  // namespace
