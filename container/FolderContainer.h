// FolderContainer: a container paired with the plain folder its root stands for. The folder
// encryption engine, the context menu and the sharing dialog use it to create or open a
// container with its protection record, add file images, restore the whole folder and close.
//
// rootDir is a native folder path and always ends with "/" once known; folderId is the folder
// of the container that rootDir stands for (0, the root, unless set by OpenAt).
#pragma once

#include <string>
#include <vector>

#include "container/QVDatabase.h"
#include "platform/WinTypes.h"

class FolderContainer {
 public:
  FolderContainer();
  // Closes the container.
  ~FolderContainer();
  FolderContainer(const FolderContainer&) = delete;
  FolderContainer& operator=(const FolderContainer&) = delete;

  // Opens (or with `create` makes) parentDir/name.qvef ("name" alone when it already ends in
  // ".quorvinencryptedtempfile"); rootDir becomes parentDir/name/. With create the record
  // (*data, *size bytes) and cspName are stored; without, they are read into *data (malloc'ed,
  // the caller frees it), *size and cspName (1024 bytes). 1 when the open and the record
  // call succeeded; on a failed record call the container stays open.
  [[nodiscard]] int OpenFolder(std::string parentDir, std::string name, char* cspName, BYTE** data,
                               DWORD* size, BOOL create);
  // As OpenFolder for the container at `path`; rootDir is left as it was, folderId is 0.
  [[nodiscard]] int OpenContainer(std::string path, char* cspName, BYTE** data, DWORD* size,
                                  BOOL create);
  // Opens an existing container for adding below folder `folderId`, rootDir standing for it.
  [[nodiscard]] int OpenAt(std::string rootDir, std::string path, DWORD folderId);
  // 1 when the container at `path` opens (it is closed again at once).
  [[nodiscard]] int ProbeContainer(std::string path);
  // The folder header (the protection record) the container at `path` stores, read with the
  // container closed again at once; false when it does not open or holds none.
  [[nodiscard]] static bool ReadHeader(const std::string& path, std::vector<BYTE>* header);
  // The same from a container already open in `database`.
  [[nodiscard]] static bool ReadHeader(QVDatabase& database, std::vector<BYTE>* header);

  // AddFile of QVDatabase with this object's rootDir and folderId.
  [[nodiscard]] LONG AddFile(std::string filePath, BOOL replace);
  // AddFileFromImage of QVDatabase with this object's rootDir and folderId.
  [[nodiscard]] LONG AddFileFromImage(std::string filePath, std::string imagePath, BOOL replace);
  // AddFileFromMemory of QVDatabase with this object's rootDir and folderId.
  [[nodiscard]] LONG AddFileFromMemory(std::string filePath, QVDatabase::ImageInMemory& image,
                                       BOOL replace);
  // Restores every stored file below rootDir, reporting to `progress` as
  // QVDatabase::ExtractAllTo does and calling `betweenBlocks` between the blocks it writes
  // (either may be empty). 1 on success.
  [[nodiscard]] int ExtractAll(const QVDatabase::ExtractProgress& progress,
                               const QVDatabase::BetweenBlocks& betweenBlocks);
  [[nodiscard]] int GetFolderOptions(char* cspName, BYTE** data, DWORD* size);
  [[nodiscard]] int SetFolderOptions(char* cspName, BYTE** data, DWORD* size);
  // Makes everything stored so far durable (see QVDatabase::Flush). 1 on success.
  [[nodiscard]] int Flush();
  void Close();

  // The plain folder the container's folder stands for (a trailing "/" is added).
  void SetRootDir(std::string rootDir);
  const std::string& RootDir() const { return rootDir_; }
  DWORD FolderId() const { return folderId_; }
  QVDatabase& Database() { return database_; }

 private:
  // Stores (create) or reads the protection record of the open container; 1 on success.
  [[nodiscard]] int ExchangeOptions(char* cspName, BYTE** data, DWORD* size, BOOL create);

  std::string rootDir_;
  QVDatabase database_;
  DWORD folderId_ = 0;
};
