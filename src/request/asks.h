// What a request asks of the --web mode beyond its target: its method and the
// header values that make an answer partial or conditional. Reception fills
// the record one header line at a time, as the lines arrive.
#pragma once
#include <cstddef>
#include <string>

struct asks {
    std::string meth;      // the method, in the case the client sent it
    std::string range;     // the value of Range; empty when there is none
    std::string since;     // the value of If-Modified-Since
    std::string match;     // the value of If-None-Match
    std::string guard;     // the value of If-Range: the Range holds while it names the file
    std::size_t used = 0;  // bytes of the header block so far, request line included
};

// The longest header block, the request line and every header line with their
// "\r\n": each line has its bound already, but not how many a client sends.
const std::size_t blockmost = 65536;

// The method of a request line: the bytes before its first blank.
std::string partmeth(std::string part);
// The record of a request line: its method and its bytes, nothing asked yet.
asks asksmake(std::string part);
// Takes one header line into the record: keeps the value of a field --web
// reads, and counts the line's bytes. A field sent twice keeps both values
// joined by ", ", as a list field is combined; so a second Range,
// If-Modified-Since or If-Range makes its value unreadable: the first two are
// then ignored, and the range is not honoured. False once
// the block is longer than blockmost.
bool asksnote(asks& a, std::string link);
