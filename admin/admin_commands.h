// The commands of registry-admin, one file each, and what they share. A
// command gets its own name as argv[0] and its options after it; it opens
// the storage itself (admin_open_storage) once its options are read, so
// that --help and a usage error need no store.
#ifndef ADMIN_ADMIN_COMMANDS_H
#define ADMIN_ADMIN_COMMANDS_H

constexpr int ADMIN_EXIT_OK = 0;
constexpr int ADMIN_EXIT_FINDINGS = 1;
constexpr int ADMIN_EXIT_ERROR = 2;

int admin_gc(int argc, char **argv);
int admin_verify(int argc, char **argv);
int admin_stats(int argc, char **argv);
int admin_upgrade(int argc, char **argv);

// Opens the store the programs would open: 0, or the exit status after a
// one-line message on standard error.
int admin_open_storage(void);
// "registry-admin: <what>: <the storage's last message>" on standard error;
// returns ADMIN_EXIT_ERROR.
int admin_storage_error(const char *what);
// "registry-admin: <what>" and the command's usage on standard error;
// returns ADMIN_EXIT_ERROR.
int admin_usage_error(const char *usage_line, const char *what);
// True (after printing the usage on standard output) when an argument
// asks for help.
bool admin_wants_help(int argc, char **argv, const char *usage_line);

#endif
