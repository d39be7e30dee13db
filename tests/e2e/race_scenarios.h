// The races between requests on one upload or one repository, written once
// for the web servers that take part: the suite of one server passes its
// port for both sides, the scale-out driver one port per node, so that the
// two racing requests meet only in the shared storage. No gtest assertion
// inside; findings go to an Anomalies.
//   - finish_versus_append: a finish (PUT ?digest=) of a large upload while
//     PATCHes append a few bytes to it: either the bytes get in first and
//     the finish refuses the digest, or the finish wins and the PATCH finds
//     no upload; a stored blob always holds exactly the bytes its digest
//     names;
//   - duplicate_chunk: the same chunk PATCHed twice at once at offset 0: one
//     is taken, the other is refused with 416, and the upload holds the
//     chunk once;
//   - lost_tag: a tag deleted while the same manifest is pushed under
//     another tag: the new tag always leads to the manifest.
#ifndef TESTS_E2E_RACE_SCENARIOS_H
#define TESTS_E2E_RACE_SCENARIOS_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <latch>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "robust_client.h"

namespace e2e::races {

using Clock = std::chrono::steady_clock;

// What a race reports besides its anomalies: rounds run and its own counts.
struct Outcome {
    int rounds = 0;
    std::string figures; // " name=value" pairs
};

// "0-<n-1>", the Range header of an upload holding n > 0 bytes.
inline std::string range_of(size_t n)
{
    return "0-" + std::to_string(n - 1);
}

inline std::string start_upload(int port, const std::string &repo, Anomalies &bad)
{
    Response r = http_at(port, "POST", "/v2/" + repo + "/blobs/uploads/");
    const std::string loc = r.get("Location");
    if (r.status != 202 || loc.rfind("/v2/" + repo + "/blobs/uploads/", 0) != 0) {
        bad.add("POST upload: " + brief(r));
        return "";
    }
    return loc;
}

// Finishes location as digest through put_port; a 201 must leave a blob
// that get_port serves as exactly data. Returns the PUT's status.
inline int finish_and_check(int put_port, int get_port, const std::string &repo, const std::string &location,
                            const std::string &data, const std::string &what, Anomalies &bad)
{
    const std::string digest = cgitest::sha256_digest(data);
    Response put = http_at(put_port, "PUT", with_query(location, "digest=" + digest));
    if (put.status != 201) {
        bad.add(what + ": PUT " + brief(put));
        return put.status;
    }
    Response get = http_at(get_port, "GET", "/v2/" + repo + "/blobs/" + digest);
    if (get.status != 200 || get.body.size() != data.size() || get.body != data)
        bad.add(what + ": blob GET " + std::to_string(get.status) + " with " + std::to_string(get.body.size()) +
                " bytes of " + std::to_string(data.size()) + ", sha256 " + cgitest::sha256_digest(get.body));
    return put.status;
}

// ---------------------------------------------------------------- finish vs append

struct PatchPlan {
    bool content_range;
    double delay_share; // of the time a finish of this size takes
};

struct PatchResult {
    PatchPlan plan;
    Response reply;
};

// Rounds sweep the PATCHes' delays over the finish's duration: some start
// with the finish and may get in first, some land while it hashes and some
// between its hashing and its publishing the blob. The two PATCHes of a
// round take turns at being first and at carrying a Content-Range.
inline std::vector<PatchPlan> patch_plans(int round)
{
    static const double kShares[] = {0.0, 0.35, 0.55, 0.7, 0.8, 0.9, 1.0, 0.6, 0.85, 0.95, 0.75, 0.1};
    const double share = kShares[static_cast<size_t>(round) % std::size(kShares)];
    const bool ranged_first = round % 2 == 0;
    return {{ranged_first, share}, {!ranged_first, share + 0.12}};
}

// The upload is started and appended to through append_port and finished
// through finish_port while append_port keeps taking PATCHes.
inline Outcome finish_versus_append(int append_port, int finish_port, const std::string &repo, size_t size, int rounds,
                                    Anomalies &bad)
{
    // A clean push of the same size first: how long its finish takes sets
    // where the PATCHes of a round aim.
    double finish_ms = 0;
    {
        const std::string data = blob_bytes(size, 1000);
        const std::string loc = start_upload(append_port, repo, bad);
        if (loc.empty())
            return {};
        Response r = http_at(append_port, "PATCH", loc, data);
        if (r.status != 202) {
            bad.add("clean push: PATCH " + brief(r));
            return {};
        }
        const auto t0 = Clock::now();
        if (finish_and_check(finish_port, append_port, repo, loc, data, "clean push", bad) != 201)
            return {};
        finish_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    }

    int stored = 0, refused = 0;
    std::map<int, int> patch_answers;
    std::vector<int> stored_rounds;
    for (int round = 0; round < rounds; round++) {
        const std::string what = "round " + std::to_string(round);
        const std::string data = blob_bytes(size, static_cast<unsigned>(round));
        const std::string digest = cgitest::sha256_digest(data);
        const std::string loc = start_upload(append_port, repo, bad);
        if (loc.empty())
            continue;
        Response big = http_at(append_port, "PATCH", loc, data);
        if (big.status != 202 || big.get("Range") != range_of(size)) {
            bad.add(what + ": PATCH of the body " + brief(big) + " Range " + big.get("Range"));
            continue;
        }

        const std::vector<PatchPlan> plans = patch_plans(round);
        std::vector<PatchResult> patches(plans.size());
        Response put;
        double put_ms = 0;
        std::latch go(static_cast<std::ptrdiff_t>(plans.size() + 1));
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            go.arrive_and_wait();
            const auto t0 = Clock::now();
            put = http_at(finish_port, "PUT", with_query(loc, "digest=" + digest));
            put_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        });
        for (size_t i = 0; i < plans.size(); i++)
            threads.emplace_back([&, i] {
                const std::string extra = "extra " + std::to_string(i) + "/" + std::to_string(round);
                std::vector<std::string> headers;
                if (plans[i].content_range)
                    headers.push_back("Content-Range: " + std::to_string(size) + "-" +
                                      std::to_string(size + extra.size() - 1));
                go.arrive_and_wait();
                std::this_thread::sleep_for(
                    std::chrono::duration<double, std::milli>(plans[i].delay_share * finish_ms));
                patches[i] = {plans[i], http_at(append_port, "PATCH", loc, extra, headers)};
            });
        for (std::thread &t : threads)
            t.join();

