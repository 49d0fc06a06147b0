// The execution level: pack, a template and the finisher choose the same one
// for the same keys, over every set drawn from keys at the rule's edges, part
// of them merged by the finisher from an earlier uninstaller.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/host/sim.h"
#include "tests/cli/test_support.h"
#include "finisher/finish.h"
#include "format/execution_level.h"
#include "cli/writer.h"

using namespace sweepkit;

namespace {

const uint32_t kUser = 0x80000001u, kMachine = 0x80000002u;
const std::string kArp = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Each key, and whether it is an Add/Remove Programs entry.
const struct {
  KeyEntry key;
  bool entry;
} kPool[] = {
    {{kUser, kArp + "Vantor Gliders"}, true},
    {{kMachine, kArp + "Vantor Gliders"}, true},
    {{kUser, "SOFTWARE\\microsoft\\WINDOWS\\currentversion\\uninstall\\Vantor"}, true},
    {{kMachine, kArp.substr(0, kArp.size() - 1) + "Vantor"}, false},
    {{0x80000003u, ".DEFAULT\\" + kArp + "Vantor"}, false},
    {{kUser, "Software\\Vantor\\Gliders"}, false},
};
const int kPoolSize = 6;

UninstallData Data(int mask) {
  UninstallData d;
  d.strings.assign(STR_COUNT, "x");
  d.files = {{"C:\\Program Files\\Vantor", "glide.exe", 0}};
  for (int i = 0; i < kPoolSize; i++)
    if (mask & (1 << i)) d.keys.push_back(kPool[i].key);
  return d;
}

// What the keys of mask call for, by the pool's labels.
std::string Wanted(int mask) {
  bool user = false, machine = false;
  for (int i = 0; i < kPoolSize; i++)
    if ((mask & (1 << i)) && kPool[i].entry) (kPool[i].key.root == kUser ? user : machine) = true;
  return user && !machine ? "asInvoker" : "requireAdministrator";
}

// The level an image carries; any other byte changed but the data offset
// shows as a difference.
std::string Level(const std::string& image, const Bytes& stub) {
  LevelSlot slot;
  if (!FindExecutionLevel(reinterpret_cast<const u8*>(image.data()), uint32_t(stub.size()), &slot))
    return "none";
  const size_t offset = sweepkit_test::kLocatorAt + DATA_LOCATOR_SIGNATURE_SIZE;
  for (size_t i = 0; i < stub.size(); i++)
    if ((i - slot.at >= slot.room) && (i - offset >= 4) && uint8_t(image[i]) != stub[i]) return "changed";
  return image.substr(slot.at, slot.length);
}

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(ExecutionLevel, PackTemplateAndFinisherAgreeOnEveryKeySet) {
  // a stub image whose data section holds the shipped manifest
  Bytes stub = sweepkit_test::MinimalPe(0, 0x400);
  std::string manifest = sweepkit_test::ReadFile(SWEEPKIT_STUB_MANIFEST);
  std::copy(manifest.begin(), manifest.end(), stub.begin() + sweepkit_test::kSectionOffset + 0x40);
  for (int mask = 0; mask < 1 << kPoolSize; mask++) {
    SCOPED_TRACE("keys " + std::to_string(mask) + ": " + Wanted(mask));
    EXPECT_EQ(Wanted(mask), Level(Text(PackStub(stub, BuildBlock(Data(mask)))), stub)) << "packed";
    // The template holds the even keys, the earlier uninstaller the odd ones.
    Bytes skt = PackTemplate(stub, BuildTemplate(Data(mask & 0x15), 1252, {}));
    EXPECT_EQ(Wanted(mask & 0x15), Level(Text(skt), stub)) << "template";
    SimReset();
    SimAddDir("C:\\Program Files\\Vantor");
    SimAddFile("C:\\app.skt", Text(skt));
    SimAddFile("C:\\old.exe", Text(PackStub(sweepkit_test::MinimalPe(), BuildBlock(Data(mask & 0x2A)))));
    SimSetCommandLine("sweepkit-finish C:\\app.skt \"C:\\Program Files\\Vantor\\un.exe\" --merge C:\\old.exe");
    ASSERT_EQ(EXIT_WRITTEN, RunFinisher()) << SimConsoleText(STD_ERROR_HANDLE);
    EXPECT_EQ(Wanted(mask), Level(SimFileBytes("C:\\Program Files\\Vantor\\un.exe"), stub)) << "finished";
  }
}

}  // namespace
