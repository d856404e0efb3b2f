// The words of the system description and the memory figures of the
// layer: the memory scaling table, processor features, architecture names,
// /proc/meminfo, and control-group limits read from fake trees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/memory_status.h"
#include "runtime/system/system_facts.h"

namespace {

TEST(MachineFacts, MemoryScaling) {
    const auto scaled = [](std::uint64_t bytes) {
        const lmx::facts::MemoryAmount a = lmx::facts::scale_memory(bytes);
        return std::to_string(a.value) + "/" + std::to_string(a.unit);
    };
    EXPECT_EQ(scaled(0), "0/1");
    EXPECT_EQ(scaled(1023), "0/1024");
    EXPECT_EQ(scaled(100u << 20), "102400/1024");
    EXPECT_EQ(scaled((128u << 20) - 1), "131071/1024");
    EXPECT_EQ(scaled(128u << 20), "128/1048576");
    EXPECT_EQ(scaled(std::uint64_t{16} << 30), "16384/1048576");
    EXPECT_EQ(scaled((std::uint64_t{128} << 30) - 1), "131071/1048576");
    EXPECT_EQ(scaled(std::uint64_t{200} << 30), "200/1073741824");
}

TEST(MachineFacts, FeaturesAndArchitectures) {
    using lmx::facts::processor_features;
    EXPECT_FALSE(processor_features(0, ~0u, ~0u));
    EXPECT_EQ(processor_features(1, 0, (1u << 25) | (1u << 26)), "sse sse2");
    EXPECT_EQ(processor_features(13, 1u << 13, 1u << 26), "sse2 cmpxchg16b");
    EXPECT_EQ(processor_features(1, 0, 0), "");
    for (const auto& [machine, name] :
         {std::pair{"x86_64", "X86-64"}, {"i686", "I386"}, {"i386", "I386"}, {"ia64", "IA64"},
          {"ppc64le", "PPC"}, {"s390x", "S390"}, {"aarch64", "AARCH64"}})
        EXPECT_EQ(lmx::facts::linux_architecture(machine), name) << machine;
}

TEST(MemoryStatus, Meminfo) {
    const auto info = platform::parse_meminfo(
        "MemTotal:       1000 kB\nMemFree:          10 kB\nMemAvailable:    600 kB\n"
        "SwapTotal:        50 kB\nSwapFree:         20 kB\n");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->total, 1024000u);
    EXPECT_EQ(info->available, 614400u);
    EXPECT_EQ(info->swap_free, 20480u);
    const auto old = platform::parse_meminfo(
        "MemTotal: 1000 kB\nMemFree: 10 kB\nBuffers: 20 kB\nCached: 30 kB\n");
    EXPECT_EQ(old->available, 60u * 1024);
    EXPECT_FALSE(platform::parse_meminfo("MemFree: 10 kB\n"));
}

// A fake root with /proc/self/cgroup, /proc/self/mountinfo and the files
// of a control-group tree.
class FakeRoot {
   public:
    FakeRoot() {
        char name[] = "/tmp/lmxcgXXXXXX";
        root_ = mkdtemp(name);
    }
    ~FakeRoot() { std::filesystem::remove_all(root_); }
    void write(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        std::ofstream(root_ + path) << text;
    }
    const std::string& path() const { return root_; }

   private:
    std::string root_;
};

TEST(MemoryStatus, CgroupV1LimitOfAnAncestor) {
    FakeRoot fake;
    fake.write("/proc/self/cgroup", "5:cpu,cpuacct:/\n4:memory:/jobs/run7\n0::/\n");
    fake.write("/proc/self/mountinfo",
               "30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
               "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
               "40 30 0:37 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
    const std::string group = "/sys/fs/cgroup/memory/jobs/run7";
    fake.write(group + "/memory.limit_in_bytes", "9223372036854771712\n");
    fake.write(group + "/memory.usage_in_bytes", "300000000\n");
    fake.write(group + "/memory.stat", "cache 1\ntotal_inactive_file 100000000\n");
    fake.write("/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes", "536870912\n");
    const auto memory = platform::cgroup_memory(fake.path());
    ASSERT_TRUE(memory);
    EXPECT_EQ(memory->limit, 536870912u);
    EXPECT_EQ(memory->used, 200000000u);

    const platform::MemInfo machine{std::uint64_t{8} << 30, std::uint64_t{6} << 30, 0, 0};
    const platform::PhysicalMemory physical = platform::physical_memory(machine, memory);
    EXPECT_EQ(physical.total, 536870912u);
    EXPECT_EQ(physical.available, 336870912u);
    const platform::PhysicalMemory higher =
        platform::physical_memory(machine, platform::CgroupMemory{std::uint64_t{16} << 30, 0});
    EXPECT_EQ(higher.total, machine.total) << "a limit above the machine's memory";
    EXPECT_EQ(higher.available, machine.available);
}

TEST(MemoryStatus, CgroupV2InAContainer) {
    FakeRoot fake;
    fake.write("/proc/self/cgroup", "0::/kube/pod1/app\n");
    // The container sees its own group as the mount's root.
    fake.write("/proc/self/mountinfo",
               "40 30 0:37 /kube/pod1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n");
    fake.write("/sys/fs/cgroup/app/memory.max", "max\n");
    fake.write("/sys/fs/cgroup/memory.max", "1073741824\n");
    fake.write("/sys/fs/cgroup/app/memory.current", "4096\n");
    const auto memory = platform::cgroup_memory(fake.path());
    ASSERT_TRUE(memory);
    EXPECT_EQ(memory->limit, 1073741824u);
    EXPECT_EQ(memory->used, 4096u);

    FakeRoot unlimited;
    unlimited.write("/proc/self/cgroup", "0::/\n");
    unlimited.write("/proc/self/mountinfo",
                    "40 30 0:37 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    unlimited.write("/sys/fs/cgroup/memory.max", "max\n");
    EXPECT_FALSE(platform::cgroup_memory(unlimited.path()));
    FakeRoot nothing;
    EXPECT_FALSE(platform::cgroup_memory(nothing.path()));
}

}  // namespace
