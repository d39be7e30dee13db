// skopeo as a real client of the registry behind lighttpd: a fixture that
// runs it with a private HOME, TMPDIR and signature policy, builds OCI image
// layouts to push (make_oci_layout.sh and its companions), and reads the
// layouts a pull leaves behind. Tests that use it are skipped when skopeo is
// not installed.
#ifndef TESTS_E2E_SKOPEO_CLIENT_H
#define TESTS_E2E_SKOPEO_CLIENT_H

#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "e2e_server.h"

namespace e2e {

inline constexpr const char kSkopeo[] = "/usr/bin/skopeo";

class SkopeoTest : public LighttpdTest {
protected:
    void SetUp() override
    {
        if (access(kSkopeo, X_OK) != 0)
            GTEST_SKIP() << "skopeo is not installed";
        LighttpdTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        fs::create_directory(path("home"));
        policy_ = path("policy.json");
        put_file(policy_, "{\"default\":[{\"type\":\"insecureAcceptAnything\"}]}");
    }

    // Runs a command with a private HOME and TMPDIR, so that no credentials
    // or settings of the user running the tests take part; bounded in time
    // so that a client that hangs on a bad reply fails the test instead.
    cgitest::Outcome run(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {"/usr/bin/timeout", "300"};
        argv.insert(argv.end(), args.begin(), args.end());
        return cgitest::run_command(argv, {"PATH=/usr/bin:/bin", "HOME=" + path("home"), "TMPDIR=" + dir_});
    }

    cgitest::Outcome skopeo(const std::string &command, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {kSkopeo, "--policy", policy_, command};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }

    std::string registry() const { return "docker://127.0.0.1:" + std::to_string(port_) + "/"; }

    // A layout of one image tagged tag; its manifest digest.
    std::string make_layout(const std::string &dir, const std::string &tag, int layers)
    {
        cgitest::Outcome made =
            run({"/bin/bash", std::string(TESTS_E2E_DIR) + "/make_oci_layout.sh", dir, tag, std::to_string(layers)});
        EXPECT_EQ(made.status, 0) << made.err;
        std::string digest = made.out.substr(0, made.out.find('\n'));
        EXPECT_EQ(digest.size(), 71u) << made.out;
        return digest;
    }

    // A layout of a two-platform image index tagged tag
    // (make_oci_index_layout.sh); the index's digest.
    std::string make_index_layout(const std::string &dir, const std::string &tag)
    {
        cgitest::Outcome made = run({"/bin/sh", std::string(TESTS_E2E_DIR) + "/make_oci_index_layout.sh", dir, tag});
        EXPECT_EQ(made.status, 0) << made.err;
        return index_digest(dir);
    }

    // Copies the image of a layout's tag into the registry as dest
    // ("<name>:<tag>"), every platform of an index with all.
    void push(const std::string &layout, const std::string &tag, const std::string &dest, bool all = false)
    {
        std::vector<std::string> args = {"--dest-tls-verify=false", "--preserve-digests"};
        if (all)
            args.push_back("--all");
        args.insert(args.end(), {"oci:" + layout + ":" + tag, registry() + dest});
        cgitest::Outcome r = skopeo("copy", args);
        ASSERT_EQ(r.status, 0) << r.out << r.err << "\nserver: " << slurp(path("run/error.log"));
    }

    // Copies src ("<name>:<tag>" or "<name>@<digest>") out of the registry,
    // every platform included, into a new layout under tag.
    cgitest::Outcome pull(const std::string &src, const std::string &layout, const std::string &tag)
    {
        return skopeo("copy", {"--src-tls-verify=false", "--preserve-digests", "--all", registry() + src,
                               "oci:" + layout + ":" + tag});
    }

    // The digest of the first manifest named by a layout's index.json.
    static std::string index_digest(const std::string &layout)
    {
        std::string index = slurp(layout + "/index.json");
        size_t at = index.find("\"digest\"");
        if (at == std::string::npos)
            return "<no digest in " + index + ">";
        size_t start = index.find("sha256:", at);
        return start == std::string::npos ? "<malformed>" : index.substr(start, 71);
    }

    static std::set<std::string> blob_files(const std::string &layout)
    {
        std::set<std::string> out;
        for (const auto &e : fs::directory_iterator(layout + "/blobs/sha256"))
            out.insert(e.path().filename());
        return out;
    }

    static std::string blob(const std::string &layout, const std::string &digest)
    {
        return slurp(layout + "/blobs/sha256/" + digest.substr(7));
    }

    // Every "sha256:..." digest in a text, in order.
    static std::vector<std::string> digests_in(const std::string &text)
    {
        std::vector<std::string> out;
        for (size_t at = text.find("sha256:"); at != std::string::npos; at = text.find("sha256:", at + 7))
            out.push_back(text.substr(at, 71));
        return out;
    }

    // JSON output of a client with its white space removed (the values
    // compared hold none).
    static std::string compact(const std::string &json)
    {
        std::string out;
        for (char c : json)
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r')
                out += c;
        return out;
    }

    std::string policy_;
};

} // namespace e2e

#endif
