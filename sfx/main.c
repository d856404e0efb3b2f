/* lmxsfx: the front of a self-extracting installation kit. Run as the
 * program in front of a zip archive, it reads the archive out of its own
 * file, extracts it into a fresh private directory, runs the kit's ryninst
 * from there with its own arguments, removes the directory (also when the
 * installer fails or the run is interrupted) and exits as the installer
 * did. It needs nothing but the C library and zlib. */
#define _XOPEN_SOURCE 700 /* nftw */
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sfx/entry_name.h"
#include "sfx/extract.h"
#include "sfx/zip_central.h"

static const char kInstaller[] = "ryninst";
static const int kCaughtSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

static volatile sig_atomic_t g_signal = 0;
static volatile pid_t g_child = 0;

/* Notes the signal and passes it on to the installer once it runs; the
 * directory is removed when the installer has ended. */
static void on_signal(int signo) {
    g_signal = signo;
    if (g_child > 0) kill(g_child, signo);
}

static void catch_signals(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof kCaughtSignals / sizeof kCaughtSignals[0]; ++i)
        sigaction(kCaughtSignals[i], &action, NULL);
}

/* Ends the process by `signo` as if it had not been caught. */
static int die_by(int signo) {
    signal(signo, SIG_DFL);
    raise(signo);
    return 128 + signo;
}

static int make_removable(const char* path, const struct stat* status, int type, struct FTW* f) {
    (void)f;
    if (type == FTW_D) chmod(path, (status->st_mode & 07777) | S_IRWXU);
    return 0;
}

static int remove_one(const char* path, const struct stat* status, int type, struct FTW* f) {
    (void)status, (void)type, (void)f;
    remove(path);
    return 0;
}

/* Removes the directory and everything the installer left in it, never
 * following a link and never leaving its filesystem. */
static void remove_tree(const char* dir) {
    nftw(dir, make_removable, 16, FTW_PHYS | FTW_MOUNT);
    nftw(dir, remove_one, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

static int has_installer(const struct zc_directory* directory) {
    for (size_t i = 0; i < directory->count; ++i) {
        char path[PATH_MAX];
        int is_directory;
        const struct zc_entry* e = &directory->entries[i];
        if (sfx_entry_path(e->name, e->name_length, path, sizeof path, &is_directory) == 0 &&
            !is_directory && strcmp(path, kInstaller) == 0)
            return 1;
    }
    return 0;
}

/* Runs the installer and waits for it; its wait status. */
static int run_installer(const char* program, int argc, char** argv) {
    char** arguments = calloc((size_t)argc + 1, sizeof *arguments);
    if (arguments == NULL) return -1;
    arguments[0] = (char*)program;
    for (int i = 1; i < argc; ++i) arguments[i] = argv[i];
    const pid_t child = fork();
    if (child == 0) {
        execv(program, arguments);
        const int err = errno;
        fprintf(stderr, "lmxsfx: cannot run %s: %s%s\n", program, strerror(err),
                err == EACCES ? " (a filesystem mounted noexec? set TMPDIR to another directory)"
                              : "");
        _exit(127);
    }
    free(arguments);
    if (child < 0) return -1;
    g_child = child;
    if (g_signal) kill(child, g_signal);
    int status;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    g_child = 0;
    return status;
}

/* Extracts the kit into a new private directory below $TMPDIR (or /tmp)
 * and runs it; the process's exit code. */
static int run_kit(const unsigned char* data, const struct zc_directory* directory, int argc,
                   char** argv) {
    const char* tmp = getenv("TMPDIR");
    if (tmp == NULL || *tmp == '\0') tmp = "/tmp";
    char dir[PATH_MAX];
    const int fits = snprintf(dir, sizeof dir, "%s/lmxsfx.XXXXXX", tmp) < (int)sizeof dir;
    if (!fits) errno = ENAMETOOLONG;
    if (!fits || mkdtemp(dir) == NULL) {
        fprintf(stderr, "lmxsfx: cannot create a temporary directory in %s: %s (set TMPDIR to a "
                "writable directory)\n", tmp, strerror(errno));
        return 1;
    }
    char error[1024] = "";
    const int root = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int extracted =
        root >= 0 ? sfx_extract(data, directory, root, &g_signal, error, sizeof error) : -1;
    if (root >= 0) close(root);
    if (extracted != 0) {
        remove_tree(dir);
        if (g_signal) return die_by(g_signal);
        fprintf(stderr, "lmxsfx: %s\n", root >= 0 ? error : strerror(errno));
        return 1;
    }
    char program[PATH_MAX + sizeof kInstaller];
    snprintf(program, sizeof program, "%s/%s", dir, kInstaller);
    const int status = run_installer(program, argc, argv);
    remove_tree(dir);
    if (status == -1) {
        fprintf(stderr, "lmxsfx: cannot run %s: %s\n", program, strerror(errno));
        return 1;
    }
    if (WIFSIGNALED(status)) return die_by(WTERMSIG(status));
    return WEXITSTATUS(status);
}

int main(int argc, char** argv) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        fprintf(stderr, "lmxsfx: cannot find its own file: %s\n", strerror(errno));
        return 1;
    }
    self[length] = '\0';
    const int fd = open(self, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        fprintf(stderr, "lmxsfx: cannot read %s: %s\n", self, strerror(errno));
        return 1;
    }
    const size_t size = (size_t)status.st_size;
    const unsigned char* data =
        size > 0 ? mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    close(fd);
    struct zc_directory directory = {NULL, 0};
    const int read = data != MAP_FAILED ? zc_read_directory(data, size, &directory) : ZC_NO_ARCHIVE;
    if (read == ZC_NO_ARCHIVE || (read == ZC_OK && !has_installer(&directory))) {
        fprintf(stderr, "lmxsfx: no installation kit inside %s\n", self);
        return 1;
    }
    if (read != ZC_OK) {
        fprintf(stderr, "lmxsfx: %s: %s\n", self, zc_status_text(read));
        return 1;
    }
    catch_signals();
    const int code = run_kit(data, &directory, argc, argv);
    zc_free_directory(&directory);
    munmap((void*)data, size);
    return code;
}
