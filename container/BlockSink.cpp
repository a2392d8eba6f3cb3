// The file sink of extraction (see BlockSink.h).
#include "container/BlockSink.h"

#include "platform/Files.h"

bool FileBlockSink::Open(const std::string& path, bool append) {
  path_ = path;
  return file_.OpenForWriting(path.c_str(), append) != FALSE;
}

bool FileBlockSink::TakeBlock(std::string_view block) {
  return file_.Write(block.data(), block.size()) != FALSE;
}

bool FileBlockSink::Finish() { return file_.Close() != FALSE; }

void FileBlockSink::Discard() {
  if (file_.Valid()) (void)file_.Close();
  (void)DeleteFileA(path_.c_str());
}