        // The finish either stored the blob or refused the digest: bytes got
        // in before it hashed.
        const bool put_stored = put.status == 201;
        if (put_stored) {
            stored++;
            stored_rounds.push_back(round);
            // Aim later rounds at finishes that went the whole way.
            finish_ms = (finish_ms + put_ms) / 2;
        } else if (put.status == 400 && put.body.find("\"code\":\"DIGEST_INVALID\"") != std::string::npos) {
            refused++;
        } else {
            bad.add(what + ": PUT " + brief(put));
        }
        for (const PatchResult &p : patches) {
            const std::string label = what + ": PATCH (" + (p.plan.content_range ? "ranged" : "unranged") + ", at " +
                                      std::to_string(static_cast<int>(p.plan.delay_share * 100)) + "%)";
            const int s = p.reply.status;
            patch_answers[s]++;
            if (s == 202 && put_stored)
                bad.add(label + " answered 202 and the finish 201 " + put.get("Docker-Content-Digest"));
            else if (!(s == 202 || s == 404 || (s == 416 && p.plan.content_range)))
                bad.add(label + " answered " + brief(p.reply));
        }
        // Whatever the answers, a blob served under the digest holds its
        // bytes, through either server.
        std::vector<int> readers = {finish_port};
        if (append_port != finish_port)
            readers.push_back(append_port);
        for (int port : readers) {
            Response get = http_at(port, "GET", "/v2/" + repo + "/blobs/" + digest);
            if (get.status == 200 ? cgitest::sha256_digest(get.body) != digest : put_stored || get.status != 404)
                bad.add(what + ": blob GET " + std::to_string(get.status) + " with " + std::to_string(get.body.size()) +
                        " bytes of " + std::to_string(size) + " after the finish answered " + brief(put));
        }
    }

    // A blob stored once stays as stored: a later correct push of the same
    // bytes is taken as already there, so a damaged blob would stay damaged.
    for (int round : stored_rounds) {
        const std::string data = blob_bytes(size, static_cast<unsigned>(round));
        const std::string loc = start_upload(append_port, repo, bad);
        if (loc.empty())
            continue;
        Response r = http_at(append_port, "PATCH", loc, data);
        if (r.status != 202) {
            bad.add("push again of round " + std::to_string(round) + ": PATCH " + brief(r));
            continue;
        }
        finish_and_check(finish_port, append_port, repo, loc, data, "push again of round " + std::to_string(round),
                         bad);
    }
    Outcome out{rounds, " stored=" + std::to_string(stored) + " digest_refused=" + std::to_string(refused)};
    for (auto [status, n] : patch_answers)
        out.figures += " patch_" + std::to_string(status) + "=" + std::to_string(n);
    return out;
}

