// What the monitor's class hands to the user's monitor process, and where the two meet.
//
// A request travels as one mailslot message: "QVMR", a u16 version, the entry's token (16
// hexadecimal digits naming its record in the watch list), the last-write time (u64), folder
// and file id (u32 each), then the container path, the plain copy's path and the user id,
// each as a u32 length and that many bytes; all little-endian. The process takes a file over
// by writing its record under that token, which is how the class learns that it did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvmonitor {

inline constexpr char kMailslotName[] = "\\\\.\\mailslot\\QvDecryptedFileMonitor";
// The program beside the monitor's library.
inline constexpr char kProgramName[] = "qvmonitor";
// Paths are limited as everywhere in the suite; the user id is a key name.
inline constexpr std::size_t kMaxPathLength = 8000;
inline constexpr std::size_t kMaxUserIdLength = 1024;
inline constexpr std::size_t kTokenLength = 16;
inline constexpr std::size_t kMaxRequestSize =
    4 + 2 + kTokenLength + 8 + 4 + 4 + 3 * 4 + 2 * kMaxPathLength + kMaxUserIdLength;

struct MonitorRequest {
  std::string token;
  std::string containerPath;
  std::string decryptedPath;
  std::string userId;
  std::uint64_t lastWriteTime = 0;
  std::uint32_t folderId = 0;
  std::uint32_t fileId = 0;
};

// True when `token` is 16 lower-case hexadecimal digits.
[[nodiscard]] bool IsValidToken(const std::string& token);
// A new random token; empty when the system gives no random numbers.
[[nodiscard]] std::string NewToken();

// Empty when a field is out of its bounds (or holds a NUL), so nothing unbounded is sent.
[[nodiscard]] std::vector<std::uint8_t> EncodeRequest(const MonitorRequest& request);
// Every length is checked against the bytes there are and the bounds above.
[[nodiscard]] std::optional<MonitorRequest> DecodeRequest(const std::uint8_t* data,
                                                          std::size_t size);

// The user's monitor state under the machine root: "<root>/monitor-<uid>" (0700), holding
// "watch/<token>" records and the "kept" folder of edits that could not be stored back.
// Created when missing; empty when it cannot be made or is not private to the user.
[[nodiscard]] std::string StateFolder();

}  // namespace qvmonitor
