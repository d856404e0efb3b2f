// The layer's named pipes and events: the pipe directory, one server per
// name, the overlapped connect that completes when a reader opens the
// FIFO, writes that fail with 232 (not SIGPIPE) once the reader is gone,
// the client end, and the events that the connect signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/named_pipes.h"
#include "platform/processes.h"

namespace {

const char kName[] = "\\\\.\\pipe\\unit";

HANDLE create_server(const char* name = kName) {
    return CreateNamedPipeA(name, PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, NMPWAIT_WAIT_FOREVER,
                            nullptr);
}

class NamedPipes : public ::testing::Test {
   protected:
    void SetUp() override {
        char pattern[] = "/tmp/lmxpipesXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("LMX_PIPE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("LMX_PIPE_DIR");
        std::system(("rm -rf " + dir_).c_str());
    }
    std::string fifo() const { return dir_ + "/unit"; }

    std::string dir_;
};

// A server whose overlapped connect is pending.
struct Listening {
    HANDLE pipe = create_server();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    DWORD connect_error = 0;
    Listening() {
        overlapped.hEvent = event;
        EXPECT_FALSE(ConnectNamedPipe(pipe, &overlapped));
        connect_error = GetLastError();
    }
    ~Listening() {
        CloseHandle(pipe);
        CloseHandle(event);
    }
};

}  // namespace

TEST_F(NamedPipes, NamesAndTheirFifos) {
    EXPECT_TRUE(platform::is_pipe_name("\\\\.\\pipe\\x"));
    EXPECT_TRUE(platform::is_pipe_name("//./PIPE/x"));
    EXPECT_FALSE(platform::is_pipe_name("\\\\server\\pipe\\x"));
    EXPECT_FALSE(platform::is_pipe_name("C:\\pipe\\x"));
    std::string path;
    ASSERT_TRUE(platform::pipe_fifo_path("\\\\.\\pipe\\name.with spaces", false, path));
    EXPECT_EQ(path, dir_ + "/name.with spaces");
    for (const char* bad : {"\\\\.\\pipe\\", "\\\\.\\pipe\\a\\b", "\\\\.\\pipe\\a/b",
                            "\\\\.\\pipe\\..", "\\\\.\\pipe\\."}) {
        EXPECT_EQ(create_server(bad), INVALID_HANDLE_VALUE) << bad;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << bad;
    }
    EXPECT_EQ(create_server(("\\\\.\\pipe\\" + std::string(248, 'n')).c_str()),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(CreateNamedPipeA(kName, 0x3 /* duplex */, 0, 1, 0, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(NamedPipes, DefaultDirectoryIsPrivate) {
    unsetenv("LMX_PIPE_DIR");
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    HANDLE server = create_server();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    struct stat st;
    ASSERT_EQ(stat((dir_ + "/lmxrun-pipes").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(access((dir_ + "/lmxrun-pipes/unit").c_str(), F_OK), 0);
    CloseHandle(server);
    chmod((dir_ + "/lmxrun-pipes").c_str(), 0770);
    EXPECT_EQ(create_server(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(NamedPipes, OneServerPerNameAndStaleFifosAreTakenOver) {
    HANDLE first = create_server();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(create_server(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
    ASSERT_TRUE(CloseHandle(first));
    EXPECT_NE(access(fifo().c_str(), F_OK), 0) << "the FIFO goes with its server";
    // A FIFO that nobody serves, as a process that died leaves it.
    ASSERT_EQ(mkfifo(fifo().c_str(), 0600), 0);
    HANDLE second = create_server();
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    // A name held by something that is no FIFO.
    ASSERT_EQ(mkdir(fifo().c_str(), 0700), 0);
    EXPECT_EQ(create_server(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(NamedPipes, ConnectCompletesWhenAReaderOpens) {
    Listening server;
    ASSERT_EQ(server.connect_error, ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(server.event, 50), WAIT_TIMEOUT);
    DWORD n = 1;
    EXPECT_FALSE(GetOverlappedResult(server.pipe, &server.overlapped, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(WriteFile(server.pipe, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PIPE_LISTENING);

    const int reader = open(fifo().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(WaitForSingleObject(server.event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(server.event, 0), WAIT_TIMEOUT) << "an automatic-reset event";
    EXPECT_TRUE(GetOverlappedResult(server.pipe, &server.overlapped, &n, FALSE));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(WriteFile(server.pipe, "hello", 5, &n, nullptr));
    char buffer[8] = {};
    EXPECT_EQ(read(reader, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "hello");

    EXPECT_FALSE(ConnectNamedPipe(server.pipe, &server.overlapped));
    EXPECT_EQ(GetLastError(), ERROR_PIPE_CONNECTED);
    close(reader);
    // Without a reader the write fails; a SIGPIPE would end this test.
    EXPECT_FALSE(WriteFile(server.pipe, "gone", 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
}

TEST_F(NamedPipes, ReaderThereBeforeTheConnect) {
    HANDLE pipe = create_server();
    const int reader = open(fifo().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    EXPECT_FALSE(ConnectNamedPipe(pipe, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_PIPE_CONNECTED);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(pipe, "ab", 2, &n, nullptr));
    close(reader);
    CloseHandle(event);
    CloseHandle(pipe);
}

TEST_F(NamedPipes, ClosingAPendingServerDoesNotWait) {
    const auto start = std::chrono::steady_clock::now();
    {
        Listening server;
        ASSERT_EQ(server.connect_error, ERROR_IO_PENDING);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(access(fifo().c_str(), F_OK), 0);
}

TEST_F(NamedPipes, ClientEnd) {
    EXPECT_EQ(CreateFileA(kName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    Listening server;
    EXPECT_EQ(CreateFileA(kName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY) << "no reader to take the data";
    EXPECT_EQ(CreateFileA(kName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    const int reader = open(fifo().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    HANDLE client = CreateFileA(kName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(client, "client", 6, &n, nullptr));
    char buffer[8] = {};
    EXPECT_EQ(read(reader, buffer, sizeof buffer), 6);
    close(reader);
    CloseHandle(client);
}

TEST(Events, AutomaticAndManualReset) {
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    std::thread setter([automatic] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(automatic);
    });
    EXPECT_EQ(WaitForSingleObject(automatic, 5000), WAIT_OBJECT_0);
    setter.join();
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "named"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(SetEvent(nullptr));
    CloseHandle(automatic);
    CloseHandle(manual);
}
