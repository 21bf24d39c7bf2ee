#include "brantel/device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>

namespace brantel {

int DeviceInterface::Open(const char* path, int flags) { return open(path, flags); }

int DeviceInterface::Ioctl(int fd, unsigned long request, void* arg) {
  return ioctl(fd, request, arg);
}

ssize_t DeviceInterface::Write(int fd, const void* data, size_t size) {
  return write(fd, data, size);
}

int DeviceInterface::WaitReadable(int fd, timeval* timeout, bool* readable) {
  *readable = false;
  // An fd_set cannot name a descriptor this large.
  if (fd < 0 || fd >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(fd, &read_set);
  int count = select(fd + 1, &read_set, nullptr, nullptr, timeout);
  if (count > 0) *readable = FD_ISSET(fd, &read_set);
  return count;
}

ssize_t DeviceInterface::Read(int fd, void* data, size_t size) { return read(fd, data, size); }

int DeviceInterface::Close(int fd) { return close(fd); }

HeapBytes DeviceInterface::AllocateCleared(size_t size) {
  // calloc(0) may answer null; one spare byte keeps "null" meaning "no memory".
  return HeapBytes(static_cast<uint8_t*>(calloc(size == 0 ? 1 : size, 1)));
}

}  // namespace brantel
