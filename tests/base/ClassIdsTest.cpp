// The identifiers in the text form the registry and the registration scripts carry: a byte
// typed wrong here would register one class id and serve another.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/ClassIds.h"

TEST(ClassIdsTest, EachIdHasItsRegisteredTextAndNoTwoAreEqual) {
  const std::pair<GUID, const char*> ids[] = {
      {qvids::CLSID_QvShellFolder, "{6A1F3C2E-4B7D-4E19-9C52-0D8E7A41B3F6}"},
      {qvids::CLSID_QvShellView, "{4C92A7E1-0B3D-4F58-A6E2-19D7C4B8E025}"},
      {qvids::CLSID_QvEnumIDList, "{2D7A91C4-6E3B-4F85-9A20-C4B17E5D3F92}"},
      {qvids::CLSID_QvExtractIcon, "{8D5E2B90-6C14-4A7F-B9D3-E0A47F16C2B8}"},
      {qvids::CLSID_QvDataObject, "{7C3E5A18-94D2-4B6F-8E01-A9F2C63D5B47}"},
      {qvids::CLSID_QvDropSource, "{E4B2961D-37A8-4C5E-B7F3-1D09A8C2E654}"},
      {qvids::CLSID_QvEnumFORMATETC, "{5F19C3B7-A240-4E6D-8C95-37E0B1F4D28A}"},
      {qvids::CLSID_QvDataStream, "{B06E4D2A-C915-4F37-9D8B-62A3E7F015C9}"},
      {qvids::CLSID_QvDropTarget, "{3A8F0E65-D2C7-41B9-A6E4-8B5D19C7F203}"},
      {qvids::CLSID_QvShellExt, "{B3E8D174-92A6-4C0F-8E3B-57F1A2C9D460}"},
      {qvids::kAppId, "{9A3D6F02-7E45-4B8C-A1F7-3C0E8B25D94A}"},
      {qvids::kTypeLibraryId, "{1E7C4A95-3F28-4D6B-8A0C-B5F92E6D7A13}"},
  };
  std::set<std::string> seen;
  for (const auto& [id, text] : ids) {
    EXPECT_EQ(FormatGuid(id), text);
    EXPECT_TRUE(seen.insert(FormatGuid(id)).second) << text;
  }
}
