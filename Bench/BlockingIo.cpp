#include "BlockingIo.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

namespace Vantrel::HolvaneApi::Bench {

bool sendAll(int fd, const void* data, size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, next, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            if (sent < 0 && errno == EINTR)
                continue;
            return false;
        }
        next += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool recvAll(int fd, void* data, size_t size)
{
    char* next = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::recv(fd, next, size, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            return false;
        }
        next += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

} // namespace Vantrel::HolvaneApi::Bench
