// Storage statistics: counts and byte totals of repositories, tags, blobs
// and uploads, walked afresh from the tree on every call and rendered as one
// JSON object into the shared result buffer. A directory that cannot be
// listed counts as empty; nothing here reports an error but readiness.
#include <cstdio>

#include "storage_internal.h"

namespace {

int count_repos(void)
{
    char repos[REG_PATH_BUF];
    repos_dir(repos, sizeof repos);
    dir_listing listing;
    if (list_dir(repos, &listing) != 0) {
        return 0;
    }
    int count = 0;
    for (int i = 0; i < listing.count; ++i) {
        if (listing.entries[i].is_dir) {
            ++count;
        }
    }
    return count;
}

// Blob files lie one level below blobs/<algo>, in the fan-out directories;
// the bytes of both algorithms count.
int64_t count_blobs(int *out_count)
{
    int64_t total = 0;
    int count = 0;
    for (const digest_algo &algo : DIGEST_ALGOS) {
        char store[REG_PATH_BUF];
        blob_algo_dir(&algo, store, sizeof store);

        dir_listing fanouts;
        if (list_dir(store, &fanouts) == 0) {
            for (int i = 0; i < fanouts.count; ++i) {
                if (!fanouts.entries[i].is_dir) {
                    continue;
                }
                char fanout[REG_PATH_BUF];
                path_join(fanout, sizeof fanout, store, fanouts.entries[i].name);
                dir_listing files;
                if (list_dir(fanout, &files) != 0) {
                    continue;
                }
                for (int j = 0; j < files.count; ++j) {
                    if (files.entries[j].is_dir) {
                        continue;
                    }
                    char file[REG_PATH_BUF];
                    path_join(file, sizeof file, fanout, files.entries[j].name);
                    int64_t size = file_size(file);
                    if (size > 0) {
                        total += size;
                    }
                    ++count;
                }
            }
        }
    }
    *out_count = count;
    return total;
}

// Tags by the tag list's rule: a directory under tags whose link reads.
int count_tags(void)
{
    char repos[REG_PATH_BUF];
    repos_dir(repos, sizeof repos);
    dir_listing repo_listing;
    if (list_dir(repos, &repo_listing) != 0) {
        return 0;
    }
    int count = 0;
    for (int i = 0; i < repo_listing.count; ++i) {
        if (!repo_listing.entries[i].is_dir) {
            continue;
        }
        char repo[REG_PATH_BUF];
        char manifests[REG_PATH_BUF];
        char tags[REG_PATH_BUF];
        path_join(repo, sizeof repo, repos, repo_listing.entries[i].name);
        path_join(manifests, sizeof manifests, repo, "_manifests");
        path_join(tags, sizeof tags, manifests, "tags");
        dir_listing tag_listing;
        if (list_dir(tags, &tag_listing) != 0) {
            continue;
        }
        for (int j = 0; j < tag_listing.count; ++j) {
            if (!tag_listing.entries[j].is_dir) {
                continue;
            }
            char tag[REG_PATH_BUF];
            char current[REG_PATH_BUF];
            char link_path[REG_PATH_BUF];
            path_join(tag, sizeof tag, tags, tag_listing.entries[j].name);
            path_join(current, sizeof current, tag, "current");
            path_join(link_path, sizeof link_path, current, "link");
            char link[LINK_READ_BUF];
            if (read_file(link_path, link, sizeof link, nullptr) == 0) {
                ++count;
            }
        }
    }
    return count;
}

int count_uploads(int64_t *out_bytes)
{
    *out_bytes = 0;
    char uploads[REG_PATH_BUF];
    path_join(uploads, sizeof uploads, s_root, "uploads");
    dir_listing listing;
    if (list_dir(uploads, &listing) != 0) {
        return 0;
    }
    int64_t total = 0;
    int count = 0;
    for (int i = 0; i < listing.count; ++i) {
        if (listing.entries[i].is_dir) {
            continue;
        }
        char file[REG_PATH_BUF];
        path_join(file, sizeof file, uploads, listing.entries[i].name);
        int64_t size = file_size(file);
        if (size > 0) {
            total += size;
        }
        ++count;
    }
    *out_bytes = total;
    return count;
}

} // namespace

const char *reg_storage_get_stats_json(void)
{
    if (require_ready() != 0) {
        return nullptr;
    }
    int repos = 0;
    int blobs = 0;
    int64_t blob_bytes = 0;
    int tags = 0;
    int uploads = 0;
    int64_t upload_bytes = 0;
    repos = count_repos();
    blob_bytes = count_blobs(&blobs);
    tags = count_tags();
    uploads = count_uploads(&upload_bytes);

    // At most about 200 bytes: the document always fits whole.
    snprintf(s_result, REG_RESULT_SIZE,
             "{\"version\":\"1.0.0\","
             "\"repositories\":%d,"
             "\"tags\":%d,"
             "\"blobs\":%d,"
             "\"blob_bytes\":%lld,"
             "\"active_uploads\":%d,"
             "\"upload_bytes\":%lld}",
             repos, tags, blobs, static_cast<long long>(blob_bytes), uploads, static_cast<long long>(upload_bytes));
    return s_result;
}
