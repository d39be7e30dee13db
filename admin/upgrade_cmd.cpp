// registry-admin upgrade: makes a store written before repositories held
// their blobs enforce holds. Every repository is linked to the blobs its
// manifests name, then the store is marked; until then such a store serves
// every stored blob in every repository, as it did before. Safe to repeat
// and to run while the server serves.
#include <cstdio>

#include "admin_commands.h"
#include "reg_storage.h"

namespace {

constexpr const char USAGE[] = "usage: registry-admin [--root DIR] upgrade\n"
                               "  Links each repository to the blobs its manifests name and marks the store\n"
                               "  so that a repository serves only the blobs it holds.\n";

} // namespace

int admin_upgrade(int argc, char **argv)
{
    if (admin_wants_help(argc, argv, USAGE))
        return ADMIN_EXIT_OK;
    if (argc != 1)
        return admin_usage_error(USAGE, "upgrade takes no options");
    if (int rc = admin_open_storage(); rc != 0)
        return rc;
    int complete = reg_storage_holds_complete();
    if (complete < 0)
        return admin_storage_error("cannot read the store");
    int64_t repos = 0, linked = 0;
    if (reg_storage_upgrade_holds(&repos, &linked) != 0)
        return admin_storage_error("upgrade failed");
    printf("registry-admin: %s: %lld repositories, %lld holds added; holds are enforced\n",
           complete ? "already upgraded, checked again" : "upgraded", static_cast<long long>(repos),
           static_cast<long long>(linked));
    return ADMIN_EXIT_OK;
}
