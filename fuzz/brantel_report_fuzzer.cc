// brantel's whole report over a simulated controller whose answers come from the input: the
// connect reply's maximum message length, how each exchange's calls go, and the responses.
//
// Input (little-endian):
//   u8   bit 0 verbose, bit 1 the connect request refused, bits 2-3 the nodes (0 /dev/ostel0
//        opens, 1 only /dev/ostel exists, 2 /dev/ostel0 is not accessible, 3 neither exists),
//        bit 4 standard output cannot be written
//   u32  maximum message length; above 1 MiB every response buffer is refused, as an
//        allocation of that size may be
//   two exchanges, each: u8 calls (bits 0-1 the write: whole, short, failing, none written;
//        bits 2-3 the wait: ready, time-out, failing, ready without the descriptor; bit 4 the
//        read fails; bit 5 the buffer is refused; bit 6 the read claims one byte more than the
//        buffer holds), u16 n, then n response bytes
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "brantel/channel.h"
#include "brantel/report.h"
#include "brantel/testing/fake_device.h"
#include "fuzz/support.h"

namespace {

constexpr uint32_t kMaxBuffer = 1 << 20;

brantel::FakeExchange TakeExchange(fuzz::Input& input, uint32_t max_message_length,
                                   bool refuse_buffer) {
  const uint32_t calls = input.Take(1);
  brantel::FakeExchange exchange;
  switch (calls & 3) {
    case 1: exchange.WriteReturns(5); break;
    case 2: exchange.WriteReturns(-1, EIO); break;
    case 3: exchange.WriteReturns(0); break;
  }
  switch ((calls >> 2) & 3) {
    case 1: exchange.WaitReturns(0, false); break;
    case 2: exchange.WaitReturns(-1, false, EINTR); break;
    case 3: exchange.WaitReturns(1, false); break;
  }
  if (calls & 0x10) exchange.ReadFails(EIO);
  if (calls & 0x40) exchange.ReadReports(static_cast<ssize_t>(max_message_length) + 1);
  if ((calls & 0x20) || refuse_buffer) exchange.RefuseBuffer();
  exchange.Answer(input.TakeBytes(input.Take(2)));
  return exchange;
}

FILE* sink;
FILE* full;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceUtilityOutput();
  sink = fopen("/dev/null", "w");
  full = fopen("/dev/full", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input{data, size};
  const uint32_t settings = input.Take(1);
  brantel::FakeDevice device;
  device.ioctl_result = settings & 2 ? -1 : 0;
  switch ((settings >> 2) & 3) {
    case 1: device.open_errno[brantel::kPrimaryNode] = ENOENT; break;
    case 2: device.open_errno[brantel::kPrimaryNode] = EACCES; break;
    case 3:
      device.open_errno[brantel::kPrimaryNode] = ENOENT;
      device.open_errno[brantel::kFallbackNode] = ENOENT;
      break;
  }
  device.max_message_length = input.Take(4);
  const bool refuse = device.max_message_length > kMaxBuffer;
  device.exchanges.push_back(TakeExchange(input, device.max_message_length, refuse));
  device.exchanges.push_back(TakeExchange(input, device.max_message_length, refuse));
  const bool unwritable = settings & 0x10;
  FILE* out = unwritable ? full : sink;
  clearerr(out);

  const char* verbose[] = {"brantel", "-v", nullptr};
  const char* quiet[] = {"brantel", nullptr};
  const int status = settings & 1 ? brantel::RunReport(2, verbose, device, out, sink)
                                  : brantel::RunReport(1, quiet, device, out, sink);
  FUZZ_CHECK(status == 0 || status == 1);
  // A report that could not be written never ends as a success.
  FUZZ_CHECK(!unwritable || status == 1);
  // Once a node is open, every way out closes it, and closes it once.
  const bool opened = device.opened.size() > device.open_errno.size();
  FUZZ_CHECK(device.closed.size() == (opened ? 1u : 0u));
  return 0;
}
