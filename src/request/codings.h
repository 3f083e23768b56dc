// Content codings: which one answers a request, by its Accept-Encoding and
// the codings the answer can be sent in.
#pragma once
#include <string>

// The content codings tavi sends, in its own order of preference.
enum coding : int { codenone = -1, codeidentity = 0, codegzip = 1, codezstd = 2, codebr = 3 };

// The bit of a coding in a set of codings: 1u << c.
// Reads an Accept-Encoding value by RFC 9110 §12.5.3 and picks what to answer
// with among `offered` (a set of bits; identity is always possible unless
// refused). `present` is false when the request has no Accept-Encoding at
// all: identity, as an empty value. A malformed element (a q that is not
// 0..1 with up to three decimals, a parameter other than q, a name that is
// no token) is ignored. `x-gzip` is gzip; `*` stands for every coding the
// list does not name, identity included; a coding named twice counts at its
// higher q. The highest q wins; among equal q br, then zstd, then gzip, then
// identity. Identity unnamed and not covered by `*` is acceptable below any
// other. codenone: identity is refused and no offered coding is acceptable.
coding codingpick(const std::string& accept, bool present, unsigned offered);
// "br", "zstd", "gzip", "identity"; "" for codenone.
const char* codingname(coding c);
// The file name ending of a file already in the coding: ".br", ".zst", ".gz",
// ""; "" for codenone.
const char* codingext(coding c);
