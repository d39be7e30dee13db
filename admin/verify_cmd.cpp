// registry-admin verify: hashes every blob and manifest body of the store
// again and checks every tag link, revision link and hold (see reg_verify in
// reg_storage.h). One line per finding on standard output, then a summary;
// exit status 1 when anything was found. With --quarantine DIR the blobs
// and manifests whose bytes are wrong are moved aside into DIR, so that
// clients get 404 instead of them and a fresh push stores them again.
#include <cstdio>
#include <cstring>

#include "admin_commands.h"
#include "reg_storage.h"

namespace {

constexpr const char USAGE[] = "usage: registry-admin [--root DIR] verify [--quarantine DIR]\n"
                               "  Hashes every blob and manifest body again and checks every tag link, revision\n"
                               "  link and hold; prints one line per finding (kind, path below the root, what is\n"
                               "  wrong) and a summary. Exit status 1 when it found anything, 0 when not.\n"
                               "  --quarantine DIR  move each blob or manifest whose bytes are wrong into DIR\n"
                               "                    (made if missing; on the store's file system, outside its\n"
                               "                    blobs, repositories and uploads), under its path below the\n"
                               "                    root; links are only reported\n";

void print_finding(void *, const reg_verify_finding *f)
{
    printf("%s %s", f->label, f->path);
    if (f->detail[0])
        printf(": %s", f->detail);
    if (f->moved_to)
        printf(" (moved to %s)", f->moved_to);
    putchar('\n');
}

} // namespace

int admin_verify(int argc, char **argv)
{
    if (admin_wants_help(argc, argv, USAGE))
        return ADMIN_EXIT_OK;
    reg_verify_options options{};
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quarantine") == 0 && !options.quarantine_dir) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return admin_usage_error(USAGE, "--quarantine needs a directory");
            options.quarantine_dir = argv[++i];
        } else {
            return admin_usage_error(USAGE, "unknown verify option");
        }
    }
    if (int rc = admin_open_storage(); rc != 0)
        return rc;
    options.report = print_finding;
    reg_verify_result r{};
    int rc = reg_verify(&options, &r);
    fflush(stdout);
    if (rc != 0)
        return admin_storage_error("verify failed");
    printf("registry-admin verify: %lld repositories, %lld blobs (%lld bytes), %lld manifests, %lld links checked; "
           "%lld findings",
           static_cast<long long>(r.repositories), static_cast<long long>(r.blobs),
           static_cast<long long>(r.blob_bytes), static_cast<long long>(r.manifests), static_cast<long long>(r.links),
           static_cast<long long>(r.findings));
    if (options.quarantine_dir)
        printf(", %lld files moved to %s", static_cast<long long>(r.moved), options.quarantine_dir);
    putchar('\n');
    return r.findings > 0 ? ADMIN_EXIT_FINDINGS : ADMIN_EXIT_OK;
}
