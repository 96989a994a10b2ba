#include "payload/lzss.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tollander::payload {

namespace {

constexpr int kRingMask = kRingSize - 1;
constexpr int kRingBytes = kRingSize + kMaxMatch - 1; // 17 mirrored bytes at the end
constexpr int kFirstRoot = kRingSize + 1;             // root of byte value c: 4097 + c
constexpr int kNodeEntries = kRingSize + 1 + 256;     // nodes, the empty link, the roots
constexpr int kParentEntries = kRingSize + 1;         // nodes and the empty link

// A node's two child links side by side: the descent reads both at once.
struct Node {
    std::uint16_t left;
    std::uint16_t right;
};

// Work area layout: the links, the parents (16 bits hold any node or root),
// then the ring.
constexpr std::size_t kParentOffset = sizeof(Node) * kNodeEntries;
constexpr std::size_t kTextOffset = kParentOffset + sizeof(std::uint16_t) * kParentEntries;
static_assert(kTextOffset + kRingBytes <= kWorkAreaSize);

// Reads the source through the input block; -1 once it has ended.
class ByteReader {
public:
    ByteReader(BlockSource& source, std::uint8_t* block, LzssTotals& totals)
        : source_(source), block_(block), totals_(totals) {}

    int Next() {
        if (pos_ == size_ && !Refill()) return -1;
        return block_[pos_++];
    }

    // Direct access to what is buffered, for the decoder's whole-group path.
    std::size_t Available() const { return size_ - pos_; }
    const std::uint8_t* Data() const { return block_ + pos_; }
    void SkipTo(const std::uint8_t* p) { pos_ = static_cast<std::size_t>(p - block_); }

private:
    bool Refill() {
        if (ended_) return false;
        size_ = source_.ReadBlock(block_, kBlockSize);
        pos_ = 0;
        totals_.bytes_read += static_cast<std::int64_t>(size_);
        ended_ = size_ == 0;
        return !ended_;
    }

    BlockSource& source_;
    std::uint8_t* block_;
    LzssTotals& totals_;
    std::size_t pos_ = 0;
    std::size_t size_ = 0;
    bool ended_ = false;
};

// Collects output in the output block; hands it on whenever it is full.
class ByteWriter {
public:
    ByteWriter(BlockSink& sink, std::uint8_t* block, LzssTotals& totals)
        : sink_(sink), block_(block), totals_(totals) {}

    void Put(std::uint8_t byte) {
        if (pos_ == kBlockSize) WriteOut();
        block_[pos_++] = byte;
    }

    // True when `n` more bytes fit without a write-out.
    bool RoomFor(std::size_t n) const { return kBlockSize - pos_ >= n; }
    void PutUnchecked(std::uint8_t byte) { block_[pos_++] = byte; }
    std::size_t Room() const { return kBlockSize - pos_; }
    std::uint8_t* Data() { return block_ + pos_; }
    void AdvanceTo(const std::uint8_t* p) { pos_ = static_cast<std::size_t>(p - block_); }

    void WriteOut() {
        sink_.WriteBlock(block_, pos_);
        totals_.bytes_written += static_cast<std::int64_t>(pos_);
        pos_ = 0;
    }

private:
    BlockSink& sink_;
    std::uint8_t* block_;
    LzssTotals& totals_;
    std::size_t pos_ = 0;
};

std::uint64_t LoadBe64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// The ring and its trees over the work area. Nodes are ring positions;
// kEmptyLink is "none", and its own entries absorb writes such as setting
// the parent of an empty child.
class Trees {
public:
    explicit Trees(std::uint32_t* work)
        : text(reinterpret_cast<std::uint8_t*>(work) + kTextOffset),
          node(reinterpret_cast<Node*>(work)),
          parent(reinterpret_cast<std::uint16_t*>(reinterpret_cast<std::uint8_t*>(work) +
                                                  kParentOffset)) {}

    void Reset() {
        for (int i = 0; i <= kEmptyLink; ++i)
            parent[i] = kEmptyLink;
        for (int c = 0; c < 256; ++c)
            node[kFirstRoot + c].right = kEmptyLink;
    }

