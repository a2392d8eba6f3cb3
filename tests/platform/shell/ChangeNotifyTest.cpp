// Change notifications reach every registration for the place, in this process and in
// others, only for the events asked for, and stop once a registration ends.
#include <string>

#include "platform/shell/ChangeNotify.h"
#include "tests/common/TestRoot.h"

namespace {

constexpr UINT kChanged = WM_APP + 7;
constexpr DWORD kPatience = 10000;
constexpr DWORD kQuiet = 200;

class ChangeNotifyTest : public RootedTest {};

TEST_F(ChangeNotifyTest, AnotherProcessReachesEveryRegistrationOfThePlaceOnly) {
  const std::string place = "/home/u/Box.qvef\\Docs";
  const HWND first = CreateMessageWindow("QvTestView", "first");
  const HWND second = CreateMessageWindow("QvTestView", "second");
  const HWND elsewhere = CreateMessageWindow("QvTestView", "elsewhere");
  const HWND deletesOnly = CreateMessageWindow("QvTestView", "deletes");
  const ULONG a = QvChangeNotifyRegister(first, kChanged, SHCNE_ALLEVENTS, place.c_str());
  const ULONG b = QvChangeNotifyRegister(second, kChanged, SHCNE_UPDATEDIR, place.c_str());
  const ULONG c = QvChangeNotifyRegister(elsewhere, kChanged, SHCNE_ALLEVENTS, "/home/u/Box.qvef");
  const ULONG d = QvChangeNotifyRegister(deletesOnly, kChanged, SHCNE_DELETE, place.c_str());
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  ASSERT_NE(c, 0u);
  ASSERT_NE(d, 0u);

  EXPECT_EQ(RunInChild([&] {
              SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, place.c_str(), nullptr);
              return 0;
            }),
            0);
  for (HWND window : {first, second}) {
    MSG message{};
    ASSERT_TRUE(ReceiveWindowMessage(window, &message, kPatience));
    EXPECT_EQ(message.message, kChanged);
    EXPECT_EQ(message.lParam, SHCNE_UPDATEDIR);
  }
  MSG stray{};
  EXPECT_FALSE(ReceiveWindowMessage(elsewhere, &stray, kQuiet)) << "another place was told";
  EXPECT_FALSE(ReceiveWindowMessage(deletesOnly, &stray, kQuiet)) << "an event not asked for";

  EXPECT_TRUE(SHChangeNotifyDeregister(a));
  EXPECT_FALSE(SHChangeNotifyDeregister(a));
  SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, place.c_str(), nullptr);
  MSG message{};
  EXPECT_TRUE(ReceiveWindowMessage(second, &message, kPatience));
  EXPECT_FALSE(ReceiveWindowMessage(first, &stray, kQuiet)) << "told after deregistering";

  for (ULONG id : {b, c, d}) EXPECT_TRUE(SHChangeNotifyDeregister(id));
  for (HWND window : {first, second, elsewhere, deletesOnly}) DestroyWindow(window);
}

TEST_F(ChangeNotifyTest, PlacesThatCannotBeCarriedAreRefused) {
  const HWND window = CreateMessageWindow("QvTestView", "w");
  const std::string tooLong(kMaxChangePlace + 1, 'x');
  EXPECT_EQ(QvChangeNotifyRegister(window, kChanged, SHCNE_ALLEVENTS, tooLong.c_str()), 0u);
  EXPECT_EQ(QvChangeNotifyRegister(window, kChanged, SHCNE_ALLEVENTS, ""), 0u);
  EXPECT_EQ(QvChangeNotifyRegister(nullptr, kChanged, SHCNE_ALLEVENTS, "/x"), 0u);
  DestroyWindow(window);
}

}  // namespace