// ---------------------------------------------------------------- duplicate chunks

// The upload is started through port_a; one PATCH goes to each port, and
// the status is read back through port_b.
inline Outcome duplicate_chunk(int port_a, int port_b, const std::string &repo, size_t size, int rounds, Anomalies &bad)
{
    const std::string chunk = blob_bytes(size, 77);
    const std::string range = range_of(size);
    int both_taken = 0, stale_range = 0;

    for (int round = 0; round < rounds; round++) {
        const std::string what = "round " + std::to_string(round);
        const std::string loc = start_upload(port_a, repo, bad);
        if (loc.empty())
            continue;
        Response replies[2];
        const int ports[2] = {port_a, port_b};
        std::latch go(2);
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; i++)
            threads.emplace_back([&, i] {
                go.arrive_and_wait();
                replies[i] = http_at(ports[i], "PATCH", loc, chunk, {"Content-Range: " + range});
            });
        for (std::thread &t : threads)
            t.join();

        const int taken = (replies[0].status == 202) + (replies[1].status == 202);
        const int refused = (replies[0].status == 416) + (replies[1].status == 416);
        both_taken += taken == 2;
        if (taken != 1 || refused != 1)
            bad.add(what + ": the two PATCHes answered " + brief(replies[0]) + " (Range " + replies[0].get("Range") +
                    ") and " + brief(replies[1]) + " (Range " + replies[1].get("Range") + ")");
        for (const Response &r : replies)
            if ((r.status == 202 || r.status == 416) && r.get("Range") != range) {
                stale_range++;
                bad.add(what + ": PATCH " + std::to_string(r.status) + " with Range " + r.get("Range"));
            }

        Response status = http_at(port_b, "GET", loc);
        if (status.status != 204 || status.get("Range") != range) {
            bad.add(what + ": upload status " + brief(status) + " Range " + status.get("Range") + ", expected " +
                    range);
            http_at(port_a, "DELETE", loc);
            continue;
        }
        finish_and_check(port_a, port_b, repo, loc, chunk, what, bad);
    }
    return {rounds, " both_taken=" + std::to_string(both_taken) + " wrong_range=" + std::to_string(stale_range)};
}

// ---------------------------------------------------------------- lost tags

// The tags of a tags/list document, or nullopt when it is not one.
inline std::optional<std::vector<std::string>> listed_tags(const std::string &doc)
{
    const std::string key = "\"tags\":[";
    size_t pos = doc.find(key);
    if (pos == std::string::npos)
        return std::nullopt;
    pos += key.size();
    const size_t end = doc.find(']', pos);
    if (end == std::string::npos)
        return std::nullopt;
    std::vector<std::string> tags;
    while (pos < end) {
        const size_t open = doc.find('"', pos);
        if (open == std::string::npos || open > end)
            break;
        const size_t close = doc.find('"', open + 1);
        if (close == std::string::npos || close > end)
            return std::nullopt;
        tags.push_back(doc.substr(open + 1, close - open - 1));
        pos = close + 1;
    }
    return tags;
}

