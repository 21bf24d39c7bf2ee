#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace brantel {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// A heap buffer from AllocateCleared, released with free().
using HeapBytes = std::unique_ptr<uint8_t[], FreeDeleter>;

// The calls the channel makes on the controller's device node. The methods are the real system
// calls; tests override them. Every call reports failure as the system call does: a negative
// result with errno set.
//
// The methods are virtual but not pure, and brantel is built without exceptions: a pure virtual
// or a throwing allocation would pull the C++ runtime's exception support, and with it a second
// shared library, into the shipped binary.
class DeviceInterface {
 public:
  virtual ~DeviceInterface() = default;

  // open(2) of `path` with `flags`; returns the descriptor.
  virtual int Open(const char* path, int flags);
  // ioctl(2) with a pointer argument that the driver reads and writes.
  virtual int Ioctl(int fd, unsigned long request, void* arg);
  // write(2) of one whole message.
  virtual ssize_t Write(int fd, const void* data, size_t size);
  // select(2) for readability of `fd` alone, at most `timeout`; returns select's result and sets
  // `*readable` to whether `fd` is in the returned set.
  virtual int WaitReadable(int fd, timeval* timeout, bool* readable);
  // read(2) of one whole message into `data`.
  virtual ssize_t Read(int fd, void* data, size_t size);
  // close(2).
  virtual int Close(int fd);
  // A zero-filled buffer of `size` bytes, null when it cannot be had. Response buffers come from
  // here so that a test can refuse one.
  virtual HeapBytes AllocateCleared(size_t size);
};

}  // namespace brantel
