// Confinement for the harnesses that let the storage library touch the file
// system. A harness makes one private directory (the sandbox) and arms the
// guard around each call into the code under test; while armed, every
// mkdir, open for writing, creat, rename, unlink, rmdir and remove that the
// process issues is checked against the sandbox, and one that would change
// anything outside it aborts the process before it happens, so libFuzzer
// reports the input instead of leaving stray files behind. mkdir of a
// directory that already exists outside is let through as the EEXIST it
// would give (mkdirs walks every parent of an absolute path). fopen is not
// watched: libFuzzer writes its findings through it, and the storage code
// under test creates files through open.
#ifndef TESTS_FUZZ_FUZZ_SANDBOX_H
#define TESTS_FUZZ_FUZZ_SANDBOX_H

#include <cstddef>
#include <cstdint>

// Creates the sandbox once per process and returns its absolute path: below
// $REG_FUZZ_TMPDIR when set, else /dev/shm when it exists (the library's
// fsync then costs nothing), else /tmp.
const char *sandbox_dir(void);
void sandbox_arm(void);
void sandbox_disarm(void);
// 1 when path (relative paths count from the current directory) lies
// inside the sandbox after its "." and ".." components are resolved.
int sandbox_contains(const char *path);
// Removes path and everything below it; it must lie inside the sandbox.
void sandbox_remove_tree(const char *path);
// Aborts with a message when the directory's entries are not exactly the
// given names (count of them, in any order).
void sandbox_expect_entries(const char *dir, const char *const *names, size_t count);
// Writes len bytes to path (created or truncated); aborts on failure.
void sandbox_write(const char *path, const void *data, size_t len);

#endif
