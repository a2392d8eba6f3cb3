// The container file format in one place, published to the product and to the suite's
// converter alike: the statements that create a container's tables (their texts are part of
// the format and are compared byte for byte by other readers), the block size of stored
// images, the container's suffix, the empty-folder marker and the schema versions.
//
// Column positions matter as much as the texts: every query reads its columns by position in
// the order the CREATE TABLE statements list them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"

namespace container {

// The four statements that make a new container, executed in this order.
inline constexpr std::array<const char*, 4> kCreateStatements = {
    "CREATE TABLE FOLDER_INFO(FOLDER_ID INTEGER CONSTRAINT kt PRIMARY KEY AUTOINCREMENT,"
    "FOLDER_NAME TEXT,PARENT_FOLDER_ID INTEGER,FOLDER_ATTRIBS INTEGER,FOLDER_DATE INTEGER,"
    "FOLDER_TIME INTEGER)",
    "CREATE TABLE FOLDER_OPTIONS(FOLDER_ID INTEGER CONSTRAINT kt PRIMARY KEY,FOLDER_DATA BLOB,"
    "CSP_NAME TEXT)",
    "CREATE TABLE FILE_INFO(FILE_ID INTEGER CONSTRAINT kt PRIMARY KEY AUTOINCREMENT,FOLDER_ID "
    "INTEGER,FILE_NAME TEXT,FILE_SIZE INTEGER,FILE_DATE INTEGER,FILE_TIME INTEGER,FILE_ATTRIBS "
    "INTEGER,FILE_MODIFIED_TIME BLOB,FILE_CREATED_TIME BLOB,FILE_ACCESSED_TIME BLOB)",
    "CREATE TABLE FILE_DATA(FILE_ID INTEGER,BLOCK_ID INTEGER,BLOCK_DATA BLOB)",
};

// The tables those statements make, in the same order.
inline constexpr std::array<const char*, 4> kTableNames = {"FOLDER_INFO", "FOLDER_OPTIONS",
                                                           "FILE_INFO", "FILE_DATA"};
// The table SQLite itself makes for the AUTOINCREMENT keys, as it makes it.
inline constexpr const char* kSequenceTable = "sqlite_sequence";
inline constexpr const char* kCreateSequenceTable = "CREATE TABLE sqlite_sequence(name,seq)";

// FILE_INFO as containers of the first schema version have it (seven columns, no time blobs).
// Such containers are still read and written; this system never creates one.
inline constexpr const char* kCreateFileInfoVersion1 =
    "CREATE TABLE FILE_INFO(FILE_ID INTEGER CONSTRAINT kt PRIMARY KEY AUTOINCREMENT,FOLDER_ID "
    "INTEGER,FILE_NAME TEXT,FILE_SIZE INTEGER,FILE_DATE INTEGER,FILE_TIME INTEGER,FILE_ATTRIBS "
    "INTEGER)";

inline constexpr DWORD kSchemaVersion1 = 1;
inline constexpr DWORD kSchemaVersion2 = 2;
// FILE_INFO of a version 1 container has exactly this many columns.
inline constexpr int kVersion1FileInfoColumns = 7;

// The first bytes of a container of the legacy (pre-SQLite) format, which only the converter
// reads. A file that starts with neither these nor the SQLite header is no container.
inline constexpr char kLegacyMagic[8] = {'Q', 'V', 'L', 'E', 'G', 'A', 'C', 'Y'};

// Every stored image is cut into blocks of this size; only a file's last block is shorter.
inline constexpr std::size_t kBlockSize = 1048576;

// A container is a file with this ending beside the folder it came from.
inline constexpr const char* kContainerSuffix = ".qvef";
// The entry that makes an empty folder exist; always stored in lower case.
inline constexpr const char* kEmptyFolderMarker = "qvdummyffff.qvf";
// Stored file names are the plain names with the encrypted-file ending.
inline constexpr const char* kImageSuffix = kQvfFileSuffix;

// Folder id of the container's root, which has no FOLDER_INFO row.
inline constexpr DWORD kRootFolderId = 0;
// The name GetFolderName gives for the root.
inline constexpr const char* kRootFolderName = "RootFolder";

// Inside a container folders are separated by a backslash, as the Windows version stores them.
inline constexpr char kStoredSeparator = '\\';

// Column positions.
namespace folder_info {
inline constexpr int kId = 0, kName = 1, kParent = 2, kAttributes = 3, kDate = 4, kTime = 5;
inline constexpr int kColumns = 6;
}  // namespace folder_info
namespace folder_options {
inline constexpr int kId = 0, kData = 1, kCspName = 2;
}  // namespace folder_options
namespace file_info {
inline constexpr int kId = 0, kFolder = 1, kName = 2, kSize = 3, kDate = 4, kTime = 5,
                     kAttributes = 6, kModified = 7, kCreated = 8, kAccessed = 9;
}  // namespace file_info
namespace file_data {
inline constexpr int kFileId = 0, kBlockId = 1, kData = 2;
}  // namespace file_data

// Rows of FOLDER_OPTIONS other than the protection record keep what a folder had on disk
// (its mode and exact times): FOLDER_ID is this base plus the folder's id (0 for the root),
// beyond every 32-bit id, so nothing that addresses folders by id ever meets them.
inline constexpr std::int64_t kFolderFactsIdBase = std::int64_t{1} << 32;
// FOLDER_DATA of such a row: "QVFA", u16 version 1, u16 mode (0 to 0777), then the last-write
// and last-access times, each as i64 seconds since 1970 (UTC) and u32 nanoseconds, all
// little-endian.
inline constexpr std::size_t kFolderFactsSize = 32;

// The CSP name is handed out in a buffer of this many bytes, terminator included.
inline constexpr std::size_t kCspNameBufferSize = 1024;

}  // namespace container
