// The Linux transport: optical drives through the SG_IO ioctl. The system calls
// and the places it looks in are reachable through SgIoSystem, so request
// building and result mapping run against a fake tree and an injected ioctl.
#pragma once

#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "device/Transport.h"

struct SgIoSystem {
  // open(2), close(2) and ioctl(2): -1 with errno set on failure.
  std::function<int(const char* path, int flags)> Open;
  std::function<int(int fd)> Close;
  std::function<int(int fd, unsigned long request, void* argument)> Ioctl;
  // flock(2): -1 with errno set on failure.
  std::function<int(int fd, int operation)> Flock;
  // Where the block devices are listed (with their media polling and device
  // numbers), where the generic nodes are listed (with their block devices),
  // where the device nodes live, and the mounts.
  std::string BlockClassDir = "/sys/class/block";
  std::string GenericClassDir = "/sys/class/scsi_generic";
  std::string DevDir = "/dev";
  std::string MountInfo = "/proc/self/mountinfo";
  // Where a line for the standard error stream goes.
  std::function<void(const std::string& line)> Say = [](const std::string& line) {
    std::cerr << line << '\n';
  };
};

// The real system calls and places.
SgIoSystem RealSgIoSystem();

std::unique_ptr<Transport> MakeSgIoTransport(SgIoSystem system);
