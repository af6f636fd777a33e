#include "store/ir_writer.h"

#include <cstring>

#include "support/internal_failure.h"

namespace veltrix {
namespace {

constexpr char kMagic[4] = {'V', 'I', 'R', '1'};
constexpr std::uint64_t kMaxLength = UINT32_MAX;

// First pass: adds up the size and notes any length that has no 32-bit encoding.
class SizeSink {
 public:
  void raw(const char*, std::size_t n) { size_ += n; }
  void u8(std::uint8_t) { size_ += 1; }
  void u64(std::uint64_t) { size_ += 8; }
  void length(std::size_t n) {
    too_long_ |= n > kMaxLength;  // no branch: it is almost never true
    size_ += 4;
  }
  void index(std::uint64_t i) { length(i); }
  void string(std::string_view s) {
    length(s.size());
    size_ += s.size();
  }

  std::size_t size() const { return size_; }
  bool too_long() const { return too_long_; }

 private:
  std::size_t size_ = 0;
  bool too_long_ = false;
};

// Second pass: writes through a raw cursor into a buffer the first pass sized exactly. Hosts are
// little-endian (the build refuses others), so a number's bytes are its memory image.
class BufferSink {
 public:
  explicit BufferSink(char* out) : out_(out) {}

  void u8(std::uint8_t v) { *out_++ = static_cast<char>(v); }
  void u64(std::uint64_t v) { put(v); }
  void length(std::size_t n) { put(static_cast<std::uint32_t>(n)); }
  void index(std::uint64_t i) { put(static_cast<std::uint32_t>(i)); }
  void string(std::string_view s) {
    length(s.size());
    copy(s.data(), s.size());
  }
  void raw(const char* data, std::size_t n) { copy(data, n); }

  char* position() const { return out_; }

 private:
  template <class T>
  void put(T v) {
    std::memcpy(out_, &v, sizeof v);
    out_ += sizeof v;
  }

  // Most texts are names and keys of a few bytes: those are copied with two fixed-size moves
  // that may overlap, instead of a library call each. Nothing outside either range is touched.
  // An empty text may have no storage at all (a null pointer), which memcpy must not see.
  void copy(const char* data, std::size_t n) {
    if (n >= 8 && n <= 16) {
      move<8>(out_, data);
      move<8>(out_ + n - 8, data + n - 8);
    } else if (n >= 4 && n < 8) {
      move<4>(out_, data);
      move<4>(out_ + n - 4, data + n - 4);
    } else if (n > 0 && n < 4) {
      out_[0] = data[0];
      out_[n / 2] = data[n / 2];
      out_[n - 1] = data[n - 1];
    } else if (n > 16) {
      std::memcpy(out_, data, n);
    }
    out_ += n;
  }
  template <std::size_t N>
  static void move(char* to, const char* from) {
    char word[N];
    std::memcpy(word, from, N);
    std::memcpy(to, word, N);
  }

  char* out_;
};

template <class Sink>
[[gnu::always_inline]] inline void encode_params(Sink& sink, const NodeView& node) {
  const std::size_t count = node.param_count();
  sink.length(count);
  for (std::size_t i = 0; i < count; ++i) {
    sink.string(node.param_key(i));
    const ParamValueRef value = node.param_value(i);
    sink.u8(static_cast<std::uint8_t>(value.tag));
    switch (value.tag) {
      case ParamTag::Int:
      case ParamTag::Float: sink.u64(value.bits); break;
      case ParamTag::Bool: sink.u8(value.bits != 0 ? 1 : 0); break;
      case ParamTag::Str: sink.string(value.text); break;
    }
  }
}

template <class Sink>
[[gnu::always_inline]] inline void encode_inputs(Sink& sink, const NodeView& node) {
  const std::span<const std::uint32_t> inputs = node.inputs();
  sink.length(inputs.size());
  for (std::uint32_t id : inputs) sink.u64(id);
}

template <class Sink>
[[gnu::always_inline]] inline void encode_node(Sink& sink, const NodeView& node) {
  const NodeKind kind = node.kind();
  sink.u8(static_cast<std::uint8_t>(kind));
  switch (kind) {
    case NodeKind::Source:
      sink.string(node.name());
      encode_params(sink, node);
      return;
    case NodeKind::Op:
    case NodeKind::Reduction:
      sink.string(node.name());
      encode_params(sink, node);
      encode_inputs(sink, node);
      return;
    case NodeKind::External: {
      const DescriptorRef d = node.descriptor_ref();
      sink.string(d.kind);
      sink.string(d.content_hash);
      sink.string(d.framework);
      sink.string(d.version);
      sink.string(d.io_schema);
      sink.u8(d.preprocessing_ref ? 1 : 0);
      if (d.preprocessing_ref) sink.string(*d.preprocessing_ref);
      encode_params(sink, node);
      encode_inputs(sink, node);
      return;
    }
    case NodeKind::Stage: {
      encode_inputs(sink, node);
      const std::size_t members = node.member_count();
      sink.length(members);
      for (std::size_t m = 0; m < members; ++m) {
        sink.string(node.member_token(m));
        const std::span<const MemberRef> refs = node.member_refs(m);
        sink.length(refs.size());
        for (const MemberRef& ref : refs) {
          sink.u8(static_cast<std::uint8_t>(ref.kind));
          sink.index(ref.index);
        }
      }
      return;
    }
    case NodeKind::Exchange:
      encode_params(sink, node);
      encode_inputs(sink, node);
      return;
  }
  internal_failure("stored node has a valid kind");
}

template <class Sink>
[[gnu::always_inline]] inline void encode_blob(Sink& sink, const NodeTable& nodes, std::span<const NodeId> outputs) {
  sink.raw(kMagic, sizeof kMagic);
  sink.length(nodes.size());
  for (NodeId id = 0; id < nodes.size(); ++id) encode_node(sink, nodes[id]);
  sink.length(outputs.size());
  for (NodeId id : outputs) sink.u64(id);
}

}  // namespace

Result<std::size_t, ValueTooLong> ir_blob_size(const NodeTable& nodes, std::span<const NodeId> outputs) {
  SizeSink sink;
  encode_blob(sink, nodes, outputs);
  if (sink.too_long()) return make_err(ValueTooLong{});
  return sink.size();
}

void write_ir_blob(const NodeTable& nodes, std::span<const NodeId> outputs, std::span<char> out) {
  BufferSink sink(out.data());
  encode_blob(sink, nodes, outputs);
  // A mismatch would mean the two passes disagree about the format: memory is already damaged.
  if (sink.position() != out.data() + out.size()) {
    internal_failure("IR blob size matches the bytes written");
  }
}

Result<std::string, ValueTooLong> serialize_ir(const NodeTable& nodes, std::span<const NodeId> outputs) {
  Result<std::size_t, ValueTooLong> size = ir_blob_size(nodes, outputs);
  if (!size.ok()) return make_err(size.error());
  std::string blob(size.value(), '\0');
  write_ir_blob(nodes, outputs, blob);
  return blob;
}

}  // namespace veltrix
