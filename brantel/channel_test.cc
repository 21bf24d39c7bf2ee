#include "brantel/channel.h"

#include <cerrno>
#include <string>
#include <vector>

#include "brantel/testing/fake_device.h"
#include "gtest/gtest.h"

namespace brantel {
namespace {

constexpr uint32_t kCodeVersionsResponseCommand = 0x0480001A;

std::vector<uint8_t> Wire(const MessageHeader& header) {
  std::vector<uint8_t> bytes(kMessageHeaderSize);
  EncodeMessageHeader(header, bytes.data());
  return bytes;
}

// A channel over `device` whose messages land in `err`.
HostInterfaceChannel MakeChannel(FakeDevice& device, MemoryStream& err) {
  HostInterfaceChannel channel;
  channel.connection.device = &device;
  channel.diagnostics = err.file();
  return channel;
}

// A well-formed 20-byte code-versions response (length field 8).
std::vector<uint8_t> ShortResponse() {
  return ResponseBuilder(kCodeVersionsResponseCommand).U32(0xAABBCCDD).Bytes();
}

TEST(Channel, RequestsOnTheWire) {
  EXPECT_EQ(Wire(CodeVersionsRequest),
            (std::vector<uint8_t>{0x01, 0x01, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x04, 0, 0, 0, 0}));
  EXPECT_EQ(Wire(ProvisioningStateRequest),
            (std::vector<uint8_t>{0x01, 0x01, 0x00, 0x00, 0x11, 0x00, 0x00, 0x04, 0, 0, 0, 0}));
  EXPECT_EQ(CodeVersionsRequest.command | kResponseCommandBit, 0x0480001Au);
  EXPECT_EQ(ProvisioningStateRequest.command | kResponseCommandBit, 0x04800011u);
}

TEST(Channel, TimeoutConversion) {
  struct Case {
    uint64_t ms;
    long seconds;
    long microseconds;
  } cases[] = {{5000, 5, 0}, {1500, 1, 500000}, {999, 0, 999000}, {0, 0, 0}, {61001, 61, 1000}};
  for (const Case& c : cases) {
    timeval limit = TimeoutToTimeval(c.ms);
    EXPECT_EQ(limit.tv_sec, c.seconds) << c.ms;
    EXPECT_EQ(limit.tv_usec, c.microseconds) << c.ms;
  }
}

TEST(Channel, OpenConnects) {
  for (bool verbose : {false, true}) {
    FakeDevice device;
    device.max_message_length = 4096;
    device.protocol_version = 3;
    MemoryStream err;
    HostInterfaceChannel channel = MakeChannel(device, err);

    ASSERT_TRUE(OpenChannel(channel, verbose));
    EXPECT_EQ(device.opened, std::vector<std::string>{"/dev/ostel0"});
    EXPECT_EQ(device.connect_request, 0xC0104801ul);
    EXPECT_EQ(device.connect_argument,
              (std::vector<uint8_t>{0x28, 0x00, 0xF8, 0x12, 0xB7, 0xB4, 0x2D, 0x4B, 0xAC, 0xA8,
                                    0x46, 0xE0, 0xFF, 0x65, 0x81, 0x4C}));
    const DeviceConnection& connection = channel.connection;
    EXPECT_EQ(connection.descriptor, FakeDevice::kDescriptor);
    EXPECT_TRUE(connection.initialized);
    EXPECT_EQ(connection.verbose, verbose);
    EXPECT_EQ(connection.max_message_length, 4096u);
    EXPECT_EQ(connection.protocol_version, 3);
    EXPECT_EQ(0, memcmp(connection.client_uuid, HostInterfaceClientUuid, 16));
    EXPECT_TRUE(channel.initialized);
    EXPECT_EQ(channel.send_timeout_ms, 5000u);
    EXPECT_EQ(err.Text(), verbose ? "max_message_length 4096\nprotocol_version 3\n" : "");
    EXPECT_TRUE(device.closed.empty());
  }
}

TEST(Channel, OpenFailures) {
  const std::string kNoInterface =
      "Unable to find a Varnhold interface - run sudo modprobe ostelcore and retry.\n"
      "If you receive the same error, this system does not have Dravik\n";
  struct Case {
    const char* name;
    int primary_errno;   // 0: opens
    int fallback_errno;  // 0: opens
    int ioctl_result;
    bool opens;
    std::vector<std::string> tried;
    std::string err;
    std::vector<int> closed;
  } cases[] = {
      {"fallback node", ENOENT, 0, 0, true, {"/dev/ostel0", "/dev/ostel"}, "", {}},
      {"primary denied",
       EACCES,
       0,
       0,
       false,
       {"/dev/ostel0"},
       "Cannot open /dev/ostel0: Permission denied\n",
       {}},
      {"primary busy",
       EBUSY,
       0,
       0,
       false,
       {"/dev/ostel0"},
       "Cannot open /dev/ostel0: Device or resource busy\n",
       {}},
      {"neither node", ENOENT, ENOENT, 0, false, {"/dev/ostel0", "/dev/ostel"}, kNoInterface, {}},
      {"fallback denied",
       ENOENT,
       EACCES,
       0,
       false,
       {"/dev/ostel0", "/dev/ostel"},
       "Cannot open /dev/ostel: Permission denied\n",
       {}},
      {"connect refused",
       0,
       0,
       -1,
       false,
       {"/dev/ostel0"},
       "Error: Varnhold refused connection. This probably means you don't have Dravik\n",
       {FakeDevice::kDescriptor}},
      {"connect refused on fallback",
       ENOENT,
       0,
       1,
       false,
       {"/dev/ostel0", "/dev/ostel"},
       "Error: Varnhold refused connection. This probably means you don't have Dravik\n",
       {FakeDevice::kDescriptor}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    if (c.primary_errno) device.open_errno["/dev/ostel0"] = c.primary_errno;
    if (c.fallback_errno) device.open_errno["/dev/ostel"] = c.fallback_errno;
    device.ioctl_result = c.ioctl_result;
    MemoryStream err;
    HostInterfaceChannel channel = MakeChannel(device, err);

    EXPECT_EQ(OpenChannel(channel, true), c.opens);
    EXPECT_EQ(device.opened, c.tried);
    EXPECT_EQ(device.closed, c.closed);
    if (c.opens) continue;
    EXPECT_EQ(err.Text(), c.err);
    EXPECT_EQ(channel.connection.descriptor, -1);
    EXPECT_FALSE(channel.connection.initialized);
    EXPECT_EQ(channel.connection.max_message_length, 0u);
    EXPECT_FALSE(channel.initialized);
  }
}

TEST(Channel, ExchangeSendsAndReads) {
  FakeDevice device;
  device.max_message_length = 300;
  device.exchanges = {FakeExchange().Answer(ShortResponse())};
  MemoryStream err;
  HostInterfaceChannel channel = MakeChannel(device, err);
  ASSERT_TRUE(OpenChannel(channel, false));

  ResponseBuffer response;
  EXPECT_EQ(Exchange(channel, CodeVersionsRequest, kCodeVersionsResponseCommand, &response),
            ExchangeOk);
  EXPECT_EQ(device.written, std::vector<std::vector<uint8_t>>{Wire(CodeVersionsRequest)});
  ASSERT_EQ(device.wait_limits.size(), 1u);
  EXPECT_EQ(device.wait_limits[0].tv_sec, 5);
  EXPECT_EQ(device.wait_limits[0].tv_usec, 0);
  EXPECT_EQ(device.read_sizes, std::vector<size_t>{300});
  ASSERT_NE(response.bytes, nullptr);
  EXPECT_EQ(response.size, 300u);
  std::vector<uint8_t> expected = ShortResponse();
  expected.resize(300);  // the rest of the buffer stays zero
  EXPECT_EQ(std::vector<uint8_t>(response.bytes.get(), response.bytes.get() + 300), expected);
  EXPECT_EQ(err.Text(), "");
}

// Results, messages and connection state for each way an exchange can go.
TEST(Channel, ExchangeOutcomes) {
  const std::vector<uint8_t> kGood = ShortResponse();
  struct Case {
    const char* name;
    FakeExchange exchange;
    uint32_t result;
    std::string err;
    bool stays_open;
  } cases[] = {
      {"ok", FakeExchange().Answer(kGood), ExchangeOk, "", true},
      {"no buffer", FakeExchange().RefuseBuffer(), ExchangeNoBuffer, "", true},
      {"write error", FakeExchange().WriteReturns(-1, EIO), ExchangeFailed,
       "Error: write failed with status -1 Input/output error\n", false},
      {"timeout", FakeExchange().WaitReturns(0, false), ExchangeFailed,
       "Error: write failed on timeout with status\n", true},
      {"wait error", FakeExchange().WaitReturns(-1, false, EINTR), ExchangeFailed,
       "Error: write failed on select with status -1\n", false},
      {"not ready", FakeExchange().WaitReturns(2, false), ExchangeFailed,
       "Error: write failed on select with status 2\n", true},
      {"short write", FakeExchange().WriteReturns(11).Answer(kGood), ExchangeFailed, "", true},
      {"short write, then timeout", FakeExchange().WriteReturns(3).WaitReturns(0, false),
       ExchangeFailed, "Error: write failed on timeout with status\n", true},
      {"read error", FakeExchange().ReadFails(EIO), ExchangeFailed,
       "Error: read failed with status -1 Input/output error\n", false},
      {"empty read", FakeExchange(), ExchangeEmptyResponse, "", true},
      // The header agrees with the claimed count, which lies past the 4096-byte buffer.
      {"read claims more than the buffer",
       FakeExchange()
           .Answer(ResponseBuilder(kCodeVersionsResponseCommand).Set(8, 4085, 4).Bytes())
           .ReadReports(4097),
       ExchangeFailed, "", true},
      {"status 0x4000",
       FakeExchange().Answer(
           ResponseBuilder(kCodeVersionsResponseCommand).Set(12, 0x4000, 4).Bytes()),
       ExchangeEmptyResponse, "", true},
      {"controller status",
       FakeExchange().Answer(
           ResponseBuilder(kCodeVersionsResponseCommand).Set(12, 0x22, 4).Bytes()),
       0x22, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    device.exchanges = {c.exchange};
    MemoryStream err;
    HostInterfaceChannel channel = MakeChannel(device, err);
    ASSERT_TRUE(OpenChannel(channel, false));

    ResponseBuffer response;
    EXPECT_EQ(Exchange(channel, CodeVersionsRequest, kCodeVersionsResponseCommand, &response),
              c.result);
    EXPECT_EQ(err.Text(), c.err);
    EXPECT_EQ(response.bytes == nullptr, c.exchange.refuse_buffer);
    EXPECT_EQ(channel.connection.descriptor != -1, c.stays_open);
    EXPECT_EQ(device.closed.size(), c.stays_open ? 0u : 1u);
    EXPECT_EQ(device.written.size(), c.exchange.refuse_buffer ? 0u : 1u);
  }
}

// The response checks in their order: emptiness, then status, then the header fields.
TEST(Channel, ResponseChecks) {
  auto good = [] { return ResponseBuilder(kCodeVersionsResponseCommand).U32(0); };
  std::vector<uint8_t> fourteen = good().Bytes();
  fourteen.resize(14);
  std::vector<uint8_t> fourteen_with_status = fourteen;
  fourteen_with_status[12] = 5;
  struct Case {
    const char* name;
    std::vector<uint8_t> response;
    uint32_t result;
  } cases[] = {
      {"well formed", good().Bytes(), ExchangeOk},
      {"minor version 2", good().Set(1, 2, 1).Bytes(), ExchangeOk},
      {"minor version 0", good().Set(1, 0, 1).Bytes(), ExchangeFailed},
      {"major version 2", good().Set(0, 2, 1).Bytes(), ExchangeFailed},
      {"major version 0", good().Set(0, 0, 1).Bytes(), ExchangeFailed},
      {"reserved set", good().Set(2, 0x100, 2).Bytes(), ExchangeFailed},
      {"request command", good().Set(4, 0x0400001A, 4).Bytes(), ExchangeFailed},
      {"other response command", good().Set(4, 0x04800011, 4).Bytes(), ExchangeFailed},
      {"20 bytes, length 8", good().Set(8, 8, 4).Bytes(), ExchangeOk},
      {"20 bytes, length 9", good().Set(8, 9, 4).Bytes(), ExchangeFailed},
      {"20 bytes, length 7", good().Set(8, 7, 4).Bytes(), ExchangeFailed},
      {"fewer than 16 bytes", fourteen, ExchangeFailed},
      {"status before size", fourteen_with_status, 5},
      {"status before header", good().Set(0, 9, 1).Set(4, 0, 4).Set(12, 0x77, 4).Bytes(), 0x77},
      {"status 0x4000 before header", good().Set(1, 0, 1).Set(12, 0x4000, 4).Bytes(),
       ExchangeEmptyResponse},
      {"longer than the buffer", std::vector<uint8_t>(good().Bytes().size() + 200, 1), 0x01010101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    device.max_message_length = 64;
    device.exchanges = {FakeExchange().Answer(c.response)};
    MemoryStream err;
    HostInterfaceChannel channel = MakeChannel(device, err);
    ASSERT_TRUE(OpenChannel(channel, false));
    ResponseBuffer response;
    EXPECT_EQ(Exchange(channel, CodeVersionsRequest, kCodeVersionsResponseCommand, &response),
              c.result);
  }
}

// Every prefix of a well-formed response is refused, and nothing is read past what arrived.
TEST(Channel, TruncatedResponses) {
  const std::vector<uint8_t> full = ShortResponse();
  for (size_t size = 0; size <= full.size(); ++size) {
    SCOPED_TRACE(size);
    FakeDevice device;
    device.max_message_length = static_cast<uint32_t>(size);
    device.exchanges = {FakeExchange().Answer(full)};
    MemoryStream err;
    HostInterfaceChannel channel = MakeChannel(device, err);
    ASSERT_TRUE(OpenChannel(channel, false));
    ResponseBuffer response;
    uint32_t expected = size == full.size() ? ExchangeOk : ExchangeFailed;
    EXPECT_EQ(Exchange(channel, CodeVersionsRequest, kCodeVersionsResponseCommand, &response),
              expected);
  }
}

// A buffer below 16 bytes cannot hold a response: every exchange is malformed, whatever comes.
TEST(Channel, MaximumMessageLengthBelowSixteen) {
  const std::vector<uint8_t> responses[] = {
      {},
      ShortResponse(),
      ResponseBuilder(kCodeVersionsResponseCommand).Set(12, 0x4000, 4).Bytes(),
      ResponseBuilder(kCodeVersionsResponseCommand).Set(12, 0x22, 4).Bytes(),
  };
  for (uint32_t max_length : {0u, 1u, 12u, 15u}) {
    for (const std::vector<uint8_t>& bytes : responses) {
      SCOPED_TRACE(testing::Message() << max_length << " " << bytes.size());
      FakeDevice device;
      device.max_message_length = max_length;
      device.exchanges = {FakeExchange().Answer(bytes)};
      MemoryStream err;
      HostInterfaceChannel channel = MakeChannel(device, err);
      ASSERT_TRUE(OpenChannel(channel, false));
      ResponseBuffer response;
      EXPECT_EQ(Exchange(channel, CodeVersionsRequest, kCodeVersionsResponseCommand, &response),
                ExchangeFailed);
      EXPECT_EQ(device.read_sizes, std::vector<size_t>{max_length});
      EXPECT_EQ(channel.connection.descriptor, FakeDevice::kDescriptor);
    }
  }
}

TEST(Channel, VerboseTrace) {
  struct Case {
    const char* name;
    FakeExchange exchange;
    std::string err;
  } cases[] = {
      {"ok", FakeExchange().Answer(ShortResponse()),
       "max_message_length 512\nprotocol_version 1\ncall write length = 12\nwrite success\n"
       "call read length = 512\nread succeeded with result 20\n"},
      {"empty", FakeExchange(),
       "max_message_length 512\nprotocol_version 1\ncall write length = 12\nwrite success\n"
       "call read length = 512\nread succeeded with result 0\n"},
      {"timeout", FakeExchange().WaitReturns(0, false),
       "max_message_length 512\nprotocol_version 1\ncall write length = 12\n"
       "Error: write failed on timeout with status\n"},
      {"short write", FakeExchange().WriteReturns(4),
       "max_message_length 512\nprotocol_version 1\ncall write length = 12\nwrite success\n"},
      {"read claims more than the buffer", FakeExchange().Answer(ShortResponse()).ReadReports(513),
       "max_message_length 512\nprotocol_version 1\ncall write length = 12\nwrite success\n"
       "call read length = 512\nread succeeded with result 513\n"},
      {"read error", FakeExchange().ReadFails(EBADF),
       "max_message_length 512\nprotocol_version 1\ncall write length = 12\nwrite success\n"
       "call read length = 512\nError: read failed with status -1 Bad file descriptor\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice device;
    device.max_message_length = 512;
    device.exchanges = {c.exchange};
    MemoryStream err;
    HostInterfaceChannel channel = MakeChannel(device, err);
    ASSERT_TRUE(OpenChannel(channel, true));
    ResponseBuffer response;
    Exchange(channel, CodeVersionsRequest, kCodeVersionsResponseCommand, &response);
    EXPECT_EQ(err.Text(), c.err);
  }
}

TEST(Channel, CloseConnectionTwice) {
  FakeDevice device;
  MemoryStream err;
  HostInterfaceChannel channel = MakeChannel(device, err);
  ASSERT_TRUE(OpenChannel(channel, true));

  CloseConnection(channel.connection);
  CloseConnection(channel.connection);
  EXPECT_EQ(device.closed, std::vector<int>{FakeDevice::kDescriptor});
  EXPECT_EQ(channel.connection.descriptor, -1);
  EXPECT_EQ(channel.connection.max_message_length, 0u);
  EXPECT_EQ(channel.connection.protocol_version, 0);
  EXPECT_FALSE(channel.connection.initialized);
  // The channel's own settings outlive the connection.
  EXPECT_EQ(channel.send_timeout_ms, 5000u);
  EXPECT_TRUE(channel.initialized);
}

TEST(Channel, CloseAfterFailedExchangeClosesOnce) {
  FakeDevice device;
  device.exchanges = {FakeExchange().ReadFails(EIO)};
  MemoryStream err;
  HostInterfaceChannel channel = MakeChannel(device, err);
  ASSERT_TRUE(OpenChannel(channel, false));
  ResponseBuffer response;
  EXPECT_EQ(Exchange(channel, CodeVersionsRequest, kCodeVersionsResponseCommand, &response),
            ExchangeFailed);
  CloseConnection(channel.connection);
  EXPECT_EQ(device.closed, std::vector<int>{FakeDevice::kDescriptor});
}

}  // namespace
}  // namespace brantel