    // Hangs the string at r into its tree and leaves the longest earlier
    // match in match_position / match_length.
    // Only the last insertion of a coding step needs its match; the others
    // just place their node (kWantMatch false) and skip the bookkeeping.
    template <bool kWantMatch> void Insert(int r, LzssTotals& totals) {
        Node* const nodes = node;
        const std::uint8_t* const ring = text;
        const std::uint8_t* const key = ring + r;
        const std::uint64_t key_a = LoadBe64(key + 1);
        const std::uint64_t key_b = LoadBe64(key + 9);
        int best_length = 0;
        int best_position = 0;
        nodes[r].left = nodes[r].right = kEmptyLink;
        int p = kFirstRoot + key[0];
        int depth = 1;
        std::uint32_t next = nodes[p].right;
        if (next == kEmptyLink) {
            nodes[p].right = r;
            parent[r] = p;
        } else {
            p = static_cast<int>(next);
            std::uint64_t a = LoadBe64(ring + p + 1);
            std::uint32_t l = nodes[p].left;
            std::uint32_t g = nodes[p].right;
            for (;;) {
                // One level ahead: both children's links and leading bytes
                // are fetched while this node is compared, so a mispredicted
                // turn finds its data loaded. The empty link's own child
                // entries are never written (they stay 0), and its leading
                // bytes lie inside the ring.
                const std::uint32_t ll = nodes[l].left, lg = nodes[l].right;
                const std::uint32_t gl = nodes[g].left, gg = nodes[g].right;
                const std::uint64_t al = LoadBe64(ring + l + 1);
                const std::uint64_t ag = LoadBe64(ring + g + 1);
                const std::uint8_t* other = ring + p;
                int i;
                bool go_right;
                if (a != key_a) {
                    i = 1 + (__builtin_clzll(a ^ key_a) >> 3);
                    go_right = key_a > a;
                } else {
                    const std::uint64_t b = LoadBe64(other + 9);
                    if (b != key_b) {
                        i = 9 + (__builtin_clzll(b ^ key_b) >> 3);
                        go_right = key_b > b;
                    } else if (key[17] != other[17]) {
                        i = 17;
                        go_right = key[17] > other[17];
                    } else {
                        Replace(p, r);
                        best_position = p;
                        best_length = kMaxMatch;
                        break;
                    }
                }
                if constexpr (kWantMatch) {
                    // Selected, not branched on: it flips unpredictably.
                    const bool longer = i > best_length;
                    best_position = longer ? p : best_position;
                    best_length = longer ? i : best_length;
                }
                ++depth;
                if (go_right) {
                    if (g == kEmptyLink) {
                        nodes[p].right = r;
                        parent[r] = p;
                        break;
                    }
                    p = static_cast<int>(g);
                    a = ag;
                    l = gl;
                    g = gg;
                } else {
                    if (l == kEmptyLink) {
                        nodes[p].left = r;
                        parent[r] = p;
                        break;
                    }
                    p = static_cast<int>(l);
                    a = al;
                    l = ll;
                    g = lg;
                }
            }
        }
        match_position = best_position;
        match_length = best_length;
        totals.deepest_insertion = std::max(totals.deepest_insertion, depth);
        if (depth >= kSplayDepth) {
            ++totals.splays;
            Splay(r);
        }
    }

    void Remove(int p) {
        if (parent[p] == kEmptyLink) return;
        int q;
        if (node[p].right == kEmptyLink) {
            q = node[p].left;
        } else if (node[p].left == kEmptyLink) {
            q = node[p].right;
        } else {
            q = node[p].left;
            if (node[q].right != kEmptyLink) {
                do {
                    q = node[q].right;
                } while (node[q].right != kEmptyLink);
                node[parent[q]].right = node[q].left;
                parent[node[q].left] = parent[q];
                node[q].left = node[p].left;
                parent[node[p].left] = q;
            }
            node[q].right = node[p].right;
            parent[node[p].right] = q;
        }
        parent[q] = parent[p];
        Relink(parent[p], p, q);
        parent[p] = kEmptyLink;
    }

    std::uint8_t* text;
    int match_position = 0;
    int match_length = 0;

private:
    // The parent's link to `from` now leads to `to`. A root only has a right link.
    void Relink(int up, int from, int to) {
        // Selected, not branched on: either side is as likely.
        std::uint16_t& link = node[up].right == from ? node[up].right : node[up].left;
        link = static_cast<std::uint16_t>(to);
    }

    // r takes p's place; p leaves the tree.
    void Replace(int p, int r) {
        parent[r] = parent[p];
        node[r].left = node[p].left;
        node[r].right = node[p].right;
        parent[node[p].left] = r;
        parent[node[p].right] = r;
        Relink(parent[p], p, r);
        parent[p] = kEmptyLink;
    }

