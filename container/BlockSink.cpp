// The file sink of extraction (see BlockSink.h).
#include "container/BlockSink.h"

#include "platform/Files.h"
#include "platform/LastError.h"

bool FileBlockSink::Open(const std::string& path, bool append) {
  path_ = path;
  // A restore writes into a folder of its own: nearly every file is new there, and a new file
  // needs none of the checks an existing one does.
  if (!append) {
    if (file_.CreateNew(path.c_str()) != FALSE) return true;
    // Only a taken name goes on to the checks; any other failure would fail them too.
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
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
