// The launcher's search and argument handling, with the Windows examples it
// was designed with and with this host's forms.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "launcher/locate.h"

using launcher::kHostConstants;
using launcher::kWindowsConstants;
using launcher::LibraryChoice;

namespace {

// A file test over a fixed set of files that records what was asked.
struct Files {
    std::set<std::string> present;
    std::vector<std::string> asked;
    launcher::FileTest test() {
        return [this](const std::string& path) {
            asked.push_back(path);
            return present.count(path) > 0;
        };
    }
};

LibraryChoice locate_windows(Files& files, const char* argv0, const char* cwd = "C:\\work",
                             const char* path = nullptr) {
    return launcher::locate_library(argv0, kWindowsConstants, files.test(), cwd, path);
}

std::vector<std::string> strings(const std::vector<const char*>& args) {
    std::vector<std::string> out;
    for (const char* a : args) out.push_back(a ? a : "<null>");
    return out;
}

}  // namespace

TEST(LauncherSearch, LibraryBesideTheLauncherComesFirst) {
    Files files{{"C:\\kit\\lmxrun.dll", "C:\\kit\\instruntime\\lmxrun.dll"}, {}};
    LibraryChoice c = locate_windows(files, "C:\\kit\\ryninst.exe");
    ASSERT_TRUE(c.found);
    EXPECT_EQ(c.path, "C:\\kit\\lmxrun.dll");
    EXPECT_FALSE(c.installed);
    std::string path;
    ASSERT_TRUE(launcher::path_with_library(c.path, "C:\\Windows", kWindowsConstants, path));
    EXPECT_EQ(path, "C:\\kit;C:\\Windows");
}

TEST(LauncherSearch, KitLayoutAndInstalledLayout) {
    Files kit{{"C:\\kit\\instruntime\\lmxrun.dll"}, {}};
    LibraryChoice c = locate_windows(kit, "C:\\kit\\ryninst.exe");
    EXPECT_EQ(c.path, "C:\\kit\\instruntime\\lmxrun.dll");
    EXPECT_FALSE(c.installed);

    Files none;
    c = locate_windows(none, "C:\\kit\\ryninst.exe");
    ASSERT_TRUE(c.found);
    EXPECT_EQ(c.path, "C:\\kit\\..\\install\\lmxrun.dll");
    EXPECT_TRUE(c.installed);
    // The installed candidate is taken without a test.
    EXPECT_EQ(none.asked, (std::vector<std::string>{"C:\\kit\\lmxrun.dll",
                                                    "C:\\kit\\instruntime\\lmxrun.dll"}));
}

TEST(LauncherSearch, DirectoryPartCutsAtTheLastSlashBeforeBackslashes) {
    // A path with both separators is cut at its last "/" even when a "\"
    // follows it.
    Files files{{"C:/kit\\lmxrun.dll"}, {}};
    EXPECT_EQ(locate_windows(files, "C:/kit/sub\\ryninst.exe").path, "C:/kit\\lmxrun.dll");
    EXPECT_EQ(files.asked.front(), "C:/kit\\lmxrun.dll");
    // An empty directory part skips the first candidate.
    Files root;
    LibraryChoice c = locate_windows(root, "\\ryninst.exe");
    EXPECT_EQ(root.asked, (std::vector<std::string>{"\\instruntime\\lmxrun.dll"}));
    EXPECT_EQ(c.path, "\\..\\install\\lmxrun.dll");
}

TEST(LauncherSearch, BareNameFoundInTheWorkingDirectoryUsesItsLibrary) {
    Files files{{"C:\\work\\ryninst.exe", "C:\\work\\lmxrun.dll"}, {}};
    LibraryChoice c = locate_windows(files, "ryninst");
    ASSERT_TRUE(c.found);
    EXPECT_EQ(c.path, "C:\\work\\lmxrun.dll");
    EXPECT_FALSE(c.installed);
}

