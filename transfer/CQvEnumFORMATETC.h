// The list of formats a container's data object offers, handed to whoever asks which formats
// it has (a file manager choosing how to paste).
#pragma once

#include <vector>

#include "platform/Com.h"
#include "platform/ole/EnumFormatEtc.h"

struct IQvEnumFORMATETC : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x91C4E2A7, 0x5B38, 0x4F0D, 0xA6, 0x1E, 0x3C, 0x87, 0xD5, 0x20, 0xB9, 0x4F);

 protected:
  ~IQvEnumFORMATETC() = default;
};

class CQvEnumFORMATETC final : public ComObject<IQvEnumFORMATETC, IEnumFORMATETC> {
 public:
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;
  explicit CQvEnumFORMATETC(ComModule* module) : ComObject(module) {}

  // Keeps a copy of the `count` records (their target devices are not kept: every record
  // handed out has none) and starts at the first.
  [[nodiscard]] HRESULT SetFormats(const FORMATETC* formats, ULONG count) noexcept;

  HRESULT Next(ULONG celt, FORMATETC* rgelt, ULONG* fetched) override;
  HRESULT Skip(ULONG celt) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumFORMATETC** enumerator) override;

 private:
  ULONG position_ = 0;
  std::vector<FORMATETC> formats_;
};
