// The memory stream: reads stop at the end, writes past the end grow it, seeks before the
// start are refused, and what was written is what Stat and Read give back.
#include <gtest/gtest.h>

#include <array>

#include "platform/ole/Stream.h"

namespace {

TEST(StreamTest, WritesReadsAndSeeksLikeAFile) {
  const std::array<BYTE, 4> initial{1, 2, 3, 4};
  ComPtr<IStream> stream;
  stream.Attach(SHCreateMemStream(initial.data(), static_cast<UINT>(initial.size())));
  ASSERT_TRUE(stream);

  std::array<BYTE, 8> buffer{};
  ULONG count = 99;
  EXPECT_EQ(stream->Read(buffer.data(), 8, &count), S_FALSE) << "fewer bytes than asked for";
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(buffer[3], 4);

  // A write after a seek past the end leaves zeros in the gap.
  ULARGE_INTEGER position{};
  EXPECT_EQ(stream->Seek(LARGE_INTEGER{2}, STREAM_SEEK_END, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 6u);
  const BYTE seven = 7;
  EXPECT_EQ(stream->Write(&seven, 1, &count), S_OK);
  STATSTG stat{};
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 7u);
  EXPECT_EQ(stream->Seek(LARGE_INTEGER{-3}, STREAM_SEEK_CUR, &position), S_OK);
  buffer.fill(0xFF);
  EXPECT_EQ(stream->Read(buffer.data(), 3, &count), S_OK);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(buffer[2], 7);

  EXPECT_EQ(stream->Seek(LARGE_INTEGER{-8}, STREAM_SEEK_END, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(LARGE_INTEGER{0}, 9, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Read(nullptr, 1, &count), E_POINTER);

  ComPtr<ISequentialStream> sequential;
  EXPECT_EQ(stream.As(sequential), S_OK) << "IStream extends ISequentialStream";
}

}  // namespace
