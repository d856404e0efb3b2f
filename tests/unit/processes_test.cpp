// The layer's processes and pipes: command-line splitting by the Windows
// rules, children with exactly their standard handles, waits, exit codes
// and termination.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/processes.h"

namespace {

using Args = std::vector<std::string>;

// A child running `sh -c script` with its output in a pipe; the read end
// and the process handle are returned.
struct Child {
    HANDLE process = nullptr;
    HANDLE output = nullptr;
    DWORD pid = 0;

    explicit Child(const std::string& script, const Args& args = {}, LPCSTR directory = nullptr,
                   LPVOID environment = nullptr) {
        HANDLE write_end = nullptr;
        EXPECT_TRUE(CreatePipe(&output, &write_end, nullptr, 0));
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = startup.hStdError = write_end;
        Args argv = {"sh", "-c", script, "sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string line = platform::join_command_line(argv);
        PROCESS_INFORMATION info{};
        EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                   environment, directory, &startup, &info))
            << GetLastError();
        CloseHandle(write_end);
        CloseHandle(info.hThread);
        process = info.hProcess;
        pid = info.dwProcessId;
    }
    ~Child() {
        CloseHandle(output);
        CloseHandle(process);
    }
    std::string read_all() const {
        std::string all;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(output, buffer, sizeof buffer, &got, nullptr) && got > 0) all.append(buffer, got);
        EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
        return all;
    }
    DWORD exit_code() const {
        EXPECT_EQ(WaitForSingleObject(process, INFINITE), WAIT_OBJECT_0);
        DWORD code = 12345;
        EXPECT_TRUE(GetExitCodeProcess(process, &code));
        return code;
    }
};

}  // namespace

TEST(CommandLine, SplitsByTheWindowsRules) {
    using platform::split_command_line;
    // The examples of the Windows C runtime's documentation.
    EXPECT_EQ(split_command_line(R"(p "a b c" d e)"), (Args{"p", "a b c", "d", "e"}));
    EXPECT_EQ(split_command_line(R"(p "ab\"c" "\\" d)"), (Args{"p", "ab\"c", "\\", "d"}));
    EXPECT_EQ(split_command_line(R"(p a\\\b d"e f"g h)"), (Args{"p", R"(a\\\b)", "de fg", "h"}));
    EXPECT_EQ(split_command_line(R"(p a\\\"b c d)"), (Args{"p", R"(a\"b)", "c", "d"}));
    EXPECT_EQ(split_command_line(R"(p a\\\\"b c" d e)"), (Args{"p", R"(a\\b c)", "d", "e"}));
    EXPECT_EQ(split_command_line(R"(p a"b"" c d)"), (Args{"p", R"(ab" c d)"}));
    // The program name: quotes group, backslashes stay.
    EXPECT_EQ(split_command_line(R"("C:\Program Files\x"y z)"), (Args{R"(C:\Program Files\xy)", "z"}));
    EXPECT_EQ(split_command_line("\tprog\t a  "), (Args{"prog", "a"}));
    EXPECT_EQ(split_command_line(R"(p "" "unterminated)"), (Args{"p", "", "unterminated"}));
    EXPECT_TRUE(split_command_line("   ").empty());
    EXPECT_TRUE(split_command_line(nullptr).empty());
}

TEST(CommandLine, JoinedArgumentsSplitBack) {
    const std::vector<Args> cases = {
        {"prog", "plain"},       {"/opt/my app/bin", "a b"}, {"p", ""},
        {"p", "quote\"inside"},  {"p", R"(trailing\)"},      {"p", R"(two\\ "q" \\)"},
        {"p", "tab\there", "x"},
    };
    for (const Args& args : cases)
        EXPECT_EQ(platform::split_command_line(platform::join_command_line(args).c_str()), args);
}

TEST(Processes, ChildGetsItsArgumentsOutputAndExitCode) {
    Child child("printf '%s|' \"$@\"; echo err >&2; exit 7", {"a b", "c\"d", ""});
    EXPECT_EQ(child.read_all(), "a b|c\"d||err\n");
    EXPECT_EQ(child.exit_code(), 7u);
    DWORD again = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.process, &again));
    EXPECT_EQ(again, 7u);
    EXPECT_EQ(GetProcessId(child.process), child.pid);
}

