#include <cstdio>

#include "brantel/device.h"
#include "brantel/report.h"

int main(int argc, char** argv) {
  brantel::DeviceInterface device;
  return brantel::RunReport(argc, argv, device, stdout, stderr);
}
