// ContainerReader (see ContainerReader.h).
#include "container/ContainerReader.h"

#include <utility>

#include "container/FolderContainer.h"

ContainerReader::ContainerReader(std::string path) : path_(std::move(path)) {}

bool ContainerReader::Read(const std::function<bool(QVDatabase&)>& read) {
  std::unique_lock<std::mutex> turn(lock_);
  if (database_ == nullptr || !database_->ReadsCurrentFile(path_)) {
    database_.reset();
    turn.unlock();
    auto opened = std::make_unique<QVDatabase>();
    if (opened->OpenForReading(path_) != VARIANT_TRUE) return false;
    turn.lock();
    // Another thread may have opened one meanwhile: either serves, the later one goes.
    if (database_ == nullptr) database_ = std::move(opened);
  }
  const bool done = read(*database_);
  if (!done) database_.reset();
  return done;
}

bool ContainerReader::ReadHeader(std::vector<BYTE>* header) {
  return Read(
      [header](QVDatabase& database) { return FolderContainer::ReadHeader(database, header); });
}

void ContainerReader::Drop() {
  const std::lock_guard<std::mutex> turn(lock_);
  database_.reset();
}
