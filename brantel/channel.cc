#include "brantel/channel.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace brantel {
namespace {

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreU16(uint16_t value, uint8_t* p) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

void StoreU32(uint32_t value, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// perror's layout, on the channel's stream.
void PrintSystemError(FILE* stream, const char* what, int error) {
  fprintf(stream, "%s: %s\n", what, strerror(error));
}

// Opens the primary node, falling back to the other one only when the primary does not exist.
// Returns the descriptor, or -1 after printing why.
int OpenDeviceNode(DeviceInterface& device, FILE* diagnostics) {
  int fd = device.Open(kPrimaryNode, O_RDWR);
  if (fd >= 0) return fd;
  if (errno != ENOENT) {
    PrintSystemError(diagnostics, "Cannot open /dev/ostel0", errno);
    return -1;
  }
  fd = device.Open(kFallbackNode, O_RDWR);
  if (fd >= 0) return fd;
  if (errno != ENOENT) {
    PrintSystemError(diagnostics, "Cannot open /dev/ostel", errno);
    return -1;
  }
  fputs(
      "Unable to find a Varnhold interface - run sudo modprobe ostelcore and retry.\n"
      "If you receive the same error, this system does not have Dravik\n",
      diagnostics);
  return -1;
}

// The header checks of a received response, in their order of precedence. `bytes` holds at
// least kResponsePrefixSize bytes, zero where nothing was received.
uint32_t CheckResponse(const uint8_t* bytes, size_t received, uint32_t expected_command) {
  if (received == 0) return ExchangeEmptyResponse;
  uint32_t status = LoadU32(bytes + kMessageHeaderSize);
  if (status != 0) return status;
  if (received < kResponsePrefixSize) return ExchangeFailed;
  MessageHeader header = DecodeMessageHeader(bytes);
  if (received != static_cast<uint64_t>(header.length) + kMessageHeaderSize) return ExchangeFailed;
  if (header.command != expected_command) return ExchangeFailed;
  if (header.reserved != 0) return ExchangeFailed;
  if (header.major_version != 1) return ExchangeFailed;
  if (header.minor_version == 0) return ExchangeFailed;
  return ExchangeOk;
}

}  // namespace

void EncodeMessageHeader(const MessageHeader& header, uint8_t out[kMessageHeaderSize]) {
  out[0] = header.major_version;
  out[1] = header.minor_version;
  StoreU16(header.reserved, out + 2);
  StoreU32(header.command, out + 4);
  StoreU32(header.length, out + 8);
}

MessageHeader DecodeMessageHeader(const uint8_t* bytes) {
  return MessageHeader{bytes[0], bytes[1], LoadU16(bytes + 2), LoadU32(bytes + 4),
                       LoadU32(bytes + 8)};
}

timeval TimeoutToTimeval(uint64_t milliseconds) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
  limit.tv_usec = static_cast<suseconds_t>(milliseconds % 1000 * 1000);
  return limit;
}

bool OpenChannel(HostInterfaceChannel& channel, bool verbose) {
  DeviceConnection& connection = channel.connection;
  FILE* diagnostics = channel.diagnostics;
  channel.send_timeout_ms = 5000;
  connection.verbose = verbose;

  int fd = OpenDeviceNode(*connection.device, diagnostics);
  if (fd < 0) {
    CloseConnection(connection);
    return false;
  }
  connection.descriptor = fd;
  connection.initialized = true;
  memcpy(connection.client_uuid, HostInterfaceClientUuid, sizeof(connection.client_uuid));

  // In: the client UUID. Out: u32 maximum message length, then the u8 protocol version.
  uint8_t argument[16];
  memcpy(argument, HostInterfaceClientUuid, sizeof(argument));
  if (connection.device->Ioctl(fd, kConnectRequest, argument) != 0) {
    fputs("Error: Varnhold refused connection. This probably means you don't have Dravik\n",
          diagnostics);
    CloseConnection(connection);
    return false;
  }
  uint32_t max_message_length = LoadU32(argument);
  uint8_t protocol_version = argument[4];
  if (verbose) {
    fprintf(diagnostics, "max_message_length %d\n", static_cast<int>(max_message_length));
    fprintf(diagnostics, "protocol_version %d\n", protocol_version);
  }
  connection.max_message_length = max_message_length;
  connection.protocol_version = protocol_version;
  channel.initialized = true;
  return true;
}

uint32_t Exchange(HostInterfaceChannel& channel, const MessageHeader& request,
                  uint32_t expected_command, ResponseBuffer* response) {
  DeviceConnection& connection = channel.connection;
  DeviceInterface& device = *connection.device;
  FILE* diagnostics = channel.diagnostics;
  bool verbose = connection.verbose;

  response->size = connection.max_message_length;
  response->bytes = device.AllocateCleared(response->size);
  if (!response->bytes) {
    response->size = 0;
    return ExchangeNoBuffer;
  }
  timeval limit = TimeoutToTimeval(channel.send_timeout_ms);

  uint8_t wire[kMessageHeaderSize];
  EncodeMessageHeader(request, wire);
  if (verbose) {
    fprintf(diagnostics, "call write length = %zd\n", static_cast<ssize_t>(sizeof(wire)));
  }
  ssize_t written = device.Write(connection.descriptor, wire, sizeof(wire));
  if (written < 0) {
    fprintf(diagnostics, "Error: write failed with status %zd %s\n", written, strerror(errno));
    CloseConnection(connection);
    return ExchangeFailed;
  }

  bool readable = false;
  int ready = device.WaitReadable(connection.descriptor, &limit, &readable);
  if (ready == 0) {
    fputs("Error: write failed on timeout with status\n", diagnostics);
    return ExchangeFailed;
  }
  if (ready < 0) {
    fprintf(diagnostics, "Error: write failed on select with status %zd\n",
            static_cast<ssize_t>(ready));
    CloseConnection(connection);
    return ExchangeFailed;
  }
  if (!readable) {
    fprintf(diagnostics, "Error: write failed on select with status %zd\n",
            static_cast<ssize_t>(ready));
    return ExchangeFailed;
  }
  if (verbose) fputs("write success\n", diagnostics);
  if (written != static_cast<ssize_t>(sizeof(wire))) return ExchangeFailed;

  if (verbose) {
    fprintf(diagnostics, "call read length = %zd\n", static_cast<ssize_t>(response->size));
  }
  ssize_t received = device.Read(connection.descriptor, response->bytes.get(), response->size);
  if (received < 0) {
    fprintf(diagnostics, "Error: read failed with status %zd %s\n", received, strerror(errno));
    CloseConnection(connection);
    return ExchangeFailed;
  }
  if (verbose) fprintf(diagnostics, "read succeeded with result %zd\n", received);

  // A buffer too small for the header and the status cannot hold a well-formed response, and a
  // driver that claims more bytes than the buffer holds has not delivered a response in it.
  if (response->size < kResponsePrefixSize) return ExchangeFailed;
  if (static_cast<size_t>(received) > response->size) return ExchangeFailed;
  return CheckResponse(response->bytes.get(), static_cast<size_t>(received), expected_command);
}

void CloseConnection(DeviceConnection& connection) {
  if (connection.descriptor != -1) connection.device->Close(connection.descriptor);
  connection.descriptor = -1;
  connection.max_message_length = 0;
  connection.protocol_version = 0;
  connection.initialized = false;
}

}  // namespace brantel