// The DELETE of "old" goes through delete_port, the PUT of "new" through
// put_port; what follows is read back through the other one each time.
inline Outcome lost_tag(int delete_port, int put_port, const std::string &repo_prefix, int pairs, int rounds,
                        Anomalies &bad)
{
    // Pairs on repositories of their own run side by side, and a reader
    // keeps the servers busy: the fault needs the deletion's steps to
    // interleave with the push's, which load makes more likely.
    const std::string type = std::string("Content-Type: ") + kOciType;
    auto repo_of = [&](int pair) { return repo_prefix + std::to_string(pair); };

    std::atomic<bool> done{false};
    std::thread reader([&] {
        // Reads only: what it sees is not judged, the rounds are.
        for (int i = 0; !done && i < 100000; i++)
            http_at(i % 2 ? put_port : delete_port, "GET", "/v2/" + repo_of(i % pairs) + "/tags/list");
    });

    int pushes = 0;
    for (int round = 0; round < rounds; round++) {
        std::vector<std::string> manifests;
        for (int p = 0; p < pairs; p++) {
            // Each round's manifest is new, so the deletion of "old" would
            // remove it unless the push of "new" counts.
            manifests.push_back(cgitest::manifest(static_cast<char>('a' + p),
                                                  ",\"annotations\":{\"round\":\"" + std::to_string(round) + "\"}"));
            Response r = http_at(delete_port, "PUT", "/v2/" + repo_of(p) + "/manifests/old", manifests.back(), {type});
            if (r.status != 201)
                bad.add("round " + std::to_string(round) + ": PUT old " + brief(r));
        }
        std::vector<Response> deletes(static_cast<size_t>(pairs)), puts(static_cast<size_t>(pairs));
        std::latch go(2 * pairs);
        std::vector<std::thread> threads;
        for (int p = 0; p < pairs; p++) {
            const std::string base = "/v2/" + repo_of(p) + "/manifests/";
            threads.emplace_back([&, p, base] {
                go.arrive_and_wait();
                deletes[static_cast<size_t>(p)] = http_at(delete_port, "DELETE", base + "old");
            });
            threads.emplace_back([&, p, base] {
                go.arrive_and_wait();
                puts[static_cast<size_t>(p)] =
                    http_at(put_port, "PUT", base + "new", manifests[static_cast<size_t>(p)], {type});
            });
        }
        for (std::thread &t : threads)
            t.join();

        for (int p = 0; p < pairs; p++) {
            const size_t i = static_cast<size_t>(p);
            const std::string what = "round " + std::to_string(round) + " " + repo_of(p);
            const std::string base = "/v2/" + repo_of(p);
            pushes++;
            if (deletes[i].status != 202)
                bad.add(what + ": DELETE old " + brief(deletes[i]));
            if (puts[i].status != 201) {
                bad.add(what + ": PUT new " + brief(puts[i]));
                continue;
            }
            Response get = http_at(delete_port, "GET", base + "/manifests/new");
            if (get.status != 200 || get.body != manifests[i])
                bad.add(what + ": PUT new answered 201, GET new then " + brief(get));
            Response list = http_at(delete_port, "GET", base + "/tags/list");
            std::optional<std::vector<std::string>> tags = listed_tags(list.body);
            if (list.status != 200 || !tags) {
                bad.add(what + ": tags/list " + brief(list));
                continue;
            }
            if (std::find(tags->begin(), tags->end(), "new") == tags->end())
                bad.add(what + ": tags/list without new: " + list.body);
            if (deletes[i].status == 202 && std::find(tags->begin(), tags->end(), "old") != tags->end())
                bad.add(what + ": DELETE old answered 202, tags/list still names it: " + list.body);
            for (const std::string &tag : *tags) {
                Response r = http_at(put_port, "GET", base + "/manifests/" + tag);
                if (r.status != 200)
                    bad.add(what + ": tag " + tag + " is listed, GET answers " + brief(r));
            }
        }
    }
    done = true;
    reader.join();
    return {rounds, " pairs=" + std::to_string(pairs) + " pushes=" + std::to_string(pushes)};
}

} // namespace e2e::races

#endif
