// The finisher's own logic on the simulated Windows, timed: a sanity figure
// for scripts/finish-times beside the real program under Wine (the simulated
// file system and registry are maps, not a disk).
//
//   finish_times TEMPLATE OLD_TEMPLATE RUNS
//
// Prints "fresh MS" (no uninstaller yet) and "merge MS" (over the one
// OLD_TEMPLATE finishes to, with --merge), each the median of RUNS.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "finisher/finish.h"
#include "platform/host/sim.h"

namespace {

const char kOut[] = "C:\\Program Files\\Vantor\\uninstall.exe";

std::string Slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Machine(const std::string& templ, const std::string& old) {
  SimReset();
  SimRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                 REG_SZ, std::string("C:\\Program Files") + '\0');
  SimAddFile("C:\\setup\\new.skt", templ);
  SimAddFile("C:\\setup\\old.skt", old);
  SimAddDir("C:\\Program Files\\Vantor");
}

int Finish(const std::string& arguments) {
  SimSetCommandLine("sweepkit-finish.exe " + arguments);
  return RunFinisher();
}

// Milliseconds of one run with the machine set up beforehand (not timed).
double Timed(const std::string& arguments, int* code) {
  auto start = std::chrono::steady_clock::now();
  *code = Finish(arguments);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: finish_times TEMPLATE OLD_TEMPLATE RUNS\n");
    return 2;
  }
  std::string templ = Slurp(argv[1]), old = Slurp(argv[2]);
  int runs = std::max(1, std::atoi(argv[3]));
  std::string set = " --set \"group=Vantor Gliders\"";
  std::string fresh = std::string("C:\\setup\\new.skt \"") + kOut + "\"" + set;

  Machine(templ, old);
  if (Finish(std::string("C:\\setup\\old.skt \"") + kOut + "\"" + set) != 0) {
    std::fprintf(stderr, "finishing the old template failed:\n%s", SimConsoleText(STD_ERROR_HANDLE).c_str());
    return 1;
  }
  std::string earlier = SimFileBytes(kOut);

  std::vector<double> plain, merged;
  for (int i = 0; i < runs; ++i) {
    int code = 0;
    Machine(templ, old);
    plain.push_back(Timed(fresh, &code));
    if (code != 0) return std::fprintf(stderr, "%s", SimConsoleText(STD_ERROR_HANDLE).c_str()), 1;
    Machine(templ, old);
    SimAddFile(kOut, earlier);
    merged.push_back(Timed(fresh + " --merge \"" + kOut + "\"", &code));
    if (code != 0) return std::fprintf(stderr, "%s", SimConsoleText(STD_ERROR_HANDLE).c_str()), 1;
  }
  std::printf("fresh %.2f\nmerge %.2f\n", Median(plain), Median(merged));
  return 0;
}
