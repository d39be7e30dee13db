// The sandbox of fuzz_sandbox.h. The guard sits on the linker's --wrap
// hooks (see tests/fuzz/CMakeLists.txt): every call of the wrapped libc
// functions from the harness and the libraries it links comes here first.
#include "fuzz_sandbox.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
int __real_mkdir(const char *path, mode_t mode);
int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
int __real_creat(const char *path, mode_t mode);
int __real_rename(const char *from, const char *to);
int __real_unlink(const char *path);
int __real_rmdir(const char *path);
int __real_remove(const char *path);
}

namespace {

std::string s_sandbox;
bool s_armed;

// Components of the absolute form of path, "." dropped and ".." applied.
std::vector<std::string> components(const char *path)
{
    std::string full;
    if (path[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) {
            fprintf(stderr, "fuzz sandbox: getcwd failed\n");
            abort();
        }
        full = cwd;
        full += '/';
    }
    full += path;
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= full.size()) {
        size_t end = full.find('/', at);
        if (end == std::string::npos)
            end = full.size();
        std::string part = full.substr(at, end - at);
        if (part == "..") {
            if (!out.empty())
                out.pop_back();
        } else if (!part.empty() && part != ".") {
            out.push_back(part);
        }
        at = end + 1;
    }
    return out;
}

[[noreturn]] void refuse(const char *what, const char *path)
{
    // libFuzzer still has to write the input that led here.
    s_armed = false;
    fprintf(stderr, "fuzz sandbox: %s outside %s: %s\n", what, s_sandbox.c_str(), path ? path : "(null)");
    abort();
}

void check_change(const char *what, const char *path)
{
    if (s_armed && (!path || !sandbox_contains(path)))
        refuse(what, path);
}

bool writes(int flags)
{
    return (flags & (O_CREAT | O_TRUNC | O_APPEND | O_WRONLY | O_RDWR)) != 0;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return __real_remove(path) == 0 ? 0 : -1;
}

} // namespace

const char *sandbox_dir(void)
{
    if (s_sandbox.empty()) {
        struct stat st;
        const char *parent = getenv("REG_FUZZ_TMPDIR");
        std::string templ = (parent && parent[0])                                 ? parent
                            : (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm"
                                                                                  : "/tmp";
        templ += "/reg_fuzz.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) {
            perror("fuzz sandbox: mkdtemp");
            abort();
        }
        char *real = realpath(buf.data(), nullptr);
        if (!real)
            abort();
        s_sandbox = real;
        free(real);
        // The sandbox goes with the process when it exits normally; a
        // crash leaves it (scripts/fuzz.sh puts it below its scratch dir).
        atexit([] {
            s_armed = false;
            nftw(s_sandbox.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        });
    }
    return s_sandbox.c_str();
}

void sandbox_arm(void)
{
    sandbox_dir();
    s_armed = true;
}

void sandbox_disarm(void)
{
    s_armed = false;
}

int sandbox_contains(const char *path)
{
    std::vector<std::string> box = components(sandbox_dir());
    std::vector<std::string> p = components(path);
    if (p.size() < box.size())
        return 0;
    for (size_t i = 0; i < box.size(); i++)
        if (p[i] != box[i])
            return 0;
    return 1;
}

void sandbox_remove_tree(const char *path)
{
    if (!sandbox_contains(path))
        refuse("tree removal", path);
    struct stat st;
    if (lstat(path, &st) != 0)
        return;
    bool was = s_armed;
    s_armed = false;
    if (nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0) {
        fprintf(stderr, "fuzz sandbox: cannot remove %s: %s\n", path, strerror(errno));
        abort();
    }
    s_armed = was;
}

void sandbox_expect_entries(const char *dir, const char *const *names, size_t count)
{
    DIR *d = opendir(dir);
    if (!d) {
        fprintf(stderr, "fuzz sandbox: cannot list %s\n", dir);
        abort();
    }
    size_t seen = 0;
    while (const dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        bool known = false;
        for (size_t i = 0; i < count; i++)
            known = known || strcmp(e->d_name, names[i]) == 0;
        if (!known) {
            fprintf(stderr, "fuzz sandbox: unexpected entry %s/%s\n", dir, e->d_name);
            abort();
        }
        seen++;
    }
    closedir(d);
    if (seen != count) {
        fprintf(stderr, "fuzz sandbox: %s holds %zu of %zu expected entries\n", dir, seen, count);
        abort();
    }
}

void sandbox_write(const char *path, const void *data, size_t len)
{
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(data, 1, len, f) != len || fclose(f) != 0) {
        fprintf(stderr, "fuzz sandbox: cannot write %s\n", path);
        abort();
    }
}

extern "C" {

int __wrap_mkdir(const char *path, mode_t mode)
{
    if (s_armed && (!path || !sandbox_contains(path))) {
        // An existing directory stays as it is: answer what mkdir would.
        struct stat st;
        if (path && lstat(path, &st) == 0) {
            errno = EEXIST;
            return -1;
        }
        refuse("mkdir", path);
    }
    return __real_mkdir(path, mode);
}

int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned));
        va_end(ap);
    }
    if (writes(flags))
        check_change("open for writing", path);
    return __real_open(path, flags, mode);
}

int __wrap_open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned));
        va_end(ap);
    }
    if (writes(flags))
        check_change("open for writing", path);
    return __real_open64(path, flags, mode);
}

int __wrap_creat(const char *path, mode_t mode)
{
    check_change("creat", path);
    return __real_creat(path, mode);
}

int __wrap_rename(const char *from, const char *to)
{
    check_change("rename from", from);
    check_change("rename to", to);
    return __real_rename(from, to);
}

int __wrap_unlink(const char *path)
{
    check_change("unlink", path);
    return __real_unlink(path);
}

int __wrap_rmdir(const char *path)
{
    check_change("rmdir", path);
    return __real_rmdir(path);
}

int __wrap_remove(const char *path)
{
    check_change("remove", path);
    return __real_remove(path);
}

} // extern "C"
