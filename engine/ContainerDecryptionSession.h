// Files taken out of one container one at a time (the streams of a data object): the user's
// folder key is opened once, the container's rows are checked against its list of files once
// and their places read once; after that each file is decrypted on its own, under that key,
// with the checks a folder decryption makes for one file, and without an operation around it
// (no dialog, no worker thread, no second connection per file).
//
// The check holds only while the container is unchanged. Before each file the container's
// change token (the file on disk and the commits seen) is compared with the one the check was
// made at, and for a container that moved on the key is opened again and the rows checked
// again; a token that moved on while the image was read makes the image worthless, and it is
// read again. A file whose row no longer has the name the caller took it by is refused, so a
// changed container never pairs a name with another file's bytes; the image itself opens only
// at the place its row gives.
//
// A session may be kept for as long as its caller shows the container (a view's folder
// hands its session to every data object it makes), so that files taken one after another
// cost one check as long as nothing changes. It holds no lock on the container between
// decryptions.
//
// Decryptions from several threads take turns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/ItemStatus.h"
#include "container/QVDatabase.h"
#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"

class ContainerDecryptionSession {
 public:
  // Nothing is opened before the first Decrypt.
  ContainerDecryptionSession(std::string containerPath, std::string userId);
  // The user files are decrypted for when `verified` (the user a view verified) is empty: the
  // user logged on, as an operation on the container takes.
  [[nodiscard]] static std::string DecryptingUser(std::string verified);
  ~ContainerDecryptionSession();
  ContainerDecryptionSession(const ContainerDecryptionSession&) = delete;
  ContainerDecryptionSession& operator=(const ContainerDecryptionSession&) = delete;

  // Decrypts the file FILE_ID `fileId` of folder `folderId`, taken by its stored name
  // `storedName` (with its ".qvf"), into `folder`, an empty folder of the caller's: on success
  // its plain file, named as the stored name without ".qvf", is all that is left there.
  // StatusNotAuthorized when the user has no key the container accepts; StatusIntegrityError when
  // the rows are not those the container lists, the row is gone or renamed, or the image does not
  // open at its place.
  [[nodiscard]] ItemStatus Decrypt(DWORD folderId, DWORD fileId, const std::string& storedName,
                                   const std::string& folder);

  // What OpenFile gives a reader: where the image's blocks lie, its first bytes (the header among
  // them, the whole image when it is small), and the library's reader of its chunks (close it with
  // QVFSCloseImageReader), opened under the key at the row's place.
  struct OpenedImage {
    std::vector<QVDatabase::ImageBlock> blocks;
    std::uint64_t length = 0;  // the image's, the blocks' total
    std::string head;
    QvImageLayout layout{};
    DWORD reader = 0;
    QVDatabase::ChangeToken token;  // the container as the image was read
  };
  // Opens the same file for reading a piece at a time (ContainerFileReader), with the same
  // checks as Decrypt; the header is read while the container is as the rows were checked.
  [[nodiscard]] ItemStatus OpenFile(DWORD folderId, DWORD fileId, const std::string& storedName,
                                    OpenedImage* opened);
  // Whether the container is still as it was when `opened` was read, told from its file alone
  // (a few system calls, no transaction); false also when that cannot be told.
  [[nodiscard]] bool StillAsOpened(const OpenedImage& opened);
  // Reads the image's bytes [begin, begin + out.size()) from the listed blocks into `out` (one
  // read of the container); false when the container no longer holds them as listed.
  [[nodiscard]] bool ReadRange(DWORD folderId, DWORD fileId,
                               std::span<const QVDatabase::ImageBlock> blocks, std::uint64_t begin,
                               std::span<char> out);

  [[nodiscard]] const std::string& ContainerPath() const { return path_; }
  [[nodiscard]] const std::string& UserId() const { return userId_; }
  // How often the rows were checked against the list so far.
  [[nodiscard]] std::size_t Checks() const;

 private:
  struct Place {
    std::string name;
    std::string storedPath;
  };
  // Opens the connection and makes sure the key and the check hold for the container as it
  // is now (opening the key again, which fails for a user without one, when they may not).
  [[nodiscard]] ItemStatus Current(QVDatabase::ChangeToken* token);
  [[nodiscard]] ItemStatus CheckRows();
  // Runs `read()` (a read of file `fileId`'s image, taken by `storedName`) while the container
  // stays as its rows were checked, then `use(place, token)` (the token it was read at): a read
  // during which the container moved on is undone (`undo()`) and made again, up to a few times.
  template <class Read, class Undo, class Use>
  [[nodiscard]] ItemStatus ReadWhileUnchanged(DWORD fileId, const std::string& storedName,
                                              Read&& read, Undo&& undo, Use&& use);
  [[nodiscard]] ItemStatus DecryptImage(const std::string& image, const std::string& folder,
                                        const Place& place, DWORD fileId);

  const std::string path_;
  const std::string userId_;
  mutable std::mutex lock_;
  QVDatabase database_;
  // StillAsOpened's connection, which reads only the file's header.
  std::mutex checkLock_;
  QVDatabase checker_;
  DWORD handle_ = 0;
  // The token the rows were checked at; none before the first check and after a reopen.
  std::optional<QVDatabase::ChangeToken> checked_;
  ULONGLONG firstBound_ = 0;
  std::unordered_map<DWORD, Place> places_;
  std::size_t checks_ = 0;
};
