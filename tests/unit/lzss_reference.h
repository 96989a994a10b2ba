// A second, deliberately plain LZSS coder written from the format's rules:
// byte by byte comparisons and a textbook rotate-up splay. The optimised
// coder must produce the very same bodies (unit tests and fuzzing compare).
#pragma once

#include <cstdint>
#include <vector>

namespace lzss_reference {

using Bytes = std::vector<std::uint8_t>;

class ReferenceEncoder {
public:
    explicit ReferenceEncoder(bool splay) : splay_(splay) {}

    Bytes Encode(const Bytes& in) {
        const int N = 4096, F = 18, NIL = 4096;
        text_.assign(N + F - 1, 0);
        left_.assign(4097, NIL);
        right_.assign(4097 + 256, NIL);
        parent_.assign(4097, NIL);
        Bytes out;
        std::size_t pos = 0;
        auto next = [&]() -> int { return pos < in.size() ? in[pos++] : -1; };
        int s = 0, r = N - F, len = 0, c;
        while (len < F && (c = next()) >= 0)
            text_[r + len++] = static_cast<std::uint8_t>(c);
        if (len == 0) return out;
        for (int i = 1; i <= F; ++i)
            Insert(r - i);
        Insert(r);
        Bytes group{0};
        unsigned mask = 1;
        while (len > 0) {
            if (match_length_ > len) match_length_ = len;
            if (match_length_ <= 2) {
                match_length_ = 1;
                group[0] |= mask;
                group.push_back(text_[r]);
            } else {
                group.push_back(match_position_ & 0xFF);
                group.push_back(((match_position_ >> 8) << 4) | (match_length_ - 3));
            }
            mask <<= 1;
            if (mask == 0x100) {
                out.insert(out.end(), group.begin(), group.end());
                group.assign(1, 0);
                mask = 1;
            }
            const int step = match_length_;
            int i = 0;
            for (; i < step && (c = next()) >= 0; ++i) {
                Remove(s);
                text_[s] = static_cast<std::uint8_t>(c);
                if (s < F - 1) text_[s + N] = static_cast<std::uint8_t>(c);
                s = (s + 1) % N;
                r = (r + 1) % N;
                Insert(r);
            }
            for (; i < step; ++i) {
                Remove(s);
                s = (s + 1) % N;
                r = (r + 1) % N;
                if (--len > 0) Insert(r);
            }
        }
        out.insert(out.end(), group.begin(), group.end());
        return out;
    }

private:
    static bool IsRoot(int n) { return n > 4096; }

    void Insert(int r) {
        int p = 4097 + text_[r], cmp = 1, depth = 0;
        left_[r] = right_[r] = 4096;
        match_length_ = 0;
        for (;;) {
            ++depth;
            int& link = cmp >= 0 ? right_[p] : left_[p];
            if (link == 4096) {
                link = r;
                parent_[r] = p;
                break;
            }
            p = link;
            int i = 1;
            while (i < 18 && text_[r + i] == text_[p + i])
                ++i;
            cmp = i < 18 ? text_[r + i] - text_[p + i] : 0;
            if (i > match_length_) {
                match_position_ = p;
                match_length_ = i;
                if (i == 18) {
                    parent_[r] = parent_[p];
                    left_[r] = left_[p];
                    right_[r] = right_[p];
                    parent_[left_[p]] = r;
                    parent_[right_[p]] = r;
                    ReplaceLink(parent_[p], p, r);
                    parent_[p] = 4096;
                    break;
                }
            }
        }
        if (splay_ && depth >= 30) {
            while (!IsRoot(parent_[r])) {
                const int p = parent_[r];
                if (IsRoot(parent_[p])) {
                    RotateUp(r);
                } else if ((left_[p] == r) == (left_[parent_[p]] == p)) {
                    RotateUp(p);
                    RotateUp(r);
                } else {
                    RotateUp(r);
                    RotateUp(r);
                }
            }
        }
    }

    void ReplaceLink(int up, int from, int to) {
        if (!IsRoot(up) && left_[up] == from) {
            left_[up] = to;
        } else {
            right_[up] = to;
        }
    }

    void RotateUp(int x) {
        const int p = parent_[x];
        const int g = parent_[p];
        if (left_[p] == x) {
            left_[p] = right_[x];
            parent_[right_[x]] = p;
            right_[x] = p;
        } else {
            right_[p] = left_[x];
            parent_[left_[x]] = p;
            left_[x] = p;
        }
        parent_[p] = x;
        ReplaceLink(g, p, x);
        parent_[x] = g;
    }

    void Remove(int p) {
        if (parent_[p] == 4096) return;
        int q;
        if (right_[p] == 4096) {
            q = left_[p];
        } else if (left_[p] == 4096) {
            q = right_[p];
        } else {
            q = left_[p];
            if (right_[q] != 4096) {
                while (right_[q] != 4096)
                    q = right_[q];
                right_[parent_[q]] = left_[q];
                parent_[left_[q]] = parent_[q];
                left_[q] = left_[p];
                parent_[left_[p]] = q;
            }
            right_[q] = right_[p];
            parent_[right_[p]] = q;
        }
        parent_[q] = parent_[p];
        ReplaceLink(parent_[p], p, q);
        parent_[p] = 4096;
    }

    bool splay_;
    Bytes text_;
    std::vector<int> left_, right_, parent_;
    int match_position_ = 0, match_length_ = 0;
};

} // namespace lzss_reference
