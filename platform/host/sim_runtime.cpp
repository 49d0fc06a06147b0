// The call log, failure rules, last error, handle numbers, the platform
// version and the counted runtime allocator.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/host/sim_internal.h"

namespace sim {
namespace {

struct FailRule {
  std::string name;
  int nth;    // 0: every call
  int seen;   // calls of `name` since the rule was set
  DWORD error;
  bool onwards;  // nth and every later call
};

struct RuntimeState {
  std::vector<std::string> calls;
  std::vector<FailRule> rules;
  size_t callLimit = 0;
  DWORD injectedError = 0;
  DWORD lastError = 0;
  uintptr_t nextHandle = 0x100;
  // Allocation.
  int allocations = 0;
  int allocationRuleStart = 0;  // allocation count when the rule was set
  int failFirst = 0;
  int failCount = 0;
  std::set<void*> blocks;
  // Platform.
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD major = 5;
  DWORD minor = 1;
};

RuntimeState& State() {
  static RuntimeState state;
  return state;
}

const uint32_t kLargestAllocation = 256u * 1024 * 1024;

}  // namespace

bool Enter(const char* name, const std::string& args) {
  RuntimeState& s = State();
  s.calls.push_back(std::string(name) + "(" + args + ")");
  if (s.callLimit && s.calls.size() > s.callLimit) Fatal("runaway: more calls than the limit");
  bool fail = false;
  for (FailRule& rule : s.rules) {
    if (rule.name != name) continue;
    rule.seen++;
    if (!fail && (rule.nth == 0 || rule.nth == rule.seen || (rule.onwards && rule.seen > rule.nth))) {
      fail = true;
      s.injectedError = rule.error;
    }
  }
  if (fail) s.lastError = s.injectedError;
  return fail;
}

DWORD InjectedError() { return State().injectedError; }
void SetError(DWORD error) { State().lastError = error; }

uintptr_t NewHandle() {
  uintptr_t handle = State().nextHandle;
  State().nextHandle += 4;
  return handle;
}

void Fatal(const std::string& message) {
  std::fprintf(stderr, "simulated Windows: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Str(const char* text) { return text ? std::string(text) : std::string("(null)"); }

std::string Hex(uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::string Dec(int64_t value) { return std::to_string(value); }

std::string Handle(const void* handle) {
  intptr_t value = reinterpret_cast<intptr_t>(handle);
  if (value == 0) return "0";
  if (value < 0) return Dec(value);  // pseudo handles
  return Hex(static_cast<uint64_t>(value));
}

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool SameText(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

DWORD PlatformId() { return State().platformId; }

void ResetRuntime() {
  RuntimeState& s = State();
  for (void* block : s.blocks) std::free(block);
  s = RuntimeState();
}

}  // namespace sim

using namespace sim;

void SimReset() {
  ResetRuntime();
  ResetFiles();
  ResetRegistry();
  ResetWindows();
  ResetGdi();
  ResetProcess();
  ResetText();
}

const std::vector<std::string>& SimCalls() { return State().calls; }

std::vector<std::string> SimCallNames() {
  std::vector<std::string> names;
  for (const std::string& call : State().calls) names.push_back(call.substr(0, call.find('(')));
  return names;
}

void SimClearCalls() { State().calls.clear(); }

int SimCallCount(const char* name) {
  int count = 0;
  for (const std::string& call : SimCallNames()) {
    if (call == name) count++;
  }
  return count;
}

void SimFailCall(const char* name, int nth, DWORD error) {
  State().rules.push_back(FailRule{name, nth, 0, error, false});
}

void SimFailCallsFrom(const char* name, int nth, DWORD error) {
  State().rules.push_back(FailRule{name, nth, 0, error, true});
}

void SimSetCallLimit(size_t calls) { State().callLimit = calls; }

std::map<std::string, std::string> SimSnapshot() {
  std::map<std::string, std::string> out;
  SnapshotFiles(&out);
  SnapshotRegistry(&out);
  return out;
}

void SimFailAllocations(int first, int count) {
  RuntimeState& s = State();
  s.allocationRuleStart = s.allocations;
  s.failFirst = first;
  s.failCount = count;
}

int SimAllocationCount() { return State().allocations; }
int SimLiveBlocks() { return static_cast<int>(State().blocks.size()); }

void SimSetPlatform(DWORD platformId, DWORD major, DWORD minor) {
  State().platformId = platformId;
  State().major = major;
  State().minor = minor;
}

void* RtCalloc(u32 size) {
  bool injected = Enter("RtCalloc", Dec(size));
  RuntimeState& s = State();
  s.allocations++;
  int index = s.allocations - s.allocationRuleStart;
  bool ruled = s.failCount > 0 && index >= s.failFirst && index < s.failFirst + s.failCount;
  if (injected || ruled || size > kLargestAllocation) return nullptr;
  // msvcrt hands out a distinct block for size 0 as well.
  void* block = std::calloc(size ? size : 1, 1);
  if (!block) Fatal("host calloc failed");
  s.blocks.insert(block);
  return block;
}

void RtFree(void* block) {
  Enter("RtFree", block ? "block" : "null");
  if (!block) return;
  RuntimeState& s = State();
  if (s.blocks.erase(block) == 0) Fatal("RtFree of a block that RtCalloc did not hand out (or freed twice)");
  std::free(block);
}

void RtHeapMin(void) { Enter("RtHeapMin", ""); }

DWORD GetLastError(void) { return State().lastError; }

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (Enter("GetVersionExA", info ? Dec(info->dwOSVersionInfoSize) : "null")) return FALSE;
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  RuntimeState& s = State();
  info->dwMajorVersion = s.major;
  info->dwMinorVersion = s.minor;
  info->dwPlatformId = s.platformId;
  info->dwBuildNumber = s.platformId == VER_PLATFORM_WIN32_NT ? 2600 : 1998;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}
