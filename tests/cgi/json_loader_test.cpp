// The JSON loader of the statically linked CGI programs, in a test program
// linked the same way: calls reach the shared yyjson, and whatever yyjson
// allocates without a caller's allocator lives on this program's heap, so the
// caller can free() it.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <malloc.h>

#include <gtest/gtest.h>
#include <yyjson.h>

namespace {

TEST(JsonLoaderTest, CallsReachTheSharedLibrary)
{
    EXPECT_EQ(yyjson_version(), static_cast<uint32_t>(YYJSON_VERSION_HEX));

    char text[] = R"({"config":{"digest":"sha256:00"},"layers":[{"size":7},{"size":9}]})";
    yyjson_read_err err{};
    yyjson_doc *doc = yyjson_read_opts(text, strlen(text), 0, nullptr, &err);
    ASSERT_NE(doc, nullptr) << err.msg;
    yyjson_val *root = yyjson_doc_get_root(doc);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_obj_get(root, "config"), "digest")), "sha256:00");
    yyjson_val *layers = yyjson_obj_get(root, "layers");
    ASSERT_EQ(yyjson_arr_size(layers), 2u);
    EXPECT_EQ(yyjson_get_uint(yyjson_obj_get(yyjson_arr_get(layers, 1), "size")), 9u);
    yyjson_doc_free(doc);
}

TEST(JsonLoaderTest, ParserErrorsAreTheParsers)
{
    char text[] = R"({"config": )";
    yyjson_read_err err{};
    EXPECT_EQ(yyjson_read_opts(text, strlen(text), 0, nullptr, &err), nullptr);
    EXPECT_NE(err.code, YYJSON_READ_SUCCESS);
    EXPECT_NE(err.code, YYJSON_READ_ERROR_MEMORY_ALLOCATION);
}

// A written text and the document behind it come from this program's heap:
// the heap grows by at least the text while the text is alive, and free()
// takes it back.
TEST(JsonLoaderTest, WrittenTextIsOnThisProgramsHeap)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    ASSERT_NE(doc, nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    // Enough copied strings to grow the document's string pool past its
    // first block, through the loader.
    std::string expected = "{";
    for (int i = 0; i < 200; ++i) {
        std::string key = "key" + std::to_string(i);
        std::string value(100, static_cast<char>('a' + i % 26));
        ASSERT_TRUE(yyjson_mut_obj_add(root, yyjson_mut_strcpy(doc, key.c_str()), yyjson_mut_strcpy(doc, value.c_str())));
        expected += (i ? "," : "") + ("\"" + key + "\":\"" + value + "\"");
    }
    expected += "}";

    // Nothing else allocates between the three heap readings.
    size_t before = mallinfo2().uordblks;
    size_t len = 0;
    char *text = yyjson_mut_write(doc, 0, &len);
    ASSERT_NE(text, nullptr);
    size_t during = mallinfo2().uordblks;
    const bool same = std::string_view(text, len) == expected;
    free(text);
    size_t after = mallinfo2().uordblks;
    EXPECT_TRUE(same);
    EXPECT_GE(during - before, len + 1);
    EXPECT_LT(after, during);
    yyjson_mut_doc_free(doc);
}

struct counts {
    int allocs = 0;
    int frees = 0;
};

TEST(JsonLoaderTest, CallersAllocatorIsUsedAsGiven)
{
    counts seen;
    yyjson_alc alc = {
        [](void *ctx, size_t size) {
            ++static_cast<counts *>(ctx)->allocs;
            return malloc(size);
        },
        [](void *ctx, void *ptr, size_t, size_t size) {
            ++static_cast<counts *>(ctx)->allocs;
            return realloc(ptr, size);
        },
        [](void *ctx, void *ptr) {
            ++static_cast<counts *>(ctx)->frees;
            free(ptr);
        },
        &seen,
    };
    char text[] = R"({"a":[1,2,3]})";
    yyjson_doc *doc = yyjson_read_opts(text, strlen(text), 0, &alc, nullptr);
    ASSERT_NE(doc, nullptr);
    EXPECT_GT(seen.allocs, 0);
    yyjson_doc_free(doc);
    EXPECT_GT(seen.frees, 0);
}

} // namespace
