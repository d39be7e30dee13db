// Content discovery end to end behind lighttpd: the API version check, the
// tag list and the catalog with their paging (n, last, Link), and the error
// replies of the three programs. Small sets are pushed through the manifest
// endpoint; the large one is laid out on disk, as the manifest store leaves
// it, to keep the test quick.
#include "e2e_server.h"

using namespace e2e;

namespace {

class DiscoveryE2eTest : public LighttpdTest {
protected:
    void push(const std::string &repo, const std::string &tag)
    {
        Response r =
            http("PUT", "/v2/" + repo + "/manifests/" + tag, manifest('a'), {std::string("Content-Type: ") + kOciType});
        ASSERT_EQ(r.status, 201) << repo << ":" << tag << " " << r.body;
    }

    // A tag as the manifest store lays it out.
    void lay_out_tag(const std::string &repo, const std::string &tag)
    {
        std::string dir = root_ + "/repositories/" + repo + "/_manifests/tags/" + tag + "/current";
        fs::create_directories(dir);
        put_file(dir + "/link", sha256_digest(manifest('a')));
    }

    // The target of a Link header: the text between '<' and '>', or "".
    static std::string link_target(const Response &r)
    {
        std::vector<std::string> links = r.all("Link");
        if (links.empty())
            return "";
        EXPECT_EQ(links.size(), 1u);
        const std::string &l = links.front();
        size_t open = l.find('<');
        size_t close = l.find('>');
        EXPECT_TRUE(open == 0 && close != std::string::npos) << l;
        EXPECT_EQ(l.substr(close), ">; rel=\"next\"");
        if (open != 0 || close == std::string::npos)
            return "";
        return l.substr(1, close - 1);
    }

    // Follows the Link headers from target on: the names of every page in
    // order, each page holding at most page_max.
    std::vector<std::string> walk(std::string target, const std::string &prefix, size_t page_max)
    {
        std::vector<std::string> out;
        for (int pages = 0; pages < 1000 && !target.empty(); pages++) {
            Response r = http("GET", target);
            EXPECT_EQ(r.status, 200) << target << " " << r.body;
            if (r.status != 200)
                break;
            std::vector<std::string> names = names_of(r.body, prefix);
            EXPECT_LE(names.size(), page_max) << target;
            out.insert(out.end(), names.begin(), names.end());
            target = link_target(r);
            // The next page starts after the last name of this one.
            if (!target.empty() && !names.empty()) {
                EXPECT_NE(target.find("last=" + names.back()), std::string::npos) << target;
            }
        }
        return out;
    }

    // The names of a listing body {<prefix>"a","b"]}\n; names need no escapes.
    static std::vector<std::string> names_of(const std::string &body, const std::string &prefix)
    {
        std::vector<std::string> out;
        EXPECT_EQ(body.compare(0, prefix.size(), prefix), 0) << body;
        EXPECT_GE(body.size(), prefix.size() + 3);
        if (body.size() < prefix.size() + 3)
            return out;
        EXPECT_EQ(body.substr(body.size() - 3), "]}\n");
        std::string inner = body.substr(prefix.size(), body.size() - prefix.size() - 3);
        size_t pos = 0;
        while (pos < inner.size()) {
            size_t end = inner.find('"', pos + 1);
            if (inner[pos] != '"' || end == std::string::npos) {
                ADD_FAILURE() << body;
                break;
            }
            out.push_back(inner.substr(pos + 1, end - pos - 1));
            pos = end + 2; // past the quote and the comma
        }
        return out;
    }

    void expect_listing(const Response &r, const std::string &body, const std::string &link)
    {
        EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.get("Content-Type"), kJsonType);
        EXPECT_EQ(r.body, body);
        EXPECT_EQ(r.get("Content-Length"), std::to_string(body.size()));
        EXPECT_EQ(r.get("Link"), link);
    }
};

TEST_F(DiscoveryE2eTest, ApiVersionCheck)
{
    for (const char *target : {"/v2/", "/v2", "/v2/?x=1"}) {
        SCOPED_TRACE(target);
        Response r = http("GET", target);
        EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.get("Content-Type"), kJsonType);
        EXPECT_EQ(r.body, "{}\n");
    }
    Response head = http("HEAD", "/v2/");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.get("Content-Length"), "3");
    EXPECT_EQ(head.get("Docker-Distribution-API-Version"), "registry/2.0");

    expect_error(http("POST", "/v2/", "x"), 405, "UNSUPPORTED", "Method not allowed for API version check");
    expect_error(http("DELETE", "/v2/"), 405, "UNSUPPORTED", "Method not allowed for API version check");
    for (const char *target : {"/v2/library/app", "/v2/library/app/tags", "/v2/library/app/tags/list/x",
                               "/v2/_catalog/x", "/v2/library/app/nope?n=1"}) {
        SCOPED_TRACE(target);
        expect_error(http("GET", target), 404, "UNSUPPORTED", "unknown registry API route");
    }
}

