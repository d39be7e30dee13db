// The JSON library for CGI programs that are linked fully statically.
//
// A statically linked program starts without the dynamic loader, which
// otherwise costs most of the instructions of a short request. yyjson comes
// only as a shared library, and only some requests (storing a manifest,
// listing referrers) touch JSON, so every entry point the library exports is
// defined here and forwards to the shared library, opened on the first call.
// The header's inline functions need nothing from here.
//
// Memory: a shared library opened from a static program brings its own C
// library and heap. Whatever yyjson hands back for the caller to free() (a
// written JSON text) must come from this program's heap, so wherever a
// caller passes no allocator, one that is yyjson's default allocator in all
// but its heap (malloc, realloc, free of this program) is passed instead.
//
// When the library cannot be opened, each entry point fails the way yyjson
// reports a failed allocation (null, false, an error code), and one line
// goes to standard error, which the web server keeps in its error log.
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include <dlfcn.h>

#include <yyjson.h>

#ifndef REG_YYJSON_SONAME
#error "REG_YYJSON_SONAME must name the shared yyjson library"
#endif

namespace {

void *s_library;
bool s_opened;

void *lookup(const char *symbol)
{
    if (!s_opened) {
        s_opened = true;
        // Kept open for the life of the process: documents it made are
        // freed through it up to the end.
        s_library = dlopen(REG_YYJSON_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!s_library) {
            const char *why = dlerror();
            fprintf(stderr, "json loader: cannot open %s: %s\n", REG_YYJSON_SONAME, why ? why : "unknown error");
        }
    }
    if (!s_library)
        return nullptr;
    void *fn = dlsym(s_library, symbol);
    if (!fn)
        fprintf(stderr, "json loader: %s has no %s\n", REG_YYJSON_SONAME, symbol);
    return fn;
}

void *own_malloc(void *, size_t size)
{
    return malloc(size);
}
void *own_realloc(void *, void *ptr, size_t, size_t size)
{
    return realloc(ptr, size);
}
void own_free(void *, void *ptr)
{
    free(ptr);
}
const yyjson_alc s_own_alc = {own_malloc, own_realloc, own_free, nullptr};

const yyjson_alc *own(const yyjson_alc *alc)
{
    return alc ? alc : &s_own_alc;
}

constexpr const char UNAVAILABLE[] = "JSON library unavailable";

void report(std::nullptr_t) {}
void report(yyjson_read_err *err)
{
    if (err)
        *err = {YYJSON_READ_ERROR_MEMORY_ALLOCATION, UNAVAILABLE, 0};
}
void report(yyjson_write_err *err)
{
    if (err)
        *err = {YYJSON_WRITE_ERROR_MEMORY_ALLOCATION, UNAVAILABLE};
}
void report(yyjson_ptr_err *err)
{
    if (err)
        *err = {YYJSON_PTR_ERR_MEMORY_ALLOCATION, UNAVAILABLE, 0};
}
void report(yyjson_patch_err *err)
{
    if (err)
        *err = {YYJSON_PATCH_ERROR_MEMORY_ALLOCATION, 0, UNAVAILABLE, {}};
}

template <typename R> R unavailable()
{
    if constexpr (!std::is_void_v<R>)
        return R{};
}

} // namespace

