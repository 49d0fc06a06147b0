// The execution level: pack, a template and the finisher choose the same one
// for the same keys, over every set drawn from keys near the rule's edges,
// with part of the keys coming from an earlier uninstaller the finisher
// merges.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/host/sim.h"
#include "tests/cli/test_support.h"
#include "finisher/finish.h"
#include "format/execution_level.h"
#include "cli/writer.h"

using namespace sweepkit;
using sweepkit_test::kSectionOffset;

namespace {

const uint32_t kUser = 0x80000001u, kMachine = 0x80000002u, kUsers = 0x80000003u;
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
    {{kUsers, ".DEFAULT\\" + kArp + "Vantor"}, false},
    {{kUser, "Software\\Vantor\\Gliders"}, false},
};
const int kPoolSize = int(sizeof kPool / sizeof kPool[0]);

// A stub image whose data section holds the shipped manifest.
Bytes Stub() {
  Bytes stub = sweepkit_test::MinimalPe(0, 0x400);
  std::string manifest = sweepkit_test::ReadFile(SWEEPKIT_STUB_MANIFEST);
  std::copy(manifest.begin(), manifest.end(), stub.begin() + kSectionOffset + 0x40);
  return stub;
}

UninstallData Data(int mask) {
  UninstallData d;
  d.strings.assign(STR_COUNT, "x");
  d.files = {{"C:\\Program Files\\Vantor", "glide.exe", 0}};
  for (int i = 0; i < kPoolSize; i++)
    if (mask & (1 << i)) d.keys.push_back(kPool[i].key);
  return d;
}

// The level the image carries; every byte outside its slot and the data
// offset as in the stub.
std::string Level(const Bytes& image, const Bytes& stub) {
  LevelSlot slot;
  if (!FindExecutionLevel(image.data(), uint32_t(stub.size()), &slot)) return "none";
  const size_t offset = sweepkit_test::kLocatorAt + DATA_LOCATOR_SIGNATURE_SIZE;
  for (size_t i = 0; i < stub.size(); i++)
    if ((i < slot.at || i >= slot.at + slot.room) && (i < offset || i >= offset + 4) && image[i] != stub[i])
      return "changed elsewhere";
  return std::string(image.begin() + slot.at, image.begin() + slot.at + slot.length);
}

// What the keys of mask call for, by the pool's own labels.
std::string Wanted(int mask) {
  bool user = false, machine = false;
  for (int i = 0; i < kPoolSize; i++)
    if ((mask & (1 << i)) && kPool[i].entry) (kPool[i].key.root == kUser ? user : machine) = true;
  return user && !machine ? "asInvoker" : "requireAdministrator";
}

TEST(ExecutionLevel, PackTemplateAndFinisherAgreeOnEveryKeySet) {
  const Bytes stub = Stub();
  for (int mask = 0; mask < 1 << kPoolSize; mask++) {
    SCOPED_TRACE("keys " + std::to_string(mask) + ": " + Wanted(mask));
    EXPECT_EQ(Wanted(mask), Level(PackStub(stub, BuildBlock(Data(mask))), stub)) << "packed";

    // The template holds the even keys, the earlier uninstaller the odd ones.
    const int evens = mask & 0x15, odds = mask & 0x2A;
    Bytes skt = PackTemplate(stub, BuildTemplate(Data(evens), 1252, {}));
    EXPECT_EQ(Wanted(evens), Level(skt, stub)) << "template";
    Bytes old = PackStub(sweepkit_test::MinimalPe(), BuildBlock(Data(odds)));
    SimReset();
    SimAddDir("C:\\Program Files\\Vantor");
    SimAddFile("C:\\app.skt", std::string(skt.begin(), skt.end()));
    SimAddFile("C:\\old.exe", std::string(old.begin(), old.end()));
    SimSetCommandLine("sweepkit-finish C:\\app.skt \"C:\\Program Files\\Vantor\\un.exe\" --merge C:\\old.exe");
    ASSERT_EQ(EXIT_WRITTEN, RunFinisher()) << SimConsoleText(STD_ERROR_HANDLE);
    std::string out = SimFileBytes("C:\\Program Files\\Vantor\\un.exe");
    EXPECT_EQ(Wanted(mask), Level(Bytes(out.begin(), out.end()), stub)) << "finished";
  }
}

}  // namespace