    // Child c moves above its parent q; c was q's left child when `c_left`.
    // The link above q is left to the caller.
    void Rotate(int c, int q, bool c_left) {
        if (c_left) {
            node[q].left = node[c].right;
            parent[node[c].right] = q;
            node[c].right = q;
        } else {
            node[q].right = node[c].left;
            parent[node[c].left] = q;
            node[c].left = q;
        }
        parent[q] = c;
    }

    void Splay(int x) {
        for (;;) {
            const int p = parent[x];
            if (p >= kFirstRoot) return;
            const bool x_left = node[p].left == static_cast<std::uint32_t>(x);
            const int g = parent[p];
            if (g >= kFirstRoot) {
                Rotate(x, p, x_left);
                node[g].right = x;
                parent[x] = g;
                return;
            }
            const bool p_left = node[g].left == static_cast<std::uint32_t>(p);
            const int gg = parent[g];
            const bool g_left = gg < kFirstRoot && node[gg].left == static_cast<std::uint32_t>(g);
            if (x_left == p_left) {
                Rotate(p, g, p_left);
                Rotate(x, p, x_left);
            } else {
                Rotate(x, p, x_left);
                Rotate(x, g, p_left);
            }
            if (g_left) {
                node[gg].left = x;
            } else {
                node[gg].right = x;
            }
            parent[x] = gg;
        }
    }

    Node* node;
    std::uint16_t* parent;
};

} // namespace

struct LzssCoder::Memory {
    std::unique_ptr<std::uint8_t[]> input = std::make_unique<std::uint8_t[]>(kBlockSize);
    std::unique_ptr<std::uint8_t[]> output = std::make_unique<std::uint8_t[]>(kBlockSize);
    std::unique_ptr<std::uint32_t[]> work =
        std::make_unique<std::uint32_t[]>(kWorkAreaSize / sizeof(std::uint32_t));
};

LzssCoder::LzssCoder() : memory_(std::make_unique<Memory>()) {}
LzssCoder::~LzssCoder() = default;

LzssTotals LzssCoder::Encode(BlockSource& source, BlockSink& sink) {
    LzssTotals totals;
    std::memset(memory_->work.get(), 0, kWorkAreaSize);
    Trees trees(memory_->work.get());
    std::uint8_t* const text = trees.text;
    ByteReader in(source, memory_->input.get(), totals);
    ByteWriter out(sink, memory_->output.get(), totals);

    trees.Reset();
    int s = 0;
    int r = kFirstWritePosition;
    std::uint8_t group[1 + 2 * 8];
    int group_size = 1;
    std::uint8_t mask = 1;
    group[0] = 0;

    int look_ahead = 0;
    for (int c; look_ahead < kMaxMatch && (c = in.Next()) >= 0; ++look_ahead) {
        text[r + look_ahead] = static_cast<std::uint8_t>(c);
    }
    if (look_ahead == 0) {
        out.WriteOut();
        return totals;
    }
    for (int i = 1; i <= kMaxMatch; ++i)
        trees.Insert<false>(r - i, totals);
    trees.Insert<true>(r, totals);

    while (look_ahead > 0) {
        if (trees.match_length > look_ahead) trees.match_length = look_ahead;
        if (trees.match_length <= kMatchThreshold) {
            trees.match_length = 1;
            group[0] |= mask;
            group[group_size++] = text[r];
        } else {
            group[group_size++] = static_cast<std::uint8_t>(trees.match_position);
            group[group_size++] =
                static_cast<std::uint8_t>(((trees.match_position >> 4) & 0xF0) |
                                          (trees.match_length - (kMatchThreshold + 1)));
        }
        mask = static_cast<std::uint8_t>(mask << 1);
        if (mask == 0) {
            for (int i = 0; i < group_size; ++i)
                out.Put(group[i]);
            group[0] = 0;
            group_size = 1;
            mask = 1;
        }
        const int step = trees.match_length;
        int i = 0;
        for (int c; i < step && (c = in.Next()) >= 0; ++i) {
            trees.Remove(s);
            text[s] = static_cast<std::uint8_t>(c);
            if (s < kMaxMatch - 1) text[s + kRingSize] = static_cast<std::uint8_t>(c);
            s = (s + 1) & kRingMask;
            r = (r + 1) & kRingMask;
            if (i + 1 == step) {
                trees.Insert<true>(r, totals);
            } else {
                trees.Insert<false>(r, totals);
            }
        }
        for (; i < step; ++i) {
            trees.Remove(s);
            s = (s + 1) & kRingMask;
            r = (r + 1) & kRingMask;
            if (--look_ahead > 0) trees.Insert<true>(r, totals);
        }
    }
    // The last group goes out even when it holds no item.
    for (int i = 0; i < group_size; ++i)
        out.Put(group[i]);
    out.WriteOut();
    return totals;
}

