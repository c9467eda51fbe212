#include "cpu_quota.hpp"

#include <algorithm>
#include <limits>
#include <variant>

#include "shared/decimal.hpp"

namespace brindlemoor::runtime {
namespace {

constexpr std::string_view kBlanks = " \t\n";

// The pieces of `text` between separators, empty pieces left out.
std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

bool lists(std::string_view comma_separated, std::string_view item) {
    const std::vector<std::string_view> items = split(comma_separated, ",");
    return std::find(items.begin(), items.end(), item) != items.end();
}

// mountinfo writes a blank, tab, newline or backslash in a path as a backslash and three octal digits.
std::string unescape_path(std::string_view text) {
    const auto is_octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool octal = text[i] == '\\' && i + 3 < text.size() && is_octal(text[i + 1]) &&
                           is_octal(text[i + 2]) && is_octal(text[i + 3]);
        if (octal) {
            path += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0'));
            i += 3;
        } else {
            path += text[i];
        }
    }
    return path;
}

// Where the process sits in each hierarchy, from /proc/self/cgroup ("<id>:<controllers>:<path>" per line).
struct Membership {
    std::optional<std::string_view> v1_cpu;
    std::optional<std::string_view> v2;
};

Membership parse_membership(std::string_view proc_self_cgroup) {
    Membership membership;
    for (const std::string_view line : split(proc_self_cgroup, "\n")) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            membership.v2 = path;
        } else if (lists(controllers, "cpu")) {
            membership.v1_cpu = path;
        }
    }
    return membership;
}

// A mount of a hierarchy: the cgroup it shows at its mount point, and that mount point.
struct CgroupMount {
    std::string root;
    std::string mount_point;
};

struct HierarchyMounts {
    std::vector<CgroupMount> v1_cpu;
    std::vector<CgroupMount> v2;
};

// From /proc/self/mountinfo: "<id> <parent> <dev> <root> <mount point> <options> [optional fields] - <fs type>
// <source> <super options>" per line.
HierarchyMounts parse_mounts(std::string_view mountinfo) {
    HierarchyMounts mounts;
    for (const std::string_view line : split(mountinfo, "\n")) {
        const std::vector<std::string_view> fields = split(line, " ");
        const auto separator = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 6 || separator - fields.begin() < 6 || fields.end() - separator < 4) continue;
        const std::string_view fs_type = separator[1];
        const std::string_view super_options = separator[3];
        CgroupMount mount{unescape_path(fields[3]), unescape_path(fields[4])};
        if (fs_type == "cgroup2") {
            mounts.v2.push_back(std::move(mount));
        } else if (fs_type == "cgroup" && lists(super_options, "cpu")) {
            mounts.v1_cpu.push_back(std::move(mount));
        }
    }
    return mounts;
}

// The part of the process's cgroup path below the cgroup a mount shows; none when the process is not below it.
std::optional<std::string_view> path_below(std::string_view root, std::string_view path) {
    if (root == "/") return path;
    if (path == root) return std::string_view{};
    if (path.starts_with(root) && path.size() > root.size() && path[root.size()] == '/') {
        return path.substr(root.size());
    }
    return std::nullopt;
}

void add_directories(CgroupVersion version, const std::vector<CgroupMount>& mounts, std::string_view path,
                     std::vector<CgroupDirectory>& directories) {
    for (const CgroupMount& mount : mounts) {
        const std::optional<std::string_view> below = path_below(mount.root, path);
        if (!below) continue;
        const std::vector<std::string_view> names = split(*below, "/");
        // A path that leaves the mount (a process outside its cgroup namespace) has no directory here.
        if (std::find(names.begin(), names.end(), "..") != names.end()) return;
        std::vector<std::string> chain{mount.mount_point};
        for (const std::string_view name : names) chain.push_back(chain.back() + "/" + std::string(name));
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) directories.push_back({version, std::move(*it)});
        return;
    }
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

template <typename Int>
std::optional<Int> parse_number(std::string_view text) {
    const auto parsed = parse_decimal<Int>(trimmed(text));
    if (const Int* number = std::get_if<Int>(&parsed)) return *number;
    return std::nullopt;
}

std::optional<std::size_t> quota_processors(std::optional<std::uint64_t> quota, std::optional<std::uint64_t> period) {
    if (!quota || !period || *period == 0) return std::nullopt;
    const std::uint64_t processors = *quota / *period + (*quota % *period != 0 ? 1 : 0);
    constexpr std::uint64_t kMax = std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(processors, 1, kMax));
}

}  // namespace

std::vector<CgroupDirectory> cpu_quota_directories(std::string_view proc_self_cgroup, std::string_view mountinfo) {
    const Membership membership = parse_membership(proc_self_cgroup);
    const HierarchyMounts mounts = parse_mounts(mountinfo);
    std::vector<CgroupDirectory> directories;
    if (membership.v2) add_directories(CgroupVersion::V2, mounts.v2, *membership.v2, directories);
    if (membership.v1_cpu) add_directories(CgroupVersion::V1, mounts.v1_cpu, *membership.v1_cpu, directories);
    return directories;
}

std::optional<std::size_t> cgroup2_quota_processors(std::string_view cpu_max) {
    const std::vector<std::string_view> values = split(cpu_max, kBlanks);
    if (values.size() != 2 || values[0] == "max") return std::nullopt;
    return quota_processors(parse_number<std::uint64_t>(values[0]), parse_number<std::uint64_t>(values[1]));
}

std::optional<std::size_t> cgroup1_quota_processors(std::string_view cfs_quota_us, std::string_view cfs_period_us) {
    const std::optional<std::int64_t> quota = parse_number<std::int64_t>(cfs_quota_us);
    if (!quota || *quota <= 0) return std::nullopt;
    return quota_processors(static_cast<std::uint64_t>(*quota), parse_number<std::uint64_t>(cfs_period_us));
}

}  // namespace brindlemoor::runtime