TEST(Processes, ChildHasExactlyThreeDescriptorsAndFreshSignals) {
    const int stray = ::open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(stray, 3);
    // Each program looks at itself as the shell's exec made it, so no fork
    // of the shell can be caught half-way: ls has 0 to 2 and its own
    // directory descriptor, 3.
    Child listing("exec ls /proc/self/fd");
    EXPECT_EQ(listing.read_all(), "0\n1\n2\n3\n");
    EXPECT_EQ(listing.exit_code(), 0u);
    Child signals("exec grep -E '^Sig(Blk|Ign)' /proc/self/status");
    const std::string out = signals.read_all();
    ::close(stray);
    EXPECT_NE(out.find("SigBlk:\t0000000000000000"), std::string::npos) << out;
    EXPECT_EQ(signals.exit_code(), 0u);
}

TEST(Processes, NullStandardHandleIsTheNullDevice) {
    Child child("cat; echo done");  // its input is NULL: cat reads /dev/null and ends
    EXPECT_EQ(child.read_all(), "done\n");
}

TEST(Processes, DirectoryAndEnvironmentBlock) {
    char environment[] = "LMX_A=1\0LMX_B=two words\0";
    Child child("pwd; echo \"$LMX_A|$LMX_B|${HOME-unset}\"", {}, "/tmp", environment);
    EXPECT_EQ(child.read_all(), "/tmp\n1|two words|unset\n");
}

TEST(Processes, ProgramsThatCannotRun) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    auto start = [&](std::string line) {
        return CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                              &startup, &info);
    };
    EXPECT_FALSE(start("lmx-no-such-program arg"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(start("/no/such/dir/prog"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(start("/tmp"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    char text[] = "/tmp/lmxplainXXXXXX";  // a file without execute permission
    const int fd = ::mkstemp(text);
    ASSERT_GE(fd, 0);
    ::write(fd, "data\n", 5);
    ::close(fd);
    EXPECT_FALSE(start(text));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ::chmod(text, 0755);  // runnable, but of no format the host knows
    EXPECT_FALSE(start(text));
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
    ::unlink(text);
    std::string line = "true";
    EXPECT_FALSE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0x10 /* new console */,
                                nullptr, nullptr, &startup, &info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Processes, WaitTimesOutThenTerminateSetsTheExitCode) {
    Child child("exec sleep 30");
    EXPECT_EQ(WaitForSingleObject(child.process, 50), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.process, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    // Through a second handle from OpenProcess, as a process table would.
    HANDLE opened = OpenProcess(PROCESS_TERMINATE, FALSE, child.pid);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(TerminateProcess(opened, 42));
    EXPECT_EQ(WaitForSingleObject(opened, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(GetExitCodeProcess(opened, &code), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);  // not a child handle: no status here
    CloseHandle(opened);
    EXPECT_EQ(child.exit_code(), 42u);
    EXPECT_FALSE(TerminateProcess(child.process, 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(Processes, SignalledChildAndOpenProcessLimits) {
    Child child("kill -TERM $$");
    EXPECT_EQ(child.exit_code(), 128u + 15u);
    EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0x7ffffffe), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetProcessId(GetCurrentProcess()), static_cast<DWORD>(::getpid()));
}

TEST(Pipes, ReadEndIsSignaledByDataOrEnd) {
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    EXPECT_EQ(WaitForSingleObject(read_end, 0), WAIT_TIMEOUT);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(write_end, "x", 1, &n, nullptr));
    EXPECT_EQ(WaitForSingleObject(read_end, 0), WAIT_OBJECT_0);

    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), write_end, GetCurrentProcess(), &copy, 0,
                                FALSE, DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_EQ(CloseHandle(write_end), FALSE);  // closed by the duplication
    char c;
    ASSERT_TRUE(ReadFile(read_end, &c, 1, &n, nullptr));
    EXPECT_EQ(WaitForSingleObject(read_end, 0), WAIT_TIMEOUT);  // the copy keeps the pipe open
    CloseHandle(copy);
    EXPECT_EQ(WaitForSingleObject(read_end, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(ReadFile(read_end, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);

    // Writing to a pipe whose reader is gone fails and does not end the process.
    HANDLE r2 = nullptr, w2 = nullptr;
    ASSERT_TRUE(CreatePipe(&r2, &w2, nullptr, 0));
    CloseHandle(r2);
    EXPECT_FALSE(WriteFile(w2, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
    CloseHandle(w2);
    CloseHandle(read_end);
}