LzssTotals LzssCoder::Decode(BlockSource& source, BlockSink& sink) {
    LzssTotals totals;
    std::uint8_t* const text = reinterpret_cast<std::uint8_t*>(memory_->work.get());
    std::memset(text, 0, kRingBytes);
    ByteReader in(source, memory_->input.get(), totals);
    ByteWriter out(sink, memory_->output.get(), totals);

    int r = kFirstWritePosition;
    unsigned flags = 0;
    for (;;) {
        flags >>= 1;
        if ((flags & 0x100) == 0) {
            // A whole group is buffered and fits the output: no checks per byte.
            if (in.Available() >= 1 + 2 * 8 && out.Room() >= 8 * kMaxMatch) {
                const std::uint8_t* ip = in.Data();
                std::uint8_t* op = out.Data();
                unsigned group = *ip++;
                for (int item = 0; item < 8; ++item, group >>= 1) {
                    if (group & 1) {
                        const std::uint8_t c = *ip++;
                        text[r] = c;
                        r = (r + 1) & kRingMask;
                        *op++ = c;
                        continue;
                    }
                    const int position = ip[0] | ((ip[1] & 0xF0) << 4);
                    const int length = (ip[1] & 0x0F) + kMatchThreshold + 1;
                    ip += 2;
                    for (int k = 0; k < length; ++k) {
                        const std::uint8_t c = text[(position + k) & kRingMask];
                        text[r] = c;
                        r = (r + 1) & kRingMask;
                        *op++ = c;
                    }
                }
                in.SkipTo(ip);
                out.AdvanceTo(op);
                flags = 0;
                continue;
            }
            const int c = in.Next();
            if (c < 0) break;
            flags = static_cast<unsigned>(c) | 0xFF00;
        }
        const int first = in.Next();
        if (first < 0) break;
        if (flags & 1) {
            text[r] = static_cast<std::uint8_t>(first);
            r = (r + 1) & kRingMask;
            out.Put(static_cast<std::uint8_t>(first));
            continue;
        }
        const int second = in.Next();
        if (second < 0) break;
        const int position = first | ((second & 0xF0) << 4);
        const int length = (second & 0x0F) + kMatchThreshold + 1;
        if (out.RoomFor(static_cast<std::size_t>(length))) {
            for (int k = 0; k < length; ++k) {
                const std::uint8_t c = text[(position + k) & kRingMask];
                text[r] = c;
                r = (r + 1) & kRingMask;
                out.PutUnchecked(c);
            }
        } else {
            for (int k = 0; k < length; ++k) {
                const std::uint8_t c = text[(position + k) & kRingMask];
                text[r] = c;
                r = (r + 1) & kRingMask;
                out.Put(c);
            }
        }
    }
    out.WriteOut();
    return totals;
}

namespace {

class SpanSource : public BlockSource {
public:
    explicit SpanSource(std::span<const std::uint8_t> data) : data_(data) {}
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override {
        const std::size_t n = std::min(capacity, data_.size());
        if (n) std::memcpy(buffer, data_.data(), n);
        data_ = data_.subspan(n);
        return n;
    }

private:
    std::span<const std::uint8_t> data_;
};

class VectorSink : public BlockSink {
public:
    void WriteBlock(const std::uint8_t* data, std::size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
    }
    std::vector<std::uint8_t> bytes;
};

} // namespace

std::vector<std::uint8_t> LzssEncode(std::span<const std::uint8_t> input, LzssTotals* totals) {
    LzssCoder coder;
    SpanSource source(input);
    VectorSink sink;
    const LzssTotals t = coder.Encode(source, sink);
    if (totals) *totals = t;
    return std::move(sink.bytes);
}

std::vector<std::uint8_t> LzssDecode(std::span<const std::uint8_t> body, LzssTotals* totals) {
    LzssCoder coder;
    SpanSource source(body);
    VectorSink sink;
    const LzssTotals t = coder.Decode(source, sink);
    if (totals) *totals = t;
    return std::move(sink.bytes);
}

} // namespace tollander::payload
