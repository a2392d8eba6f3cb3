// Images read chunk by chunk (see ImageReader.h).
#include "suite/qvfsdll/ImageReader.h"

#include <memory>

#include "suite/qvfsdll/FileCrypto.h"
#include "suite/qvfsdll/HandleTable.h"
#include "suite/qvfsdll/PayloadStream.h"
#include "suite/qvfsdll/UserKeys.h"

namespace qvfs {
namespace {

HandleTable<ChunkCipher>& Readers() {
  static auto* table = new HandleTable<ChunkCipher>;  // outlives every thread that may still call
  return *table;
}

}  // namespace

DWORD OpenImageReader(std::span<const std::uint8_t> head, const FolderState& folder,
                      const Place* place, QvImageLayout* layout, DWORD* reader) {
  KeyHeader header;
  std::uint32_t headerLength = 0;
  if (const DWORD status = Decode(head, Family::File, &header, &headerLength);
      status != StatusSuccess)
    return status;
  SecretKey fileKey;
  if (const DWORD status = FolderFileKey(header, folder, &fileKey); status != StatusSuccess)
    return status;
  if (const DWORD status = VerifyMacs(header, Family::File, fileKey, place);
      status != StatusSuccess)
    return status;
  if (!AeadAvailable(header.aead)) return StatusEngineInitError;
  *reader = Readers().Add(
      std::make_shared<const ChunkCipher>(header.aead, DerivePayloadKey(fileKey), header.itemId));
  layout->headerLength = headerLength;
  layout->chunkSize = header.chunkSize;
  layout->tagSize = static_cast<DWORD>(kTagSize);
  return StatusSuccess;
}

DWORD OpenImageChunk(DWORD reader, std::span<std::uint8_t> chunk, std::uint64_t index, bool last) {
  const std::shared_ptr<const ChunkCipher> cipher = Readers().Find(reader);
  if (cipher == nullptr) return StatusDecryptionError;
  if (chunk.size() < kTagSize) return StatusIntegrityError;
  return cipher->Open(chunk.data(), chunk.size(), index, last) ? StatusSuccess
                                                               : StatusIntegrityError;
}

bool CloseImageReader(DWORD reader) { return Readers().Remove(reader); }

}  // namespace qvfs
