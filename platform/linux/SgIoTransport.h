// The Linux transport: optical drives through the SG_IO ioctl. The system calls
// and the places it looks in are reachable through SgIoSystem, so request
// building and result mapping run against a fake tree and an injected ioctl.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "device/Transport.h"

struct SgIoSystem {
  // open(2), close(2) and ioctl(2): -1 with errno set on failure.
  std::function<int(const char* path, int flags)> Open;
  std::function<int(int fd)> Close;
  std::function<int(int fd, unsigned long request, void* argument)> Ioctl;
  // Where the block devices are listed, and where their device nodes live.
  std::string BlockClassDir = "/sys/class/block";
  std::string DevDir = "/dev";
};

// The real system calls and places.
SgIoSystem RealSgIoSystem();

std::unique_ptr<Transport> MakeSgIoTransport(SgIoSystem system);
