// A block-style YAML 1.1 text writer that makes the same layout decisions as the host's
// YAML library with its default settings (indent 2, width 80, ASCII output, "\n" breaks,
// implicit document start). The caller walks its data depth first and reports each node;
// the writer keeps the column, indentation and whitespace state the decisions depend on.
#pragma once

#include <vector>

#include "campaign/yaml/scalar_analysis.hpp"
#include "common/ascii_buffer.hpp"

namespace korvo::campaign::yaml {

// Where a node stands; only the root and simple-key positions change how scalars look.
struct NodeContext {
    bool root = false;
    bool simple_key = false;
};

enum class ScalarStyle : char { Auto = 0, Literal = '|' };

struct Scalar {
    Tag tag = Tag::Str;
    ScalarStyle style = ScalarStyle::Auto; // the style the representer asked for
    TextView text;
};

class Emitter {
  public:
    explicit Emitter(AsciiBuffer& out) : out_(out) {}

    // Writes a scalar; `analysis` must be analyze_scalar(s.text).
    void scalar(const Scalar& s, const ScalarAnalysis& analysis, NodeContext ctx);

    // Collections. An empty one is written whole by the start call ("[]" / "{}"), and
    // then gets no end call.
    void sequence_start(Tag tag, bool empty);
    void sequence_item();
    void sequence_end();
    void mapping_start(Tag tag, bool empty);
    // A key is simple when it fits on the line before ":" (see simple_scalar_key).
    void mapping_key(bool simple);
    void mapping_value(bool simple);
    void mapping_end();

    // After the document's root node.
    void end_document();

    // How a scalar key is written; PlainSimple keys may be written with plain_simple_key,
    // which is what scalar() would do for them in a simple-key position.
    enum class KeyForm : char { Complex, Simple, PlainSimple };
    KeyForm key_form(const Scalar& s, const ScalarAnalysis& a) const;
    void plain_simple_key(const TextView& text);

    // Writes a scalar the caller knows goes plain and untagged in block context (a one-line,
    // non-empty text read back as its own type) unless it would be folded: then nothing is
    // written, false comes back, and scalar() must be used.
    bool plain_unfolded(const char* s, size_t n, NodeContext ctx) {
        Py_ssize_t column = column_ + (whitespace_ ? 0 : 1);
        if (!ctx.simple_key && column + Py_ssize_t(n) > kBestWidth) return false;
        root_context_ = ctx.root;
        if (root_context_) open_ended_ = true;
        if (!whitespace_) out_.push_back(' ');
        out_.append(s, n);
        column_ = column + Py_ssize_t(n);
        whitespace_ = false;
        indention_ = false;
        return true;
    }

    static bool simple_scalar_key(const Scalar& s, const ScalarAnalysis& a) {
        return Py_ssize_t(short_tag_len(s.tag)) + a.length < 128 && !a.empty && !a.multiline;
    }

  private:
    enum class Style : char { Plain, Single, Double, Literal };

    void increase_indent(bool flow);
    void pop_indent() {
        indent_ = indents_.back();
        indents_.pop_back();
    }
    void write_tag(Tag tag) { write_indicator(short_tag(tag), short_tag_len(tag), true); }
    void write_indicator(const char* s, size_t n, bool need_whitespace, bool whitespace = false,
                         bool indention = false);
    void write_indent();
    void write_line_break();
    Style choose_style(const Scalar& s, const ScalarAnalysis& a, bool implicit_plain,
                       NodeContext ctx) const;
    void empty_collection(const char* brackets);

    template <typename C> void write_plain(const C* t, Py_ssize_t n, bool split);
    template <typename C> void write_single_quoted(const C* t, Py_ssize_t n, bool split);
    template <typename C> void write_double_quoted(const C* t, Py_ssize_t n, bool split);
    template <typename C> void write_literal(const C* t, Py_ssize_t n);
    template <typename C> void write_units(const C* t, Py_ssize_t from, Py_ssize_t to) {
        if (from < to) out_.append_units(t + from, size_t(to - from));
    }

    static constexpr int kBestIndent = 2;
    static constexpr Py_ssize_t kBestWidth = 80;

    AsciiBuffer& out_;
    std::vector<int> indents_;
    int indent_ = -1; // -1: none yet
    int flow_level_ = 0;
    Py_ssize_t column_ = 0;
    bool whitespace_ = true;
    bool indention_ = true;
    bool open_ended_ = false;
    bool root_context_ = false;
};

} // namespace korvo::campaign::yaml
