#pragma once

#include <cstddef>

namespace Vantrel::HolvaneApi::Bench {

// Whole-buffer transfers on a blocking socket, retried on EINTR; false when the
// peer closed or the socket failed. Shared by the hand-written clients, so the
// floor and the reference client pay exactly the same system calls.
bool sendAll(int fd, const void* data, size_t size);
bool recvAll(int fd, void* data, size_t size);

} // namespace Vantrel::HolvaneApi::Bench
