#include "tests/bench/classic_lzss.h"

namespace classic_lzss {

namespace {

constexpr int N = 4096;
constexpr int F = 18;
constexpr int THRESHOLD = 2;
constexpr int NIL = N;

// The program's globals, gathered in one place.
struct State {
    unsigned long textsize = 0, codesize = 0;
    unsigned char text_buf[N + F - 1];
    int match_position = 0, match_length = 0;
    int lson[N + 1], rson[N + 257], dad[N + 1];

    void InitTree() {
        for (int i = N + 1; i <= N + 256; i++)
            rson[i] = NIL;
        for (int i = 0; i < N; i++)
            dad[i] = NIL;
    }

    void InsertNode(int r) {
        int i, p, cmp;
        unsigned char* key;
        cmp = 1;
        key = &text_buf[r];
        p = N + 1 + key[0];
        rson[r] = lson[r] = NIL;
        match_length = 0;
        for (;;) {
            if (cmp >= 0) {
                if (rson[p] != NIL) {
                    p = rson[p];
                } else {
                    rson[p] = r;
                    dad[r] = p;
                    return;
                }
            } else {
                if (lson[p] != NIL) {
                    p = lson[p];
                } else {
                    lson[p] = r;
                    dad[r] = p;
                    return;
                }
            }
            for (i = 1; i < F; i++)
                if ((cmp = key[i] - text_buf[p + i]) != 0) break;
            if (i > match_length) {
                match_position = p;
                if ((match_length = i) >= F) break;
            }
        }
        dad[r] = dad[p];
        lson[r] = lson[p];
        rson[r] = rson[p];
        dad[lson[p]] = r;
        dad[rson[p]] = r;
        if (rson[dad[p]] == p)
            rson[dad[p]] = r;
        else
            lson[dad[p]] = r;
        dad[p] = NIL;
    }

    void DeleteNode(int p) {
        int q;
        if (dad[p] == NIL) return;
        if (rson[p] == NIL)
            q = lson[p];
        else if (lson[p] == NIL)
            q = rson[p];
        else {
            q = lson[p];
            if (rson[q] != NIL) {
                do {
                    q = rson[q];
                } while (rson[q] != NIL);
                rson[dad[q]] = lson[q];
                dad[lson[q]] = dad[q];
                lson[q] = lson[p];
                dad[lson[p]] = q;
            }
            rson[q] = rson[p];
            dad[rson[p]] = q;
        }
        dad[q] = dad[p];
        if (rson[dad[p]] == p)
            rson[dad[p]] = q;
        else
            lson[dad[p]] = q;
        dad[p] = NIL;
    }
};

} // namespace

void Encode(std::FILE* infile, std::FILE* outfile) {
    static State st;
    st = State{};
    int i, c, len, r, s, last_match_length, code_buf_ptr;
    unsigned char code_buf[17], mask;

    st.InitTree();
    code_buf[0] = 0;
    code_buf_ptr = mask = 1;
    s = 0;
    r = N - F;
    for (i = s; i < r; i++)
        st.text_buf[i] = ' ';
    for (len = 0; len < F && (c = getc(infile)) != EOF; len++)
        st.text_buf[r + len] = c;
    if ((st.textsize = len) == 0) return;
    for (i = 1; i <= F; i++)
        st.InsertNode(r - i);
    st.InsertNode(r);
    do {
        if (st.match_length > len) st.match_length = len;
        if (st.match_length <= THRESHOLD) {
            st.match_length = 1;
            code_buf[0] |= mask;
            code_buf[code_buf_ptr++] = st.text_buf[r];
        } else {
            code_buf[code_buf_ptr++] = (unsigned char)st.match_position;
            code_buf[code_buf_ptr++] = (unsigned char)(((st.match_position >> 4) & 0xf0) |
                                                       (st.match_length - (THRESHOLD + 1)));
        }
        if ((mask <<= 1) == 0) {
            for (i = 0; i < code_buf_ptr; i++)
                putc(code_buf[i], outfile);
            st.codesize += code_buf_ptr;
            code_buf[0] = 0;
            code_buf_ptr = mask = 1;
        }
        last_match_length = st.match_length;
        for (i = 0; i < last_match_length && (c = getc(infile)) != EOF; i++) {
            st.DeleteNode(s);
            st.text_buf[s] = c;
            if (s < F - 1) st.text_buf[s + N] = c;
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            st.InsertNode(r);
        }
        st.textsize += i;
        while (i++ < last_match_length) {
            st.DeleteNode(s);
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            if (--len) st.InsertNode(r);
        }
    } while (len > 0);
    if (code_buf_ptr > 1) {
        for (i = 0; i < code_buf_ptr; i++)
            putc(code_buf[i], outfile);
        st.codesize += code_buf_ptr;
    }
}

void Decode(std::FILE* infile, std::FILE* outfile) {
    static unsigned char text_buf[N + F - 1];
    int i, j, k, r, c;
    unsigned int flags;

    for (i = 0; i < N - F; i++)
        text_buf[i] = ' ';
    r = N - F;
    flags = 0;
    for (;;) {
        if (((flags >>= 1) & 256) == 0) {
            if ((c = getc(infile)) == EOF) break;
            flags = c | 0xff00;
        }
        if (flags & 1) {
            if ((c = getc(infile)) == EOF) break;
            putc(c, outfile);
            text_buf[r++] = c;
            r &= (N - 1);
        } else {
            if ((i = getc(infile)) == EOF) break;
            if ((j = getc(infile)) == EOF) break;
            i |= ((j & 0xf0) << 4);
            j = (j & 0x0f) + THRESHOLD;
            for (k = 0; k <= j; k++) {
                c = text_buf[(i + k) & (N - 1)];
                putc(c, outfile);
                text_buf[r++] = c;
                r &= (N - 1);
            }
        }
    }
}

} // namespace classic_lzss
