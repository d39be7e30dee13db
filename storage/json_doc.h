// Private to the storage library: owners of parsed and built yyjson
// documents, so that every way out of a function frees them.
#ifndef STORAGE_JSON_DOC_H
#define STORAGE_JSON_DOC_H

#include <memory>

#include <yyjson.h>

struct json_doc_free {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using json_doc_ptr = std::unique_ptr<yyjson_doc, json_doc_free>;
using json_mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, json_doc_free>;

#endif
