#pragma once

#include <QtGlobal>

// Huffman code lengths for count symbols (at most 258) of the given
// frequencies, none longer than max_length. Every symbol gets a code, as the
// bzip2 format requires: a frequency of zero counts as one. Where the
// optimal code is too long, the frequencies are flattened and it is made
// again.
void bz2_code_lengths(const quint32 *freq, int count, int max_length, uchar *lengths);
