#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How many processors a cgroup CPU quota leaves the process, from the texts of the kernel's files; free of I/O so
// that every layout can be tested with the texts alone.
namespace brindlemoor::runtime {

enum class CgroupVersion : std::uint8_t { V1, V2 };

// A cgroup directory whose quota files may limit the process.
struct CgroupDirectory {
    CgroupVersion version;
    std::string path;

    friend bool operator==(const CgroupDirectory&, const CgroupDirectory&) = default;
};

// From the texts of /proc/self/cgroup and /proc/self/mountinfo: for the cgroup v2 hierarchy and for the v1
// hierarchy of the "cpu" controller, when mounted, the process's own cgroup directory followed by each ancestor up
// to the mount point; the quota of any of them limits the process. A hierarchy whose mount does not show the
// process's cgroup (mounted from a cgroup that is no ancestor of it) adds nothing.
std::vector<CgroupDirectory> cpu_quota_directories(std::string_view proc_self_cgroup, std::string_view mountinfo);

// The processors a quota allows, quota / period rounded up, at least 1; none when the text sets no quota ("max")
// or cannot be read as one. Version 2: the text of cpu.max, "<quota> <period>" or "max <period>".
std::optional<std::size_t> cgroup2_quota_processors(std::string_view cpu_max);
// Version 1: the texts of cpu.cfs_quota_us (-1: no quota) and cpu.cfs_period_us.
std::optional<std::size_t> cgroup1_quota_processors(std::string_view cfs_quota_us, std::string_view cfs_period_us);

}  // namespace brindlemoor::runtime
