// A full file system under the storage root: the root lies on a small tmpfs
// mounted for the test, a manifest, its tag and a blob are stored, and then
// a filler file takes every free block. Further pushes must fail with a
// clean registry error document while what was stored stays served byte
// for byte; once the filler is gone the store takes pushes again.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include "robust_client.h"

using namespace e2e;
using cgitest::manifest;
using cgitest::sha256_digest;

namespace {

constexpr const char kRepo[] = "/v2/full/app";

class DiskFullTest : public LighttpdTest {
protected:
    void SetUp() override
    {
        LighttpdTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root";
        mnt_ = path("fs");
        fs::create_directory(mnt_);
        if (mount("tmpfs", mnt_.c_str(), "tmpfs", 0, "size=2m,mode=0700") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
        mounted_ = true;
        stop_server();
        root_ = mnt_ + "/storage";
        ASSERT_NO_FATAL_FAILURE(start(cgi_dir()));
    }

    void TearDown() override
    {
        stop_server();
        if (mounted_)
            umount2(mnt_.c_str(), MNT_DETACH);
        LighttpdTest::TearDown();
    }

    void stop_server()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int st;
        while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    // Writes until the file system refuses; the bytes written.
    size_t fill(const std::string &file)
    {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        std::string chunk(4096, 'f');
        size_t total = 0;
        for (;;) {
            ssize_t n = write(fd, chunk.data(), chunk.size());
            if (n <= 0)
                break;
            total += static_cast<size_t>(n);
        }
        close(fd);
        return total;
    }

    // A full disk is the server's condition, not the client's mistake: 507
    // with the registry's error document, so that a client retries later
    // instead of giving up on its content.
    void expect_clean_failure(const Response &r, const std::string &what)
    {
        SCOPED_TRACE(what);
        EXPECT_EQ(r.status, 507) << r.status_line;
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.get("Content-Type").rfind("application/json", 0), 0u) << r.get("Content-Type");
        EXPECT_EQ(r.body.rfind("{\"errors\":[{\"code\":\"STORAGE_ERROR\"", 0), 0u) << r.body;
        printf("diskfull: %s -> %d %s", what.c_str(), r.status, r.body.c_str());
    }

    int temp_files()
    {
        int n = 0;
        for (auto &e : fs::recursive_directory_iterator(root_))
            if (e.is_regular_file() && e.path().filename().string().find(".tmp.") != std::string::npos)
                n++;
        return n;
    }

    std::string mnt_;
    bool mounted_ = false;
};

TEST_F(DiskFullTest, PushesFailCleanlyAndStoredContentSurvives)
{
    const bool uploads = program_exists("v2_upload");
    const bool blob_reads = program_exists("v2_blob");
    const std::string old_manifest = manifest('a', ",\"annotations\":{\"p\":\"" + std::string(100000, 'o') + "\"}");
    const std::string new_manifest = manifest('b', ",\"annotations\":{\"p\":\"" + std::string(100000, 'n') + "\"}");
    const std::string small_manifest = manifest('c');
    std::string old_blob(150000, '\0'), new_blob(300000, '\0');
    for (size_t i = 0; i < old_blob.size(); i++)
        old_blob[i] = static_cast<char>(i * 31 + 7);
    for (size_t i = 0; i < new_blob.size(); i++)
        new_blob[i] = static_cast<char>(i * 17 + 3);

    ASSERT_EQ(http("PUT", std::string(kRepo) + "/manifests/stable", old_manifest).status, 201);
    if (uploads) {
        Response up =
            http_at(port_, "POST", std::string(kRepo) + "/blobs/uploads/?digest=" + sha256_digest(old_blob), old_blob);
        ASSERT_EQ(up.status, 201) << up.body;
    }

    const size_t filled = fill(mnt_ + "/filler");
    struct statvfs sv {};
    ASSERT_EQ(statvfs(mnt_.c_str(), &sv), 0);
    printf("diskfull: filler took %zu bytes, %llu blocks left\n", filled, static_cast<unsigned long long>(sv.f_bavail));
    ASSERT_EQ(sv.f_bavail, 0u);

    expect_clean_failure(http("PUT", std::string(kRepo) + "/manifests/stable", new_manifest),
                         "PUT manifest to the tag");
    expect_clean_failure(http("PUT", std::string(kRepo) + "/manifests/other", new_manifest),
                         "PUT manifest to a new tag");
    // A small manifest may still find room in a directory block; if it is
    // taken, it must be whole.
    Response small = http("PUT", std::string(kRepo) + "/manifests/small", small_manifest);
    if (small.status == 201) {
        EXPECT_EQ(http("GET", std::string(kRepo) + "/manifests/small").body, small_manifest);
    } else {
        expect_clean_failure(small, "PUT small manifest");
    }
    if (uploads) {
        const std::string digest = sha256_digest(new_blob);
        expect_clean_failure(http_at(port_, "POST", std::string(kRepo) + "/blobs/uploads/?digest=" + digest, new_blob),
                             "monolithic upload");
        Response start = http_at(port_, "POST", std::string(kRepo) + "/blobs/uploads/");
        if (start.status == 202) {
            std::string loc = start.get("Location");
            Response put = http("PUT", with_query(loc, "digest=" + digest), new_blob);
            expect_clean_failure(put, "upload PUT with the content");
        } else {
            expect_clean_failure(start, "upload start");
        }
    }

    // What was stored stays, byte for byte.
    Response get = http("GET", std::string(kRepo) + "/manifests/stable");
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, old_manifest);
    EXPECT_EQ(get.get("Docker-Content-Digest"), sha256_digest(old_manifest));
    EXPECT_EQ(http("GET", std::string(kRepo) + "/manifests/" + sha256_digest(old_manifest)).body, old_manifest);
    EXPECT_EQ(http("GET", std::string(kRepo) + "/manifests/other").status, 404);
    if (uploads && blob_reads) {
        Response blob = http("GET", std::string(kRepo) + "/blobs/" + sha256_digest(old_blob));
        EXPECT_EQ(blob.status, 200);
        EXPECT_TRUE(blob.body == old_blob) << blob.body.size() << " bytes";
        EXPECT_EQ(http("HEAD", std::string(kRepo) + "/blobs/" + sha256_digest(new_blob)).status, 404);
    }
    EXPECT_EQ(temp_files(), 0);

    // Room again: the store works.
    ASSERT_EQ(unlink((mnt_ + "/filler").c_str()), 0);
    Response put = http("PUT", std::string(kRepo) + "/manifests/stable", new_manifest);
    EXPECT_EQ(put.status, 201) << put.body;
    EXPECT_EQ(http("GET", std::string(kRepo) + "/manifests/stable").body, new_manifest);
    if (uploads) {
        Response up =
            http_at(port_, "POST", std::string(kRepo) + "/blobs/uploads/?digest=" + sha256_digest(new_blob), new_blob);
        EXPECT_EQ(up.status, 201) << up.body;
        if (blob_reads) {
            EXPECT_TRUE(http("GET", std::string(kRepo) + "/blobs/" + sha256_digest(new_blob)).body == new_blob);
        }
    }
}

} // namespace
