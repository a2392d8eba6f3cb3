// Where extraction puts the blocks of one stored file, in storage order: a file on disk
// (FileBlockSink), or any reader that takes a stored file block by block, such as a stream
// that reads it on demand. Extraction to a file and every other reader share one path
// through the store (QVDatabase::ExtractFileToSink).
#pragma once

#include <string>
#include <string_view>

#include "platform/FileAccess.h"

class BlockSink {
 public:
  virtual ~BlockSink() = default;
  // Takes the next block of the file (never empty; at most the container's block size).
  // False stops the extraction, which then fails.
  [[nodiscard]] virtual bool TakeBlock(std::string_view block) = 0;
};

// Keeps the blocks in a string, one after another.
class StringBlockSink : public BlockSink {
 public:
  explicit StringBlockSink(std::string* bytes) : bytes_(bytes) {}
  [[nodiscard]] bool TakeBlock(std::string_view block) override {
    bytes_->append(block);
    return true;
  }

 private:
  std::string* bytes_;
};

// Writes the blocks to a regular file, each block in one write.
class FileBlockSink : public BlockSink {
 public:
  // Creates or empties the file at `path` (with `append`, writes after its end). A link or
  // anything but a regular file at `path` is refused and left alone.
  [[nodiscard]] bool Open(const std::string& path, bool append);
  [[nodiscard]] bool TakeBlock(std::string_view block) override;
  // Closes the file; false when anything written did not reach it.
  [[nodiscard]] bool Finish();
  // Closes and deletes the file: a short image is worse than none, as it would look whole.
  void Discard();

 private:
  RegularFile file_;
  std::string path_;
};
