// The classic public-domain LZSS program of 1989 (4096-byte ring, 18-byte
// matches, threshold 2, binary trees, getc/putc I/O), kept here only as the
// yardstick the codec's speed is measured against.
#pragma once

#include <cstdio>

namespace classic_lzss {

void Encode(std::FILE* infile, std::FILE* outfile);
void Decode(std::FILE* infile, std::FILE* outfile);

} // namespace classic_lzss