// Each entry point: its declaration as the header has it, the call that
// forwards it, and what the caller's error record says when it cannot.
#define REG_JSON_FORWARD(ret, name, params, args, err)                                               \
    ret name params                                                                                  \
    {                                                                                                \
        static const auto fn = reinterpret_cast<decltype(&name)>(lookup(#name));                     \
        if (!fn) {                                                                                   \
            report(err);                                                                             \
            return unavailable<ret>();                                                               \
        }                                                                                            \
        return fn args;                                                                              \
    }

REG_JSON_FORWARD(uint32_t, yyjson_version, (void), (), nullptr)
REG_JSON_FORWARD(bool, yyjson_alc_pool_init, (yyjson_alc *alc, void *buf, size_t size), (alc, buf, size), nullptr)
REG_JSON_FORWARD(yyjson_alc *, yyjson_alc_dyn_new, (void), (), nullptr)
REG_JSON_FORWARD(void, yyjson_alc_dyn_free, (yyjson_alc *alc), (alc), nullptr)
REG_JSON_FORWARD(bool, yyjson_locate_pos,
                 (const char *str, size_t len, size_t pos, size_t *line, size_t *col, size_t *chr),
                 (str, len, pos, line, col, chr), nullptr)
REG_JSON_FORWARD(yyjson_doc *, yyjson_read_opts,
                 (char *dat, size_t len, yyjson_read_flag flg, const yyjson_alc *alc, yyjson_read_err *err),
                 (dat, len, flg, own(alc), err), err)
REG_JSON_FORWARD(yyjson_doc *, yyjson_read_file,
                 (const char *path, yyjson_read_flag flg, const yyjson_alc *alc, yyjson_read_err *err),
                 (path, flg, own(alc), err), err)
REG_JSON_FORWARD(yyjson_doc *, yyjson_read_fp,
                 (FILE *fp, yyjson_read_flag flg, const yyjson_alc *alc, yyjson_read_err *err),
                 (fp, flg, own(alc), err), err)
REG_JSON_FORWARD(const char *, yyjson_read_number,
                 (const char *dat, yyjson_val *val, yyjson_read_flag flg, const yyjson_alc *alc, yyjson_read_err *err),
                 (dat, val, flg, own(alc), err), err)
REG_JSON_FORWARD(char *, yyjson_write_opts,
                 (const yyjson_doc *doc, yyjson_write_flag flg, const yyjson_alc *alc, size_t *len,
                  yyjson_write_err *err),
                 (doc, flg, own(alc), len, err), err)
REG_JSON_FORWARD(bool, yyjson_write_file,
                 (const char *path, const yyjson_doc *doc, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (path, doc, flg, own(alc), err), err)
REG_JSON_FORWARD(bool, yyjson_write_fp,
                 (FILE *fp, const yyjson_doc *doc, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (fp, doc, flg, own(alc), err), err)
REG_JSON_FORWARD(char *, yyjson_mut_write_opts,
                 (const yyjson_mut_doc *doc, yyjson_write_flag flg, const yyjson_alc *alc, size_t *len,
                  yyjson_write_err *err),
                 (doc, flg, own(alc), len, err), err)
REG_JSON_FORWARD(bool, yyjson_mut_write_file,
                 (const char *path, const yyjson_mut_doc *doc, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (path, doc, flg, own(alc), err), err)
REG_JSON_FORWARD(bool, yyjson_mut_write_fp,
                 (FILE *fp, const yyjson_mut_doc *doc, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (fp, doc, flg, own(alc), err), err)
REG_JSON_FORWARD(char *, yyjson_val_write_opts,
                 (const yyjson_val *val, yyjson_write_flag flg, const yyjson_alc *alc, size_t *len,
                  yyjson_write_err *err),
                 (val, flg, own(alc), len, err), err)
REG_JSON_FORWARD(bool, yyjson_val_write_file,
                 (const char *path, const yyjson_val *val, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (path, val, flg, own(alc), err), err)
REG_JSON_FORWARD(bool, yyjson_val_write_fp,
                 (FILE *fp, const yyjson_val *val, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (fp, val, flg, own(alc), err), err)
REG_JSON_FORWARD(char *, yyjson_mut_val_write_opts,
                 (const yyjson_mut_val *val, yyjson_write_flag flg, const yyjson_alc *alc, size_t *len,
                  yyjson_write_err *err),
                 (val, flg, own(alc), len, err), err)
REG_JSON_FORWARD(bool, yyjson_mut_val_write_file,
                 (const char *path, const yyjson_mut_val *val, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (path, val, flg, own(alc), err), err)
REG_JSON_FORWARD(bool, yyjson_mut_val_write_fp,
                 (FILE *fp, const yyjson_mut_val *val, yyjson_write_flag flg, const yyjson_alc *alc,
                  yyjson_write_err *err),
                 (fp, val, flg, own(alc), err), err)
REG_JSON_FORWARD(bool, yyjson_mut_doc_set_str_pool_size, (yyjson_mut_doc * doc, size_t len), (doc, len), nullptr)
REG_JSON_FORWARD(bool, yyjson_mut_doc_set_val_pool_size, (yyjson_mut_doc * doc, size_t count), (doc, count), nullptr)
REG_JSON_FORWARD(void, yyjson_mut_doc_free, (yyjson_mut_doc * doc), (doc), nullptr)
REG_JSON_FORWARD(yyjson_mut_doc *, yyjson_mut_doc_new, (const yyjson_alc *alc), (own(alc)), nullptr)
REG_JSON_FORWARD(yyjson_mut_doc *, yyjson_doc_mut_copy, (yyjson_doc * doc, const yyjson_alc *alc), (doc, own(alc)),
                 nullptr)
REG_JSON_FORWARD(yyjson_mut_doc *, yyjson_mut_doc_mut_copy, (yyjson_mut_doc * doc, const yyjson_alc *alc),
                 (doc, own(alc)), nullptr)
REG_JSON_FORWARD(yyjson_mut_val *, yyjson_val_mut_copy, (yyjson_mut_doc * doc, yyjson_val *val), (doc, val), nullptr)
REG_JSON_FORWARD(yyjson_mut_val *, yyjson_mut_val_mut_copy, (yyjson_mut_doc * doc, yyjson_mut_val *val), (doc, val),
                 nullptr)
REG_JSON_FORWARD(yyjson_doc *, yyjson_mut_doc_imut_copy, (yyjson_mut_doc * doc, const yyjson_alc *alc), (doc, own(alc)),
                 nullptr)
REG_JSON_FORWARD(yyjson_doc *, yyjson_mut_val_imut_copy, (yyjson_mut_val * val, const yyjson_alc *alc), (val, own(alc)),
                 nullptr)
REG_JSON_FORWARD(yyjson_mut_val *, yyjson_patch,
                 (yyjson_mut_doc * doc, yyjson_val *orig, yyjson_val *patch, yyjson_patch_err *err),
                 (doc, orig, patch, err), err)
REG_JSON_FORWARD(yyjson_mut_val *, yyjson_mut_patch,
                 (yyjson_mut_doc * doc, yyjson_mut_val *orig, yyjson_mut_val *patch, yyjson_patch_err *err),
                 (doc, orig, patch, err), err)
REG_JSON_FORWARD(yyjson_mut_val *, yyjson_merge_patch, (yyjson_mut_doc * doc, yyjson_val *orig, yyjson_val *patch),
                 (doc, orig, patch), nullptr)
REG_JSON_FORWARD(yyjson_mut_val *, yyjson_mut_merge_patch,
                 (yyjson_mut_doc * doc, yyjson_mut_val *orig, yyjson_mut_val *patch), (doc, orig, patch), nullptr)
REG_JSON_FORWARD(bool, unsafe_yyjson_equals, (yyjson_val * lhs, yyjson_val *rhs), (lhs, rhs), nullptr)
REG_JSON_FORWARD(bool, unsafe_yyjson_str_pool_grow, (yyjson_str_pool * pool, const yyjson_alc *alc, size_t len),
                 (pool, own(alc), len), nullptr)
REG_JSON_FORWARD(bool, unsafe_yyjson_val_pool_grow, (yyjson_val_pool * pool, const yyjson_alc *alc, size_t count),
                 (pool, own(alc), count), nullptr)
REG_JSON_FORWARD(bool, unsafe_yyjson_mut_equals, (yyjson_mut_val * lhs, yyjson_mut_val *rhs), (lhs, rhs), nullptr)
REG_JSON_FORWARD(yyjson_val *, unsafe_yyjson_ptr_getx,
                 (yyjson_val * val, const char *ptr, size_t len, yyjson_ptr_err *err), (val, ptr, len, err), err)
REG_JSON_FORWARD(yyjson_mut_val *, unsafe_yyjson_mut_ptr_getx,
                 (yyjson_mut_val * val, const char *ptr, size_t len, yyjson_ptr_ctx *ctx, yyjson_ptr_err *err),
                 (val, ptr, len, ctx, err), err)
REG_JSON_FORWARD(bool, unsafe_yyjson_mut_ptr_putx,
                 (yyjson_mut_val * val, const char *ptr, size_t len, yyjson_mut_val *new_val, yyjson_mut_doc *doc,
                  bool create_parent, bool insert_new, yyjson_ptr_ctx *ctx, yyjson_ptr_err *err),
                 (val, ptr, len, new_val, doc, create_parent, insert_new, ctx, err), err)
REG_JSON_FORWARD(yyjson_mut_val *, unsafe_yyjson_mut_ptr_replacex,
                 (yyjson_mut_val * val, const char *ptr, size_t len, yyjson_mut_val *new_val, yyjson_ptr_ctx *ctx,
                  yyjson_ptr_err *err),
                 (val, ptr, len, new_val, ctx, err), err)
REG_JSON_FORWARD(yyjson_mut_val *, unsafe_yyjson_mut_ptr_removex,
                 (yyjson_mut_val * val, const char *ptr, size_t len, yyjson_ptr_ctx *ctx, yyjson_ptr_err *err),
                 (val, ptr, len, ctx, err), err)
