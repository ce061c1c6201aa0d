#include "platform/cores.hpp"

#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace arborvane::platform {
namespace {

#if defined(__linux__)

using CoreId = std::pair<long, long>;  // (package, core within the package)

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<long> read_number(const std::string& path) {
  std::ifstream in(path);
  long value = 0;
  if (!(in >> value)) return std::nullopt;
  return value;
}

// Parses a kernel CPU list such as "0-3,8,10-11".
std::optional<std::vector<int>> parse_cpu_list(const std::string& text) {
  std::vector<int> cpus;
  std::istringstream in(text);
  std::string range;
  while (std::getline(in, range, ',')) {
    if (range.empty() || range == "\n") continue;
    int first = 0;
    int last = 0;
    char dash = 0;
    std::istringstream parts(range);
    if (!(parts >> first)) return std::nullopt;
    last = first;
    if (parts >> dash) {
      if (dash != '-' || !(parts >> last) || last < first) return std::nullopt;
    }
    for (int cpu = first; cpu <= last; ++cpu) cpus.push_back(cpu);
  }
  return cpus;
}

// CPUs this process may run on; an empty set means "no restriction known".
std::set<int> allowed_cpus() {
  std::set<int> allowed;
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof(mask), &mask) != 0) return allowed;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &mask)) allowed.insert(cpu);
  }
  return allowed;
}

bool usable(const std::set<int>& allowed, int cpu) {
  return allowed.empty() || allowed.contains(cpu);
}

std::size_t cores_from_sysfs(const std::set<int>& allowed) {
  const std::string root = "/sys/devices/system/cpu/";
  const auto online_text = read_file(root + "online");
  if (!online_text) return 0;
  const auto online = parse_cpu_list(*online_text);
  if (!online) return 0;
  std::set<CoreId> cores;
  for (const int cpu : *online) {
    if (!usable(allowed, cpu)) continue;
    const std::string topology = root + "cpu" + std::to_string(cpu) + "/topology/";
    const auto package = read_number(topology + "physical_package_id");
    const auto core = read_number(topology + "core_id");
    if (!package || !core) return 0;  // partial topology would undercount; try cpuinfo
    cores.emplace(*package, *core);
  }
  return cores.size();
}

std::size_t cores_from_cpuinfo(const std::set<int>& allowed) {
  std::ifstream in("/proc/cpuinfo");
  if (!in) return 0;
  std::set<CoreId> cores;
  std::optional<long> processor;
  std::optional<long> package;
  std::optional<long> core;
  auto flush = [&] {
    if (processor && package && core && usable(allowed, static_cast<int>(*processor))) {
      cores.emplace(*package, *core);
    }
    processor.reset();
    package.reset();
    core.reset();
  };
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) {
      flush();  // a blank line ends one processor's entry
      continue;
    }
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    long value = 0;
    std::istringstream value_in(line.substr(colon + 1));
    if (!(value_in >> value)) continue;
    if (key == "processor") processor = value;
    if (key == "physical id") package = value;
    if (key == "core id") core = value;
  }
  flush();
  return cores.size();
}

std::size_t detect_physical_cores() {
  const std::set<int> allowed = allowed_cpus();
  if (const std::size_t n = cores_from_sysfs(allowed); n > 0) return n;
  if (const std::size_t n = cores_from_cpuinfo(allowed); n > 0) return n;
  return 1;
}

#else

std::size_t detect_physical_cores() { return 1; }

#endif

}  // namespace

std::size_t physical_core_count() {
  static const std::size_t count = detect_physical_cores();
  return count;
}

}  // namespace arborvane::platform