TEST(LauncherSearch, BareNameReplacesTheExtensionAndSearchesPath) {
    Files files{{"D:\\tools\\setup.exe"}, {}};
    LibraryChoice c = locate_windows(files, "setup.v2", "C:\\work", "C:\\bin;;D:\\tools;E:\\x");
    ASSERT_TRUE(c.found);
    EXPECT_EQ(files.asked[0], "C:\\work\\setup.exe");
    EXPECT_EQ(files.asked[1], "C:\\bin\\setup.exe");
    EXPECT_EQ(files.asked[2], "D:\\tools\\setup.exe");
    EXPECT_EQ(c.path, "D:\\tools\\..\\install\\lmxrun.dll");
    EXPECT_TRUE(c.installed);
}

TEST(LauncherSearch, BareNameNowhereFails) {
    Files files;
    EXPECT_FALSE(locate_windows(files, "ryninst", "C:\\work", "C:\\bin").found);
    EXPECT_FALSE(locate_windows(files, "ryninst", nullptr, nullptr).found);
    // A working directory longer than the limit is not read.
    Files deep{{std::string(261, 'd') + "\\ryninst.exe"}, {}};
    EXPECT_FALSE(locate_windows(deep, "ryninst", std::string(261, 'd').c_str(), nullptr).found);
}

TEST(LauncherSearch, HostForms) {
    Files beside{{"/opt/kit/lmxrun.so"}, {}};
    LibraryChoice c = launcher::locate_library("/opt/kit/ryninst", kHostConstants, beside.test(),
                                               "/home/u", nullptr);
    EXPECT_EQ(c.path, "/opt/kit/lmxrun.so");

    Files on_path{{"/opt/kit/ryninst", "/opt/kit/instruntime/lmxrun.so"}, {}};
    c = launcher::locate_library("ryninst", kHostConstants, on_path.test(), "/home/u",
                                 "/usr/bin::/opt/kit");
    EXPECT_EQ(c.path, "/opt/kit/instruntime/lmxrun.so");

    Files none;
    c = launcher::locate_library("./ryninst", kHostConstants, none.test(), "/home/u", nullptr);
    EXPECT_EQ(c.path, "./../install/lmxrun.so");
    EXPECT_TRUE(c.installed);

    std::string path;
    ASSERT_TRUE(launcher::path_with_library("/opt/kit/lmxrun.so", nullptr, kHostConstants, path));
    EXPECT_EQ(path, "/opt/kit");
    EXPECT_FALSE(launcher::path_with_library("/lmxrun.so", "/bin", kHostConstants, path));
}

TEST(LauncherArguments, DefaultsAreAppendedAfterTheCallersArguments) {
    const char* argv[] = {"C:\\kit\\ryninst.exe", "a", "b"};
    auto args = launcher::extend_arguments(3, argv, "ryninst",
                                           "LMX::Install::App::Console::Installation::main", false);
    EXPECT_EQ(args.size() - 1, 7u);
    EXPECT_EQ(strings(args),
              (std::vector<std::string>{"C:\\kit\\ryninst.exe", "a", "b", "--programname",
                                        "ryninst", "--main",
                                        "LMX::Install::App::Console::Installation::main",
                                        "<null>"}));
    // The vector points at the caller's strings, not at copies.
    EXPECT_EQ(args[1], argv[1]);
}

TEST(LauncherArguments, CallersMainSub) {
    const char* chosen[] = {"x", "-main", "Foo::main"};
    EXPECT_TRUE(launcher::caller_chose_main(3, chosen));
    const char* last[] = {"x", "a", "-main"};
    EXPECT_FALSE(launcher::caller_chose_main(3, last));
    auto args = launcher::extend_arguments(3, last, "rynsetup", "M::main", true);
    EXPECT_EQ(strings(args), (std::vector<std::string>{"x", "a", "-main", "--programname",
                                                      "rynsetup", "--main", "M::main",
                                                      "-installed_lmxrun_used", "<null>"}));
    const char* joined[] = {"x", "--main=Foo::main"};
    EXPECT_TRUE(launcher::caller_chose_main(2, joined));
    const char* program_only[] = {"--main", "Foo::main"};
    EXPECT_FALSE(launcher::caller_chose_main(1, program_only));
    const char* other_case[] = {"x", "--MAIN", "Foo::main"};
    EXPECT_FALSE(launcher::caller_chose_main(3, other_case));
    const char* en_dash[] = {"x", "\x96main", "Foo::main"};
    EXPECT_TRUE(launcher::caller_chose_main(3, en_dash));
}
