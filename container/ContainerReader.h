// ContainerReader: one connection that reads a container, kept open between reads and shared
// by everyone who holds the reader (a container's shell folders, their enumerators and the
// verifying workers of their views), so that listing folder after folder does not open the
// container, detect its format and read its schema again each time.
//
// Every read first makes sure the connection still serves the container the path names
// (QVDatabase::OpenForReading): a container deleted, replaced or given another schema since
// is opened afresh with every check of QVDatabase::Open, and a read that fails drops the
// connection, so the next read starts from a fresh open. Nothing is written through it;
// writers open their own QVDatabase, and a kept connection holds no lock between reads.
//
// Reads from several threads take turns. A first open, which may ask the user whether to
// convert a legacy container, runs without holding the turn, so a prompt on one thread never
// keeps another thread waiting.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "container/QVDatabase.h"
#include "platform/WinTypes.h"

class ContainerReader {
 public:
  explicit ContainerReader(std::string path);
  ContainerReader(const ContainerReader&) = delete;
  ContainerReader& operator=(const ContainerReader&) = delete;

  const std::string& Path() const { return path_; }

  // Calls `read` with the container open for reading, and returns what it returns; false,
  // without calling it, when the container does not open.
  [[nodiscard]] bool Read(const std::function<bool(QVDatabase&)>& read);
  // The container's protection record (the root's folder options); false when the container
  // does not open or holds none.
  [[nodiscard]] bool ReadHeader(std::vector<BYTE>* header);
  // Closes the kept connection (the next read opens the container again).
  void Drop();

 private:
  const std::string path_;
  std::mutex lock_;
  std::unique_ptr<QVDatabase> database_;
};
