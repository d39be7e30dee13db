// Storage-root discovery: oci_init_storage with the input as ./config.json
// and REGISTRY_STORAGE_ROOT unset, compared with a restatement of the
// discovery rules (first 2047 bytes, first "storage_root" key, else the
// first "registry_storage_root" key, the text between the next two quotes,
// at most 1023 bytes, else ./registry_storage).
//
// The discovered root may name any path, and reg_storage_init creates it.
// So the run happens in a working directory inside the sandbox, and a value
// that would lead out of the sandbox (absolute, or with ".." components that
// climb above it) is first rewritten in place, byte for byte at the same
// offsets: its leading '/' and the dots of each ".." become '_'. The key
// search is unchanged by that, since no quote or colon is touched. The
// sandbox guard stays armed during the call as the second line of defence.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_sandbox.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "storage_internal.h"

namespace {

constexpr size_t kConfigMax = 2047;
constexpr size_t kRootMax = 1023;
constexpr const char *kDefaultRoot = "./registry_storage";
constexpr const char *kEnvRoot = "env_root";

std::string s_box;
std::string s_work; // the working directory of each run, inside the box
int s_home = -1;    // the fuzzer's own working directory

struct found {
    size_t at = 0; // offset of the value in the file, when from the file
    size_t len = 0;
    bool from_file = false;
};

// Where the root comes from and what it is.
found discover(const std::string &file, std::string *root)
{
    found f;
    std::string text = file.substr(0, kConfigMax);
    text.resize(strnlen(text.c_str(), text.size()));
    size_t key = text.find("\"storage_root\":");
    if (key == std::string::npos)
        key = text.find("\"registry_storage_root\":");
    *root = kDefaultRoot;
    if (key == std::string::npos)
        return f;
    size_t colon = text.find(':', key);
    size_t open = text.find('"', colon);
    if (open == std::string::npos)
        return f;
    size_t close = text.find('"', open + 1);
    if (close == std::string::npos)
        return f;
    size_t len = close - open - 1;
    if (len == 0 || len > kRootMax)
        return f;
    f.at = open + 1;
    f.len = len;
    f.from_file = true;
    *root = text.substr(f.at, len);
    return f;
}

bool inside_box(const std::string &root)
{
    std::string full = root[0] == '/' ? root : s_work + "/" + root;
    return sandbox_contains(full.c_str()) == 1;
}

// The value made to stay inside the box, same length, same offsets.
void confine(std::string *file, const found &f)
{
    char *v = &(*file)[f.at];
    if (v[0] == '/')
        v[0] = '_';
    for (size_t i = 0; i + 1 < f.len; i++) {
        bool starts = i == 0 || v[i - 1] == '/';
        bool ends = i + 2 == f.len || v[i + 2] == '/';
        if (v[i] == '.' && v[i + 1] == '.' && starts && ends)
            v[i] = v[i + 1] = '_';
    }
}

// Empties a directory of the box, keeping one entry when keep is non-null.
void empty_dir(const std::string &dir, const char *keep)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        abort();
    std::string doomed[64];
    size_t n = 0;
    while (const dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || (keep && !strcmp(e->d_name, keep)))
            continue;
        if (n < 64)
            doomed[n++] = dir + "/" + e->d_name;
    }
    closedir(d);
    for (size_t i = 0; i < n; i++)
        sandbox_remove_tree(doomed[i].c_str());
    if (n == 64)
        empty_dir(dir, keep);
}

[[noreturn]] void fail(const char *what, const std::string &want)
{
    sandbox_disarm();
    fprintf(stderr, "invariant broken: %s: storage root [%s], expected [%s], last error [%s]\n", what, s_root,
            want.c_str(), reg_storage_last_error());
    abort();
}

// The root as the library keeps it: one trailing '/' goes, except from "/".
std::string kept(const std::string &root)
{
    if (root.size() > 1 && root.back() == '/')
        return root.substr(0, root.size() - 1);
    return root;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    s_box = sandbox_dir();
    s_work = s_box + "/w";
    if (mkdir(s_work.c_str(), 0700) != 0)
        abort();
    s_home = open(".", O_RDONLY | O_DIRECTORY);
    if (s_home < 0)
        abort();
    unsetenv("REGISTRY_STORAGE_ROOT");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string file(reinterpret_cast<const char *>(data), size);
    std::string root;
    found f = discover(file, &root);
    if (f.from_file && !inside_box(root)) {
        confine(&file, f);
        f = discover(file, &root);
        if (f.from_file && !inside_box(root)) {
            fprintf(stderr, "harness: value still leads out of the sandbox: %s\n", root.c_str());
            abort();
        }
    }

    struct stat home_before;
    if (fstat(s_home, &home_before) != 0)
        abort();
    if (chdir(s_work.c_str()) != 0)
        abort();
    sandbox_write("config.json", file.data(), file.size());

    sandbox_arm();
    oci_storage_forget();
    int rc = oci_init_storage();
    if (rc == 0) {
        if (kept(root) != s_root)
            fail("root differs from the configured one", kept(root));
        std::string blobs = std::string(s_root) + "/blobs/sha256";
        if (!dir_exists(blobs.c_str()))
            fail("storage tree not created", kept(root));
        // Once open, the storage is not looked for again.
        sandbox_disarm();
        unlink("config.json");
        sandbox_arm();
        if (oci_init_storage() != 0 || kept(root) != s_root)
            fail("second opening looked again", kept(root));
    } else if (reg_storage_last_error()[0] == '\0') {
        fail("failure without a message", kept(root));
    }
    // The environment wins over any config.json.
    oci_storage_forget();
    setenv("REGISTRY_STORAGE_ROOT", kEnvRoot, 1);
    rc = oci_init_storage();
    unsetenv("REGISTRY_STORAGE_ROOT");
    if (rc != 0 || strcmp(s_root, kEnvRoot) != 0)
        fail("environment root not used", kEnvRoot);
    oci_storage_forget();
    sandbox_disarm();

    if (fchdir(s_home) != 0)
        abort();
    empty_dir(s_work, nullptr);
    empty_dir(s_box, "w");
    struct stat home_after;
    if (fstat(s_home, &home_after) != 0)
        abort();
    if (home_after.st_mtim.tv_sec != home_before.st_mtim.tv_sec ||
        home_after.st_mtim.tv_nsec != home_before.st_mtim.tv_nsec) {
        fprintf(stderr, "invariant broken: the fuzzer's working directory changed\n");
        abort();
    }
    return 0;
}
