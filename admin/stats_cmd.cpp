// registry-admin stats: the storage library's statistics document, and
// below it what gc would reclaim now with the default grace period (a dry
// run of reg_gc, which removes nothing).
#include <cstdio>
#include <cstring>

#include "admin_commands.h"
#include "reg_storage.h"

namespace {

constexpr const char USAGE[] = "usage: registry-admin [--root DIR] stats [--delete-untagged]\n"
                               "  Prints the store's statistics (one JSON object), then what gc would reclaim now\n"
                               "  with the default grace period: blobs, holds and uploads.\n"
                               "  --delete-untagged  count the manifests gc --delete-untagged would remove too\n";

} // namespace

int admin_stats(int argc, char **argv)
{
    if (admin_wants_help(argc, argv, USAGE))
        return ADMIN_EXIT_OK;
    reg_gc_options options{};
    options.dry_run = 1;
    options.grace_seconds = REG_GC_GRACE_DEFAULT;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--delete-untagged") == 0)
            options.delete_untagged = 1;
        else
            return admin_usage_error(USAGE, "unknown stats option");
    }
    if (int rc = admin_open_storage(); rc != 0)
        return rc;
    const char *json = reg_storage_get_stats_json();
    if (!json)
        return admin_storage_error("cannot read the statistics");
    // Printed before the dry run, which may reuse the result buffer.
    printf("%s\n", json);
    fflush(stdout);
    reg_gc_result r{};
    if (reg_gc(&options, &r) != 0)
        return admin_storage_error("cannot work out what gc would reclaim");
    printf("gc would reclaim (grace %lld s): %lld blobs (%lld bytes), %lld holds, %lld uploads (%lld bytes)",
           static_cast<long long>(options.grace_seconds), static_cast<long long>(r.blobs),
           static_cast<long long>(r.blob_bytes), static_cast<long long>(r.holds), static_cast<long long>(r.uploads),
           static_cast<long long>(r.upload_bytes));
    if (options.delete_untagged)
        printf(", %lld manifests (%lld bytes)", static_cast<long long>(r.manifests),
               static_cast<long long>(r.manifest_bytes));
    putchar('\n');
    return ADMIN_EXIT_OK;
}
