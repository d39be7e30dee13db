// registry-admin gc: removes what no repository needs any more (see
// reg_gc in reg_storage.h): holds no manifest of their repository names,
// blob bytes nothing holds, abandoned uploads and, on request, manifests
// nothing keeps. Safe beside a serving registry, safe to kill and rerun.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin_commands.h"
#include "reg_storage.h"

namespace {

constexpr const char USAGE[] =
    "usage: registry-admin [--root DIR] gc [--dry-run] [--grace SECONDS] [--delete-untagged]\n"
    "  --dry-run          list what would be removed, remove nothing\n"
    "  --grace SECONDS    leave everything younger alone (default 3600): the time a push\n"
    "                     may take between its blobs and its manifest\n"
    "  --delete-untagged  also remove manifests that no tag names, no index lists\n"
    "                     and that refer to no kept manifest\n";

struct gc_print {
    const char *verb;
};

void print_removal(void *ctx, const char *kind, const char *what, int64_t bytes)
{
    const gc_print *p = static_cast<const gc_print *>(ctx);
    printf("%s %s %s (%lld bytes)\n", p->verb, kind, what, static_cast<long long>(bytes));
}

bool parse_seconds(const char *text, int64_t *out)
{
    if (!text || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

} // namespace

int admin_gc(int argc, char **argv)
{
    if (admin_wants_help(argc, argv, USAGE))
        return ADMIN_EXIT_OK;
    reg_gc_options options{};
    options.grace_seconds = REG_GC_GRACE_DEFAULT;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--dry-run") == 0) {
            options.dry_run = 1;
        } else if (strcmp(argv[i], "--delete-untagged") == 0) {
            options.delete_untagged = 1;
        } else if (strcmp(argv[i], "--grace") == 0) {
            if (i + 1 >= argc || !parse_seconds(argv[i + 1], &options.grace_seconds))
                return admin_usage_error(USAGE, "--grace needs a number of seconds");
            ++i;
        } else {
            return admin_usage_error(USAGE, "unknown gc option");
        }
    }
    if (int rc = admin_open_storage(); rc != 0)
        return rc;
    gc_print print{options.dry_run ? "would remove" : "removed"};
    options.report = print_removal;
    options.ctx = &print;
    reg_gc_result r{};
    int rc = reg_gc(&options, &r);
    fflush(stdout);
    if (rc != 0)
        return admin_storage_error("gc failed");
    printf("registry-admin gc: %s %lld blobs (%lld bytes), %lld holds, %lld uploads (%lld bytes), %lld manifests "
           "(%lld bytes)\n",
           print.verb, static_cast<long long>(r.blobs), static_cast<long long>(r.blob_bytes),
           static_cast<long long>(r.holds), static_cast<long long>(r.uploads), static_cast<long long>(r.upload_bytes),
           static_cast<long long>(r.manifests), static_cast<long long>(r.manifest_bytes));
    return ADMIN_EXIT_OK;
}
