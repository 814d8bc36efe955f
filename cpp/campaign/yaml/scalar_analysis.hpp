// What a YAML 1.1 emitter must know about a scalar's text before choosing its style, and
// which type a plain scalar would be read back as.
#pragma once

#include "campaign/yaml/text.hpp"

namespace korvo::campaign::yaml {

// The tags the writer meets; the resolvable ones come first.
enum class Tag : uint8_t {
    Str,
    Bool,
    Int,
    Float,
    Null,
    Timestamp,
    Merge,
    Value,
    Yaml,
    Binary,
    Seq,
    Map,
    Set
};

// The "!!name" short form of a tag, as written in front of a node that needs it.
inline constexpr const char* kShortTags[] = {
    "!!str",   "!!bool", "!!int",    "!!float", "!!null", "!!timestamp", "!!merge",
    "!!value", "!!yaml", "!!binary", "!!seq",   "!!map",  "!!set"};
inline constexpr unsigned char kShortTagLengths[] = {5, 6, 5, 7, 6, 11, 7, 7, 6, 8, 5, 5, 5};
inline const char* short_tag(Tag tag) {
    return kShortTags[int(tag)];
}
inline size_t short_tag_len(Tag tag) {
    return kShortTagLengths[int(tag)];
}

struct ScalarAnalysis {
    Py_ssize_t length = 0; // in code points
    bool empty = false;
    bool multiline = false;
    bool allow_flow_plain = false;
    bool allow_block_plain = false;
    bool allow_single_quoted = false;
    bool allow_double_quoted = true;
    bool allow_block = false;
};

// Styles allowed for `text`, for an ASCII-only output (every character outside printable
// ASCII other than a line feed forces double quotes).
ScalarAnalysis analyze_scalar(const TextView& text);

// The tag a plain scalar with this text is read back as (YAML 1.1 implicit types); Str when
// no implicit type matches.
Tag resolve_plain(const TextView& text);

// A shortcut for the usual names, ids and paths: true when an ASCII text is one line of
// letters, digits, "_", ".", "/", "-" and inner spaces that starts with a letter, "_" or
// "/" and is no reserved word. Such a text is written plain in any position and is read
// back as a str. False says nothing: the text takes the general way.
bool plain_str_text(const Py_UCS1* s, Py_ssize_t n);

} // namespace korvo::campaign::yaml
