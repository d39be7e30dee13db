// registry-admin: the operator's commands on a registry store, run beside
// the server (never through it). See admin_commands.h for the commands.
//
//   registry-admin [--root DIR] COMMAND [OPTIONS]
//
// The store is the one the programs would open: --root, else
// REGISTRY_STORAGE_ROOT, else ./config.json, else ./registry_storage.
// Exit status: 0 done, 1 findings (or a failed upgrade), 2 usage or
// storage errors, with a one-line message on standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin_commands.h"
#include "oci_common.h"
#include "reg_storage.h"

namespace {

struct command {
    const char *name;
    const char *summary;
    int (*run)(int argc, char **argv);
};

constexpr command COMMANDS[] = {
    {"gc", "remove what no repository needs any more", admin_gc},
    {"verify", "re-hash every blob and manifest, report dangling links", admin_verify},
    {"stats", "what the store holds, and what gc would reclaim", admin_stats},
    {"upgrade", "make a store written before repository holds enforce them", admin_upgrade},
};

void usage(FILE *out)
{
    fputs("usage: registry-admin [--root DIR] COMMAND [OPTIONS]   (COMMAND --help for its options)\n", out);
    for (const command &c : COMMANDS)
        fprintf(out, "  %-8s %s\n", c.name, c.summary);
}

} // namespace

int admin_storage_error(const char *what)
{
    fprintf(stderr, "registry-admin: %s: %s\n", what, reg_storage_last_error());
    return ADMIN_EXIT_ERROR;
}

int admin_usage_error(const char *usage_line, const char *what)
{
    fprintf(stderr, "registry-admin: %s\n%s", what, usage_line);
    return ADMIN_EXIT_ERROR;
}

bool admin_wants_help(int argc, char **argv, const char *usage_line)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(usage_line, stdout);
            return true;
        }
    }
    return false;
}

int admin_open_storage(void)
{
    if (oci_init_storage() != 0)
        return admin_storage_error("cannot open the store");
    return 0;
}

int main(int argc, char **argv)
{
    int i = 1;
    if (i < argc && strcmp(argv[i], "--root") == 0) {
        if (i + 1 >= argc) {
            usage(stderr);
            return ADMIN_EXIT_ERROR;
        }
        setenv("REGISTRY_STORAGE_ROOT", argv[i + 1], 1);
        i += 2;
    }
    if (i >= argc) {
        usage(stderr);
        return ADMIN_EXIT_ERROR;
    }
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
        usage(stdout);
        return ADMIN_EXIT_OK;
    }
    for (const command &c : COMMANDS)
        if (strcmp(argv[i], c.name) == 0)
            return c.run(argc - i, argv + i);
    fprintf(stderr, "registry-admin: unknown command %s\n", argv[i]);
    usage(stderr);
    return ADMIN_EXIT_ERROR;
}
