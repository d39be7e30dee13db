// Concurrent clients of the registry, written once for the concurrency
// suite and the scale-out driver: threads, each with its own connections,
// move one tag between manifests, read it by tag and digest, delete tags
// and digests and upload the same blob content, spread over the web servers
// given. Every answer must be a whole manifest matching its digest header
// or a clean registry 404; no corrupt link, no 500. No gtest assertion
// inside; findings go to bad.
#ifndef TESTS_E2E_CONCURRENCY_CLIENTS_H
#define TESTS_E2E_CONCURRENCY_CLIENTS_H

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "robust_client.h"

namespace e2e {

class ConcurrentClients {
public:
    static constexpr const char kRepo[] = "conc/app";

    ConcurrentClients()
    {
        const size_t pads[] = {0, 3000, 40000, 200000};
        char c = 'a';
        for (size_t pad : pads) {
            manifests.push_back(cgitest::manifest(c++, ",\"annotations\":{\"p\":\"" + std::string(pad, 'y') + "\"}"));
            digests.insert(cgitest::sha256_digest(manifests.back()));
        }
        for (size_t size : {size_t(70000), size_t(1) << 20}) {
            std::string b(size, '\0');
            for (size_t i = 0; i < size; i++)
                b[i] = static_cast<char>((i * 7919 + size) & 0xff);
            blobs.push_back(b);
        }
    }

    // A manifest answer: whole and matching its digest header, or the 404
    // document; anything else goes to bad.
    void check_manifest_reply(const Response &r, bool head, const std::string &what)
    {
        if (r.status == 200) {
            const std::string digest = r.get("Docker-Content-Digest");
            if (!digests.count(digest)) {
                bad.add(what + ": unknown digest header " + digest);
                return;
            }
            if (head) {
                size_t size = 0;
                for (const std::string &m : manifests)
                    if (cgitest::sha256_digest(m) == digest)
                        size = m.size();
                if (r.get("Content-Length") != std::to_string(size) || !r.body.empty())
                    bad.add(what + ": HEAD length " + r.get("Content-Length") + " for " + digest);
                return;
            }
            if (cgitest::sha256_digest(r.body) != digest || r.get("Content-Length") != std::to_string(r.body.size()))
                bad.add(what + ": body does not match its digest header " + digest);
            return;
        }
        if (r.status == 404) {
            if (!head && r.body != cgitest::error_doc("MANIFEST_UNKNOWN", "manifest unknown"))
                bad.add(what + ": 404 without the registry document: " + r.body);
            if (head && r.get("Docker-Distribution-API-Version") != "registry/2.0")
                bad.add(what + ": 404 not from the registry");
            return;
        }
        bad.add(what + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
    }

    // The loops of every thread against the given ports; each thread runs
    // rounds operations, each on a port chosen in turn.
    void run_loops(const std::vector<int> &ports, int rounds)
    {
        const bool uploads = program_exists("v2_upload");
        const bool blob_reads = program_exists("v2_blob");
        const std::string base = std::string("/v2/") + kRepo;
        std::vector<std::thread> threads;
        auto port_for = [&](int t, int i) { return ports[static_cast<size_t>(t + i) % ports.size()]; };

        for (int t = 0; t < 2; t++) // writers: the moving tag, and by digest
            threads.emplace_back([&, t] {
                for (int i = 0; i < rounds; i++) {
                    const std::string &m = manifests[static_cast<size_t>(i * 3 + t) % manifests.size()];
                    std::string ref = (i % 5 == 4) ? cgitest::sha256_digest(m) : (i % 7 == 3 ? "other" : "moving");
                    Response r = http_at(port_for(t, i), "PUT", base + "/manifests/" + ref, m,
                                         {std::string("Content-Type: ") + kOciType});
                    puts++;
                    if (r.status != 201 || r.get("Docker-Content-Digest") != cgitest::sha256_digest(m))
                        bad.add("PUT " + ref + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
                }
            });
        for (int t = 0; t < 2; t++) // readers: GET and HEAD by tag and digest
            threads.emplace_back([&, t] {
                for (int i = 0; i < rounds; i++) {
                    bool head = i % 3 == 2;
                    std::string ref = i % 4 == 1
                                          ? cgitest::sha256_digest(manifests[static_cast<size_t>(i) % manifests.size()])
                                          : "moving";
                    Response r = http_at(port_for(t, i), head ? "HEAD" : "GET", base + "/manifests/" + ref);
                    (head ? heads : gets)++;
                    check_manifest_reply(r, head, std::string(head ? "HEAD " : "GET ") + ref);
                }
            });
        threads.emplace_back([&] { // deleter: tags and digests
            for (int i = 0; i < rounds / 2; i++) {
                std::string ref = i % 3 == 0 ? "moving"
                                  : i % 3 == 1
                                      ? "other"
                                      : cgitest::sha256_digest(manifests[static_cast<size_t>(i) % manifests.size()]);
                Response r = http_at(port_for(0, i), "DELETE", base + "/manifests/" + ref);
                deletes++;
                if (r.status != 202 &&
                    !(r.status == 404 && r.body == cgitest::error_doc("MANIFEST_UNKNOWN", "manifest unknown")))
                    bad.add("DELETE " + ref + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
            }
        });
        if (uploads)
            for (int t = 0; t < 2; t++) // uploaders: the same contents at once
                threads.emplace_back([&, t] {
                    for (int i = 0; i < rounds / 3; i++) {
                        const std::string &b = blobs[static_cast<size_t>(i) % blobs.size()];
                        const std::string digest = cgitest::sha256_digest(b);
                        int port = port_for(t, i);
                        Response r;
                        if (i % 2 == 0) {
                            r = http_at(port, "POST", base + "/blobs/uploads/?digest=" + digest, b);
                        } else {
                            Response start = http_at(port, "POST", base + "/blobs/uploads/");
                            std::string loc = start.get("Location");
                            if (start.status != 202 || loc.rfind("/v2/", 0) != 0) {
                                bad.add("POST upload: status " + std::to_string(start.status));
                                continue;
                            }
                            r = http_at(port, "PUT", with_query(loc, "digest=" + digest), b);
                        }
                        this->uploads++;
                        if (r.status != 201 || r.get("Docker-Content-Digest") != digest) {
                            bad.add("upload: status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
                            continue;
                        }
                        if (!blob_reads)
                            continue;
                        // Read back through the next server: what one
                        // stored, every other serves.
                        Response get = http_at(port_for(t, i + 1), "GET", base + "/blobs/" + digest);
                        blob_gets++;
                        if (get.status != 200 || get.body != b)
                            bad.add("blob GET after upload: status " + std::to_string(get.status) + ", " +
                                    std::to_string(get.body.size()) + " bytes");
                    }
                });
        for (std::thread &t : threads)
            t.join();
    }

    int operations() const { return puts + gets + heads + deletes + uploads + blob_gets; }

    // "operations=N (PUT=... blob_GET=...)"
    std::string figures() const
    {
        return "operations=" + std::to_string(operations()) + " (PUT=" + std::to_string(puts.load()) +
               " GET=" + std::to_string(gets.load()) + " HEAD=" + std::to_string(heads.load()) +
               " DELETE=" + std::to_string(deletes.load()) + " uploads=" + std::to_string(uploads.load()) +
               " blob_GET=" + std::to_string(blob_gets.load()) + ")";
    }

    std::vector<std::string> manifests;
    std::set<std::string> digests;
    std::vector<std::string> blobs;
    Anomalies bad;
    std::atomic<int> puts{0}, gets{0}, heads{0}, deletes{0}, uploads{0}, blob_gets{0};
};

} // namespace e2e

#endif
