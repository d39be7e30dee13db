// Finishes one prepared upload through the storage library, as a blob
// upload program would at the end of its final PUT: the crash test kills it
// at random points to see that a blob is published whole or not at all.
// Usage: robust_blob_finisher ROOT UPLOAD_ID DIGEST; exit 0 when stored.
#include <cstdio>

#include "reg_storage.h"

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    if (reg_storage_init(argv[1]) != 0)
        return 3;
    char digest[REG_DIGEST_BUF] = {};
    if (reg_blob_finish_upload(argv[2], argv[3], digest) != 0) {
        fprintf(stderr, "%s\n", reg_storage_last_error());
        return 1;
    }
    return 0;
}
