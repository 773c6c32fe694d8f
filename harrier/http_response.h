#pragma once
// The response side of a download, over a connected socket: the status
// line and the header, then the body stored block by block into a file,
// its first block checked for an FLV header. Socket failures are raised as
// CBlockingSocketException.

#include <atomic>
#include <cstdint>
#include <functional>

#include "harrier/blocking_socket.h"

namespace kestrel::harrier {

inline constexpr std::size_t kResponseBlockSize = 10000;

enum class HeadResult {
    Success,      // a 2xx status; the header was read up to its blank line
    HttpFailure,  // any other status, or a status line without one
    Stopped,      // the stop flag was set
};
HeadResult readResponseHead(CHttpBlockingSocket& socket, const std::atomic<bool>& stop);

enum class BodyResult {
    Completed,     // the peer closed the connection
    NotFlv,        // the first block of 9 or more bytes was no FLV header; it was not stored
    WriteFailure,  // the file could not be written
    Stopped,       // the stop flag was set (the block read then is stored)
};
// stored counts the bytes written to fd; onStored is told after each block.
BodyResult receiveBody(CHttpBlockingSocket& socket, int fd, const std::atomic<bool>& stop, std::uint64_t& stored,
                       const std::function<void(std::uint64_t)>& onStored = {});

}  // namespace kestrel::harrier
