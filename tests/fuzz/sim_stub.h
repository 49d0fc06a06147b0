// The fuzz targets' simulated stub: its file holds a 16-byte stand-in for
// the program, then the input as the data block; dataOffset points at it and
// the process state is as the stub's start-up leaves it.
#pragma once

#include <cstring>
#include <string>

#include "app/run.h"
#include "platform/host/sim.h"
#include "uninstall_info/uninstall_info.h"

namespace fuzz_stub {

const char kStubPath[] = "C:\\Program Files\\Vantor Gliders\\uninstall.exe";
const char kPrefix[] = "MZ fuzz stub....";
const size_t kPrefixSize = sizeof kPrefix - 1;

inline void PrepareStub(const uint8_t* data, size_t size) {
  static char modulePath[PATH_BUFFER_SIZE];
  SimReset();
  std::string file(kPrefix, kPrefixSize);
  file.append(reinterpret_cast<const char*>(data), size);
  SimAddFile(kStubPath, file);
  SimSetModulePath(kStubPath);
  std::memset(modulePath, 0, sizeof modulePath);
  ModulePath = modulePath;
  InstanceHandle = reinterpret_cast<HINSTANCE>(0x400000);
  OwnerWindow = nullptr;
  DataLocator.dataOffset = kPrefixSize;
}

}  // namespace fuzz_stub