TEST_F(DiscoveryE2eTest, TagListPaging)
{
    for (const char *tag : {"v2", "latest", "v10", "a-1", "V1"})
        ASSERT_NO_FATAL_FAILURE(push("library/app", tag));
    const std::string path = "/v2/library/app/tags/list";
    const std::vector<std::string> all = {"V1", "a-1", "latest", "v10", "v2"};

    expect_listing(http("GET", path), tags_body("library/app", all), "<absent>");

    struct Case {
        std::string query;
        std::vector<std::string> tags;
        std::string link;
    };
    const Case kCases[] = {
        {"?n=2", {"V1", "a-1"}, "<" + path + "?n=2&last=a-1>; rel=\"next\""},
        {"?n=2&last=a-1", {"latest", "v10"}, "<" + path + "?n=2&last=v10>; rel=\"next\""},
        {"?n=2&last=v10", {"v2"}, "<absent>"},
        {"?n=5", all, "<absent>"},
        {"?n=0", {}, "<absent>"},
        {"?n=0&last=a-1", {}, "<absent>"},
        {"?last=latest", {"v10", "v2"}, "<absent>"},
        {"?last=b", {"latest", "v10", "v2"}, "<absent>"}, // last need not be a tag
        {"?last=v2", {}, "<absent>"},
        {"?n=", all, "<absent>"},
        {"?n=99999999999999999999", all, "<absent>"},
        {"?last=a-1&n=1", {"latest"}, "<" + path + "?n=1&last=latest>; rel=\"next\""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.query);
        expect_listing(http("GET", path + c.query), tags_body("library/app", c.tags), c.link);
    }

    Response head = http("HEAD", path + "?n=2");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.get("Content-Length"), std::to_string(tags_body("library/app", {"V1", "a-1"}).size()));
    EXPECT_EQ(head.get("Link"), "<" + path + "?n=2&last=a-1>; rel=\"next\"");

    EXPECT_EQ(walk(path + "?n=1", "{\"name\":\"library/app\",\"tags\":[", 1), all);

    // A deleted tag is gone from the list; the repository stays known.
    ASSERT_EQ(http("DELETE", "/v2/library/app/manifests/latest").status, 202);
    expect_listing(http("GET", path), tags_body("library/app", {"V1", "a-1", "v10", "v2"}), "<absent>");
}

// More tags than any fixed-size listing holds: every one comes back, sorted,
// whole or page by page; and a next-page name that needs escaping survives
// the Link header's round trip.
TEST_F(DiscoveryE2eTest, TagListIsComplete)
{
    ASSERT_NO_FATAL_FAILURE(push("big", "t0000"));
    std::vector<std::string> all = {"t0000"};
    for (int i = 1; i < 1100; i++) {
        char tag[16];
        snprintf(tag, sizeof tag, "t%04d", i);
        lay_out_tag("big", tag);
        all.push_back(tag);
    }
    const std::string prefix = "{\"name\":\"big\",\"tags\":[";
    Response whole = http("GET", "/v2/big/tags/list");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, tags_body("big", all));
    EXPECT_EQ(whole.get("Link"), "<absent>");
    EXPECT_EQ(walk("/v2/big/tags/list?n=300", prefix, 300), all);

    lay_out_tag("big", "sp ace&x=%");
    Response r = http("GET", "/v2/big/tags/list?n=1&last=s");
    EXPECT_EQ(r.body, tags_body("big", {"sp ace&x=%"}));
    EXPECT_EQ(r.get("Link"), "</v2/big/tags/list?n=1&last=sp%20ace%26x%3D%25>; rel=\"next\"");
    Response next = http("GET", link_target(r));
    EXPECT_EQ(next.body, tags_body("big", {"t0000"}));
}

