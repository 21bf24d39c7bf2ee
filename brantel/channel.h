#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "brantel/device.h"

namespace brantel {

// The 12-byte header that starts every request and response, little-endian on the wire.
struct MessageHeader {
  uint8_t major_version;
  uint8_t minor_version;
  uint16_t reserved;
  uint32_t command;
  uint32_t length;  // bytes after the header
};

inline constexpr size_t kMessageHeaderSize = 12;
// Header plus the u32 status that every response carries.
inline constexpr size_t kResponsePrefixSize = 16;
// Set in the command of a response to the request with the same command.
inline constexpr uint32_t kResponseCommandBit = 0x00800000;

inline constexpr MessageHeader CodeVersionsRequest = {1, 1, 0, 0x0400001A, 0};
inline constexpr MessageHeader ProvisioningStateRequest = {1, 1, 0, 0x04000011, 0};

inline constexpr uint8_t HostInterfaceClientUuid[16] = {
    0x28, 0x00, 0xF8, 0x12, 0xB7, 0xB4, 0x2D, 0x4B, 0xAC, 0xA8, 0x46, 0xE0, 0xFF, 0x65, 0x81, 0x4C};

// The connect request: read-write, type 'H', number 1, 16-byte argument.
inline constexpr unsigned long kConnectRequest = 0xC0104801;
inline constexpr const char* kPrimaryNode = "/dev/ostel0";
inline constexpr const char* kFallbackNode = "/dev/ostel";

// The wire form of `header`.
void EncodeMessageHeader(const MessageHeader& header, uint8_t out[kMessageHeaderSize]);
// The header at the start of `bytes`, which holds at least 12 bytes.
MessageHeader DecodeMessageHeader(const uint8_t* bytes);

// One open device node and what the connect request answered. `device` carries the calls; the
// caller sets it before OpenChannel.
struct DeviceConnection {
  uint8_t client_uuid[16] = {};
  bool initialized = false;
  bool verbose = false;
  uint32_t max_message_length = 0;  // also the size of every response buffer
  uint8_t protocol_version = 0;
  int descriptor = -1;
  DeviceInterface* device = nullptr;
};

// The connection plus the settings of its exchanges. Messages go to `diagnostics`, which the
// caller sets before OpenChannel.
struct HostInterfaceChannel {
  DeviceConnection connection;
  uint64_t send_timeout_ms = 0;
  bool initialized = false;
  FILE* diagnostics = nullptr;
};

// Results of Exchange; any other non-zero value is the controller's status.
enum ExchangeResult : uint32_t {
  ExchangeOk = 0,
  ExchangeFailed = 1,
  ExchangeNoBuffer = 0x1004,
  ExchangeEmptyResponse = 0x4000,
};

// A response buffer and its size; `bytes` is null only when the allocation failed.
struct ResponseBuffer {
  HeapBytes bytes;
  size_t size = 0;
};

// Opens /dev/ostel0 (or /dev/ostel when the first does not exist) and connects to the client.
// Returns false after printing why; the connection is then closed.
bool OpenChannel(HostInterfaceChannel& channel, bool verbose);

// Sends `request` and reads one response into `*response`, a fresh buffer of the connection's
// maximum message length that the caller owns whatever the result. Returns an ExchangeResult or
// the controller's non-zero status; a read that claims more bytes than the buffer holds is
// ExchangeFailed. Errors of the write, the wait or the read close the connection.
uint32_t Exchange(HostInterfaceChannel& channel, const MessageHeader& request,
                  uint32_t expected_command, ResponseBuffer* response);

// Closes the descriptor if one is open and resets the connection; harmless when already closed.
void CloseConnection(DeviceConnection& connection);

// The wait limit for a send timeout in milliseconds.
timeval TimeoutToTimeval(uint64_t milliseconds);

}  // namespace brantel
