// The clipboard holds its object by reference until it is replaced, and a flush keeps the
// global-memory formats while leaving stream formats (the files themselves) with the source.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/Ole.h"
#include "platform/ole/Clipboard.h"
#include "tests/platform/ole/OleTestSupport.h"

namespace {

// Offers one global block of four bytes and one stream format it never renders; counts how
// often its stream format was asked for.
class TwoFormats final : public ComObject<IDataObject> {
 public:
  static constexpr CLIPFORMAT kStreamFormat = 0xC123;
  int streamRequests = 0;

  HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) override {
    *medium = {};
    if (format->cfFormat == kStreamFormat) {
      ++streamRequests;
      return E_UNEXPECTED;
    }
    if (format->cfFormat != CF_TEXT || (format->tymed & TYMED_HGLOBAL) == 0) return DV_E_FORMATETC;
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = GlobalAlloc(GMEM_MOVEABLE, 4);
    std::memcpy(GlobalLock(medium->hGlobal), "abc", 4);
    (void)GlobalUnlock(medium->hGlobal);
    return S_OK;
  }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC** out) override {
    const FORMATETC offered[2] = {{kStreamFormat, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM},
                                  {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}};
    return SHCreateStdEnumFmtEtc(2, offered, out);
  }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
};

TEST(Clipboard, HoldsByReferenceAndFlushesOnlyGlobalFormats) {
  ComPtr<TwoFormats> source;
  source.Attach(new TwoFormats);
  const DWORD before = GetClipboardSequenceNumber();
  ASSERT_EQ(OleSetClipboard(source.Get()), S_OK);
  EXPECT_NE(GetClipboardSequenceNumber(), before);
  EXPECT_EQ(RefCount(source.Get()), 2u);
  EXPECT_EQ(OleIsCurrentClipboard(source.Get()), S_OK);

  ComPtr<IDataObject> pasted;
  ASSERT_EQ(OleGetClipboard(pasted.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(pasted.Get(), static_cast<IDataObject*>(source.Get()));
  pasted.Reset();

  ASSERT_EQ(OleFlushClipboard(), S_OK);
  EXPECT_EQ(source->streamRequests, 0);  // the files were never rendered
  EXPECT_EQ(RefCount(source.Get()), 1u);
  EXPECT_EQ(OleIsCurrentClipboard(source.Get()), S_FALSE);

  ASSERT_EQ(OleGetClipboard(pasted.ReleaseAndGetAddressOf()), S_OK);
  FORMATETC text{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  ASSERT_EQ(pasted->GetData(&text, &medium), S_OK);
  EXPECT_STREQ(static_cast<const char*>(GlobalLock(medium.hGlobal)), "abc");
  (void)GlobalUnlock(medium.hGlobal);
  ReleaseStgMedium(&medium);
  FORMATETC stream{TwoFormats::kStreamFormat, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM};
  EXPECT_EQ(pasted->QueryGetData(&stream), DV_E_FORMATETC);

  ASSERT_EQ(OleSetClipboard(nullptr), S_OK);
  ASSERT_EQ(OleGetClipboard(pasted.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(pasted->QueryGetData(&text), DV_E_FORMATETC);  // empty, but an object to ask
}

}  // namespace