TEST_F(DiscoveryE2eTest, TagListErrors)
{
    ASSERT_NO_FATAL_FAILURE(push("library/app", "v1"));
    // A directory without manifests is no repository.
    fs::create_directories(root_ + "/repositories/library/bare");
    struct Case {
        const char *method;
        const char *target;
        int status;
        const char *code;
        const char *message;
    };
    static const Case kCases[] = {
        {"GET", "/v2/library/none/tags/list", 404, "NAME_UNKNOWN", "repository name not known"},
        {"GET", "/v2/library/tags/list", 404, "NAME_UNKNOWN", "repository name not known"},
        {"GET", "/v2/library/bare/tags/list", 404, "NAME_UNKNOWN", "repository name not known"},
        {"GET", "/v2/a%20b/tags/list", 404, "NAME_UNKNOWN", "repository name not known"},
        {"HEAD", "/v2/library/none/tags/list", 404, "NAME_UNKNOWN", ""},
        {"GET", "/v2/library/app/tags/list?n=abc", 400, "UNSUPPORTED", "invalid number of results requested"},
        {"GET", "/v2/library/app/tags/list?n=-1", 400, "UNSUPPORTED", "invalid number of results requested"},
        {"GET", "/v2/library/app/tags/list?n=1x", 400, "UNSUPPORTED", "invalid number of results requested"},
        {"DELETE", "/v2/library/app/tags/list", 405, "UNSUPPORTED", "Method not allowed for tag list endpoint"},
        {"PUT", "/v2/library/app/tags/list", 405, "UNSUPPORTED", "Method not allowed for tag list endpoint"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        Response r = http(c.method, c.target);
        if (std::string(c.method) == "HEAD") {
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.body, "");
        } else {
            expect_error(r, c.status, c.code, c.message);
        }
    }
}

TEST_F(DiscoveryE2eTest, CatalogListsFullNames)
{
    for (const char *repo : {"library/app", "library/app/sub", "library-x", "a", "b/c/d"})
        ASSERT_NO_FATAL_FAILURE(push(repo, "v1"));
    fs::create_directories(root_ + "/repositories/library/bare"); // no manifests: not listed
    const std::string prefix = "{\"repositories\":[";
    const std::vector<std::string> all = {"a", "b/c/d", "library-x", "library/app", "library/app/sub"};
    auto body = [&](const std::vector<std::string> &names) {
        std::string s = prefix;
        for (size_t i = 0; i < names.size(); i++)
            s += (i ? ",\"" : "\"") + names[i] + "\"";
        return s + "]}\n";
    };

    expect_listing(http("GET", "/v2/_catalog"), body(all), "<absent>");
    struct Case {
        std::string query;
        std::vector<std::string> names;
        std::string link;
    };
    const Case kCases[] = {
        {"?n=2", {"a", "b/c/d"}, "</v2/_catalog?n=2&last=b/c/d>; rel=\"next\""},
        {"?n=2&last=b/c/d", {"library-x", "library/app"}, "</v2/_catalog?n=2&last=library/app>; rel=\"next\""},
        {"?n=2&last=library%2Fapp", {"library/app/sub"}, "<absent>"},
        {"?last=library", {"library-x", "library/app", "library/app/sub"}, "<absent>"},
        {"?n=0", {}, "<absent>"},
        {"?n=1&last=zzz", {}, "<absent>"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.query);
        expect_listing(http("GET", "/v2/_catalog" + c.query), body(c.names), c.link);
    }
    EXPECT_EQ(walk("/v2/_catalog?n=1", prefix, 1), all);

    Response head = http("HEAD", "/v2/_catalog");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.get("Content-Length"), std::to_string(body(all).size()));

    expect_error(http("POST", "/v2/_catalog", "x"), 405, "UNSUPPORTED", "Method not allowed for catalog endpoint");
    expect_error(http("GET", "/v2/_catalog?n=x"), 400, "UNSUPPORTED", "invalid number of results requested");
}

TEST_F(DiscoveryE2eTest, EmptyRegistry)
{
    expect_listing(http("GET", "/v2/_catalog"), "{\"repositories\":[]}\n", "<absent>");
}

// A storage root that cannot be opened: every program answers 500 before
// it looks at the path or the method.
TEST_F(DiscoveryE2eTest, StorageFailure)
{
    put_file(root_, "a file, not a directory");
    for (const char *target : {"/v2/", "/v2/nope/x", "/v2/library/app/tags/list", "/v2/_catalog"}) {
        for (const char *method : {"GET", "POST"}) {
            SCOPED_TRACE(std::string(method) + " " + target);
            expect_error(http(method, target, std::string(method) == "POST" ? "x" : ""), 500, "STORAGE_ERROR",
                         "Failed to initialize registry storage");
        }
    }
}

} // namespace
