#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "store/graph_store.h"
#include "store/ir_reader.h"
#include "store/ir_writer.h"
#include "store/node_builders.h"

namespace veltrix {
namespace {

using namespace veltrix::testing;
using namespace std::string_literals;

// Writes blob fields by hand, so tests can state the exact bytes and craft what the writer never
// produces (stages, out-of-order params, bad tags, forged counts).
class Blob {
 public:
  Blob& magic() { return raw("VIR1"); }
  Blob& raw(std::string_view bytes) {
    bytes_.append(bytes);
    return *this;
  }
  Blob& u8(std::uint8_t v) {
    bytes_ += static_cast<char>(v);
    return *this;
  }
  Blob& u32(std::uint32_t v) { return put(v); }
  Blob& u64(std::uint64_t v) { return put(v); }
  Blob& str(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
  Blob& ids(std::initializer_list<std::uint64_t> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (auto id : ids) u64(id);
    return *this;
  }
  Blob& no_params() { return u32(0); }
  Blob& source(std::string_view name) { return u8(0).str(name).no_params(); }
  Blob& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    return u8(1).str(name).no_params().ids(inputs);
  }
  Blob& int_param(std::string_view key, std::int64_t v) { return str(key).u8(0).u64(static_cast<std::uint64_t>(v)); }
  Blob& ref(std::uint8_t kind, std::uint32_t index) { return u8(kind).u32(index); }

  const std::string& bytes() const { return bytes_; }

