// registry-admin: the operator's commands on a registry store, run beside
// the server (never through it).
//
//   registry-admin [--root DIR] upgrade
//       Makes a store written before repositories held their blobs enforce
//       holds: every repository is linked to the blobs its manifests name,
//       then the store is marked. Until then such a store serves every
//       stored blob in every repository, as it did before. Safe to repeat
//       and to run while the server serves.
//
// The store is the one the programs would open: --root, else
// REGISTRY_STORAGE_ROOT, else ./config.json, else ./registry_storage.
// Exit status: 0 done, 1 failed, 2 wrong usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "oci_common.h"
#include "reg_storage.h"

namespace {

constexpr const char USAGE[] = "usage: registry-admin [--root DIR] upgrade\n";

int fail(const char *what)
{
    fprintf(stderr, "registry-admin: %s: %s\n", what, reg_storage_last_error());
    return 1;
}

int upgrade()
{
    int complete = reg_storage_holds_complete();
    if (complete < 0)
        return fail("cannot read the store");
    int64_t repos = 0, linked = 0;
    if (reg_storage_upgrade_holds(&repos, &linked) != 0)
        return fail("upgrade failed");
    printf("registry-admin: %s: %lld repositories, %lld holds added; holds are enforced\n",
           complete ? "already upgraded, checked again" : "upgraded", static_cast<long long>(repos),
           static_cast<long long>(linked));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "--root") == 0) {
        setenv("REGISTRY_STORAGE_ROOT", argv[i + 1], 1);
        i += 2;
    }
    if (i + 1 != argc || strcmp(argv[i], "upgrade") != 0) {
        fputs(USAGE, stderr);
        return 2;
    }
    if (oci_init_storage() != 0)
        return fail("cannot open the store");
    return upgrade();
}