 private:
  template <class T>
  Blob& put(T v) {
    char buffer[sizeof v];
    std::memcpy(buffer, &v, sizeof v);
    bytes_.append(buffer, sizeof v);
    return *this;
  }
  std::string bytes_;
};

std::string serialize(const GraphStore& store) {
  GraphSnapshot snapshot = store.snapshot();
  return expect_ok(serialize_ir(snapshot.nodes, snapshot.outputs), "serializable");
}

std::string serialize(const GraphStore& store, std::vector<NodeId> outputs) {
  return expect_ok(serialize_ir(store.snapshot().nodes, outputs), "serializable");
}

std::string read_error(std::string_view bytes) {
  Result<GraphStore, BlobError> store = read_ir_blob(bytes);
  return store.ok() ? "<accepted>" : store.error().message();
}

GraphStore read(std::string_view bytes) { return expect_ok(read_ir_blob(bytes), "readable blob"); }

std::vector<Node> nodes_of(const GraphStore& store) {
  GraphSnapshot snapshot = store.snapshot();
  std::vector<Node> nodes;
  for (NodeId id = 0; id < snapshot.nodes.size(); ++id) nodes.push_back(snapshot.nodes[id].to_node());
  return nodes;
}

std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// One store with a node of every kind the recording methods produce, params of every variant,
// a repeated input, and marks out of id order.
GraphStore every_kind_store() {
  GraphStore store;
  const NodeId x = store.intern(src("x", params({{"shape", S("2x3")}, {"seed", I(-7)}}))).value();
  const NodeId y =
      store
          .intern(src("y\n\"\\", params({{"nan", F(std::bit_cast<double>(0xFFF0000000000123ULL))}, {"neg0", F(-0.0)}})))
          .value();
  const NodeId add = store.intern(op("add", {x, x}, params({{"flag", B(true)}}))).value();
  const NodeId sum = store.intern(red("sum", {add}, params({{"axis", I(0)}}))).value();
  const NodeId ext = store.intern(Node::external(descriptor("pre"), params({{"k", S("\xc3\xa9")}}), {sum, y})).value();
  const NodeId ext2 = store.intern(Node::external(descriptor(), {}, {})).value();
  const NodeId exch = store.intern(Node::exchange(params({{"scheme", S("hash")}}), {ext})).value();
  const NodeId stage =
      store
          .intern(Node::stage({exch, ext2},
                              {StageMember{"op|neg", {{MemberRefKind::Input, 0}}},
                               StageMember{"red|sum", {{MemberRefKind::Member, 0}, {MemberRefKind::Input, 9}}}}))
          .value();
  (void)store.mark_output(stage);
  (void)store.mark_output(x);
  return store;
}

TEST(IrWriter, OneMarkedSourceIsExactlyThirtyBytes) {
  GraphStore store;
  (void)store.intern(src("a"));
  (void)store.mark_output(0);
  EXPECT_EQ(hex(serialize(store)),
            "56 49 52 31 01 00 00 00 00 01 00 00 00 61 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(IrWriter, EmptyStoreIsMagicAndTwoZeroCounts) {
  EXPECT_EQ(serialize(GraphStore()), Blob().magic().u32(0).u32(0).bytes());
  const GraphStore empty = read(Blob().magic().u32(0).u32(0).bytes());
  EXPECT_EQ(empty.node_count(), 0u);
  EXPECT_TRUE(empty.outputs().empty());
}

TEST(IrWriter, WritesEveryFieldInOrder) {
  GraphStore store;
  (void)store.intern(src("s", params({{"b", B(true)}, {"a", F(1.5)}})));
  (void)store.intern(Node::external(descriptor(""), params({{"z", S("q")}}), {0, 0}));
  (void)store.intern(Node::stage(
      {1}, {StageMember{"op|f", {{MemberRefKind::Input, 0}}}, StageMember{"op|g", {{MemberRefKind::Member, 0}}}}));
  (void)store.intern(Node::exchange({}, {2}));
  const std::string expected = Blob()
                                   .magic()
                                   .u32(4)
                                   .u8(0)
                                   .str("s")
                                   .u32(2)
                                   .str("a")
                                   .u8(1)
                                   .u64(std::bit_cast<std::uint64_t>(1.5))
                                   .str("b")
                                   .u8(2)
                                   .u8(1)
                                   .u8(3)
                                   .str("k")
                                   .str("h")
                                   .str("f")
                                   .str("v")
                                   .str("s")
                                   .u8(1)
                                   .str("")
                                   .u32(1)
                                   .str("z")
                                   .u8(3)
                                   .str("q")
                                   .ids({0, 0})
                                   .u8(4)
                                   .ids({1})
                                   .u32(2)
                                   .str("op|f")
                                   .u32(1)
                                   .ref(0, 0)
                                   .str("op|g")
                                   .u32(1)
                                   .ref(1, 0)
                                   .u8(5)
                                   .no_params()
                                   .ids({2})
                                   .u32(3)
                                   .u64(3)
                                   .u64(1)
                                   .u64(3)
                                   .bytes();
  EXPECT_EQ(hex(serialize(store, {3, 1, 3})), hex(expected));
}

TEST(IrWriter, RefusesAStageReferenceIndexBeyondThirtyTwoBits) {
  GraphStore store;
  (void)store.intern(src("a"));
  (void)store.intern(Node::stage({0}, {StageMember{"op|f", {{MemberRefKind::Input, std::uint64_t{1} << 32}}}}));
  const GraphSnapshot snapshot = store.snapshot();
  Result<std::string, ValueTooLong> blob = serialize_ir(snapshot.nodes, {});
  ASSERT_FALSE(blob.ok());
  EXPECT_EQ(blob.error().message(), "value too long for a veltrix IR blob");
  EXPECT_FALSE(ir_blob_size(snapshot.nodes, {}).ok());
}

struct BadBlob {
  const char* what;
  std::string bytes;
  std::string message;
};
void PrintTo(const BadBlob& c, std::ostream* os) { *os << c.what; }

class IrReaderRefuses : public ::testing::TestWithParam<BadBlob> {};

TEST_P(IrReaderRefuses, WithTheFirstErrorInByteOrder) {
  EXPECT_EQ(read_error(GetParam().bytes), GetParam().message) << GetParam().what;
}

const std::string kTruncated = "truncated veltrix IR blob";
const std::string kBadUtf8 = "invalid utf-8 in veltrix IR blob";
const std::string kNotUtf8 = "\xc3\x28";

Blob two_nodes() { return Blob().magic().u32(2).source("a"); }
Blob external_with(std::initializer_list<std::string_view> fields, std::uint8_t presence, std::string_view pre) {
  Blob b = Blob().magic().u32(1).u8(3);
  for (std::string_view f : fields) b.str(f);
  b.u8(presence);
  if (presence != 0) b.str(pre);
  return b.no_params().ids({}).u32(0);
}

INSTANTIATE_TEST_SUITE_P(
    Header, IrReaderRefuses,
    ::testing::Values(BadBlob{"empty", "", kTruncated}, BadBlob{"three magic bytes", "VIR", kTruncated},
                      BadBlob{"other magic", "ABCD", "not a veltrix IR blob (bad magic/version)"},
                      BadBlob{"other version", "VIR2\0\0\0\0"s, "not a veltrix IR blob (bad magic/version)"},
                      BadBlob{"short node count", "VIR1\0\0\0"s, kTruncated},
                      BadBlob{"no output count", Blob().magic().u32(0).bytes(), kTruncated},
                      BadBlob{"short output count", Blob().magic().u32(0).raw("\1\0"s).bytes(), kTruncated},
                      BadBlob{"output count without ids", Blob().magic().u32(0).u32(1).u32(0).bytes(), kTruncated}));

INSTANTIATE_TEST_SUITE_P(
    Tags, IrReaderRefuses,
    ::testing::Values(BadBlob{"node tag 6", Blob().magic().u32(1).u8(6).bytes(), "invalid node tag 6"},
                      BadBlob{"param tag 4", Blob().magic().u32(1).u8(0).str("a").u32(1).str("k").u8(4).bytes(),
                              "invalid param tag 4"},
                      BadBlob{"stage-ref kind 2 with a huge index",
                              two_nodes().u8(4).ids({0}).u32(1).str("op|f").u32(1).ref(2, 99).u32(0).bytes(),
                              "invalid stage-ref tag 2"}));

INSTANTIATE_TEST_SUITE_P(
    References, IrReaderRefuses,
    ::testing::Values(
        BadBlob{"op input naming itself",
                Blob().magic().u32(4).source("a").source("b").source("c").op("f", {3}).u32(0).bytes(),
                "node reference 3 out of range"},
        BadBlob{"output id equal to the node count", Blob().magic().u32(1).source("a").ids({1}).bytes(),
                "node reference 1 out of range"},
        BadBlob{"output id far beyond", Blob().magic().u32(1).source("a").ids({UINT64_MAX}).bytes(),
                "node reference 18446744073709551615 out of range"},
        BadBlob{"member referencing itself",
                two_nodes().u8(4).ids({0}).u32(2).str("op|f").u32(0).str("op|g").u32(1).ref(1, 1).u32(0).bytes(),
                "node reference 1 out of range"},
        BadBlob{"exchange input out of range", Blob().magic().u32(1).u8(5).no_params().ids({0}).bytes(),
                "node reference 0 out of range"},
        // The two equal Sources merge into id 0, so id 1 passes the position check but names no node.
        BadBlob{"reference past merged duplicates",
                Blob().magic().u32(3).source("a").source("a").op("f", {1}).u32(0).bytes(),
                "node reference 1 out of range"},
        BadBlob{"output past merged duplicates", Blob().magic().u32(2).source("a").source("a").ids({1}).bytes(),
                "node reference 1 out of range"},
        // Read item by item: the bad id comes before the missing ones.
        BadBlob{"bad id before a short list",
                Blob().magic().u32(2).source("a").u8(1).str("f").no_params().u32(1000).u64(5).bytes(),
                "node reference 5 out of range"}));

INSTANTIATE_TEST_SUITE_P(
    Utf8, IrReaderRefuses,
    ::testing::Values(
        BadBlob{"name", Blob().magic().u32(1).source(kNotUtf8).u32(0).bytes(), kBadUtf8},
        BadBlob{"key", Blob().magic().u32(1).u8(0).str("a").u32(1).int_param(kNotUtf8, 1).u32(0).bytes(), kBadUtf8},
        BadBlob{"str value", Blob().magic().u32(1).u8(0).str("a").u32(1).str("k").u8(3).str(kNotUtf8).u32(0).bytes(),
                kBadUtf8},
        BadBlob{"descriptor kind", external_with({kNotUtf8, "h", "f", "v", "s"}, 0, "").bytes(), kBadUtf8},
        BadBlob{"preprocessing ref", external_with({"k", "h", "f", "v", "s"}, 1, kNotUtf8).bytes(), kBadUtf8},
        BadBlob{"member token", two_nodes().u8(4).ids({}).u32(1).str(kNotUtf8).u32(0).u32(0).bytes(), kBadUtf8},
        BadBlob{"overlong form", Blob().magic().u32(1).source("\xc0\xaf").u32(0).bytes(), kBadUtf8}));

// Counts that the remaining bytes cannot satisfy end in Truncated without reserving anything
// (under AddressSanitizer a reservation of that size would abort the test).
INSTANTIATE_TEST_SUITE_P(
    ForgedCounts, IrReaderRefuses,
    ::testing::Values(
        BadBlob{"node count", Blob().magic().u32(UINT32_MAX).bytes(), kTruncated},
        BadBlob{"string length", Blob().magic().u32(1).u8(0).u32(UINT32_MAX).raw("abc").bytes(), kTruncated},
        BadBlob{"param count", Blob().magic().u32(1).u8(0).str("a").u32(UINT32_MAX).bytes(), kTruncated},
        BadBlob{"input count", Blob().magic().u32(2).source("a").u8(1).str("f").no_params().u32(UINT32_MAX).bytes(),
                kTruncated},
        BadBlob{"member count", two_nodes().u8(4).ids({}).u32(UINT32_MAX).bytes(), kTruncated},
        BadBlob{"ref count", two_nodes().u8(4).ids({}).u32(1).str("op|f").u32(UINT32_MAX).u8(0).bytes(), kTruncated},
        BadBlob{"partial reference", two_nodes().u8(4).ids({}).u32(1).str("op|f").u32(1).u8(0).raw("\0\0\0"s).bytes(),
                kTruncated},
        BadBlob{"output count", Blob().magic().u32(0).u32(UINT32_MAX).bytes(), kTruncated},
        BadBlob{"param count beyond what a node holds", Blob().magic().u32(1).u8(0).str("a").u32(1u << 24).bytes(),
                kTruncated},
        // Item by item: an invalid entry is reported even under a count the data cannot satisfy.
        BadBlob{"bad entry under a forged count",
                Blob().magic().u32(1).u8(0).str("a").u32(UINT32_MAX).str("k").u8(9).bytes(), "invalid param tag 9"}));

TEST(IrReader, EveryStrictPrefixOfAValidBlobIsTruncated) {
  const std::string blob = serialize(every_kind_store());
  ASSERT_TRUE(read_ir_blob(blob).ok());
  for (std::size_t n = 0; n < blob.size(); ++n) {
    ASSERT_EQ(read_error(std::string_view(blob).substr(0, n)), kTruncated) << "prefix of " << n << " bytes";
  }
}

TEST(IrReader, RoundTripKeepsIdsNodesMarksAndBytes) {
  const GraphStore original = every_kind_store();
  const std::string blob = serialize(original);
  const GraphStore rebuilt = read(blob);
  EXPECT_EQ(nodes_of(rebuilt), nodes_of(original));
  EXPECT_EQ(rebuilt.outputs(), original.outputs());
  EXPECT_EQ(hex(serialize(rebuilt)), hex(blob));
}

// Empty texts (which a fresh table may store without any bytes) in every string field.
TEST(IrReader, EmptyTextsRoundTrip) {
  GraphStore store;
  (void)store.intern(src("", params({{"", S("")}})));
  (void)store.intern(Node::external(PayloadDescriptor{"", "", "", "", "", ""}, {}, {0}));
  (void)store.intern(Node::stage({1}, {StageMember{"", {}}}));
  const std::string blob = serialize(store);
  EXPECT_EQ(hex(blob), hex(Blob()
                               .magic()
                               .u32(3)
                               .u8(0)
                               .str("")
                               .u32(1)
                               .str("")
                               .u8(3)
                               .str("")
                               .u8(3)
                               .str("")
                               .str("")
                               .str("")
                               .str("")
                               .str("")
                               .u8(1)
                               .str("")
                               .no_params()
                               .ids({0})
                               .u8(4)
                               .ids({1})
                               .u32(1)
                               .str("")
                               .u32(0)
                               .u32(0)
                               .bytes()));
  EXPECT_EQ(hex(serialize(read(blob))), hex(blob));
}

TEST(IrReader, OutOfOrderParamsAreSortedStablyAndRewrittenInOrder) {
  const std::string blob = Blob()
                               .magic()
                               .u32(1)
                               .u8(0)
                               .str("x")
                               .u32(4)
                               .int_param("b", 1)
                               .int_param("a", 2)
                               .int_param("b", 3)
                               .int_param("a", 4)
                               .u32(0)
                               .bytes();
  const GraphStore store = read(blob);
  const Node node = store.snapshot().nodes[0].to_node();
  std::vector<std::pair<std::string, std::int64_t>> entries;
  for (const ParamEntry& e : node.params()) entries.emplace_back(e.key, e.value.as_int());
  EXPECT_EQ(entries, (std::vector<std::pair<std::string, std::int64_t>>{{"a", 2}, {"a", 4}, {"b", 1}, {"b", 3}}));
  const std::string sorted = Blob()
                                 .magic()
                                 .u32(1)
                                 .u8(0)
                                 .str("x")
                                 .u32(4)
                                 .int_param("a", 2)
                                 .int_param("a", 4)
                                 .int_param("b", 1)
                                 .int_param("b", 3)
                                 .u32(0)
                                 .bytes();
  EXPECT_EQ(hex(serialize(store)), hex(sorted));
}

TEST(IrReader, NonzeroFlagBytesReadAsSetAndAreWrittenBackAsOne) {
  const auto with = [](std::uint8_t flag, std::uint8_t presence) {
    return Blob()
        .magic()
        .u32(1)
        .u8(3)
        .str("k")
        .str("h")
        .str("f")
        .str("v")
        .str("s")
        .u8(presence)
        .str("p")
        .u32(1)
        .str("b")
        .u8(2)
        .u8(flag)
        .ids({})
        .u32(0)
        .bytes();
  };
  const GraphStore store = read(with(2, 7));
  const Node node = store.snapshot().nodes[0].to_node();
  EXPECT_TRUE(node.params()[0].value.as_bool());
  EXPECT_EQ(node.descriptor().preprocessing_ref, std::optional<std::string>("p"));
  EXPECT_EQ(hex(serialize(store)), hex(with(1, 1)));
}

TEST(IrReader, DuplicateRecordsMergeAndLaterReferencesUseNewIds) {
  // Records: a, a (merged into 0), b (id 1), f(0, 1) (id 2); outputs name ids of the new store.
  const GraphStore store =
      read(Blob().magic().u32(4).source("a").source("a").source("b").op("f", {0, 1}).ids({2, 1}).bytes());
  EXPECT_EQ(nodes_of(store), (std::vector<Node>{src("a"), src("b"), op("f", {0, 1})}));
  EXPECT_EQ(store.outputs(), (std::vector<NodeId>{2, 1}));
}

TEST(IrReader, StageInputReferencesAreAcceptedWhateverTheirIndex) {
  const std::string blob = two_nodes()
                               .u8(4)
                               .ids({0})
                               .u32(2)
                               .str("op|f")
                               .u32(1)
                               .ref(0, UINT32_MAX)
                               .str("op|g")
                               .u32(2)
                               .ref(1, 0)
                               .ref(0, 0)
                               .ids({1})
                               .bytes();
  const GraphStore store = read(blob);
  const Node stage = store.snapshot().nodes[1].to_node();
  ASSERT_EQ(stage.members().size(), 2u);
  EXPECT_EQ(stage.members()[0].refs[0].index, UINT32_MAX);
  EXPECT_EQ(hex(serialize(store)), hex(blob));
}

TEST(IrReader, ExplicitOutputListKeepsRepeatsButMarksDoNot) {
  GraphStore store;
  for (const char* name : {"a", "b", "c"}) (void)store.intern(src(name));
  const std::string blob = serialize(store, {2, 2});
  EXPECT_EQ(hex(blob.substr(blob.size() - 20)), hex(Blob().ids({2, 2}).bytes()));
  const GraphStore rebuilt = read(blob);
  EXPECT_EQ(rebuilt.outputs(), (std::vector<NodeId>{2}));
  const std::string again = serialize(rebuilt);
  EXPECT_EQ(hex(again.substr(again.size() - 12)), hex(Blob().ids({2}).bytes()));
}

TEST(IrReader, BytesAfterTheOutputsAreIgnored) {
  const std::string blob = serialize(every_kind_store());
  const GraphStore store = read(blob + "trailing garbage \xff");
  EXPECT_EQ(hex(serialize(store)), hex(blob));
}

TEST(IrReader, FloatBitPatternsSurviveExactly) {
  const std::uint64_t patterns[] = {0x8000000000000000ULL, 0x7FF0000000000001ULL, 0xFFF8000000000000ULL,
                                    0x0000000000000001ULL, 0x7FF0000000000000ULL};
  Blob blob = Blob().magic().u32(static_cast<std::uint32_t>(std::size(patterns)));
  for (std::uint64_t bits : patterns) blob.u8(0).str("x").u32(1).str("v").u8(1).u64(bits);
  blob.u32(0);
  // Distinct NaN payloads are one value to identity: the second NaN record merges into the first.
  const GraphStore store = read(blob.bytes());
  EXPECT_EQ(store.node_count(), 4u);
  const GraphSnapshot snapshot = store.snapshot();
  EXPECT_EQ(snapshot.nodes[1].param_value(0).bits, 0x7FF0000000000001ULL);
  EXPECT_EQ(snapshot.nodes[0].param_value(0).bits, 0x8000000000000000ULL);
}

}  // namespace
}  // namespace veltrix
