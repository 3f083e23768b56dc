// Making file names and paths safe to write into generated HTML, and
// bytes safe to write where they could end a field.
#pragma once
#include <string>

// & < > " ' as the entities &amp; &lt; &gt; &quot; &#39;.
std::string htmlescape(std::string text);
// Every byte outside A-Z a-z 0-9 - . _ ~ / as %XX, upper-case hex.
std::string hrefencode(std::string path);
// Every byte keep refuses as mark and two upper-case hex digits.
std::string hexescape(const std::string& text, const char* mark, bool (*keep)(unsigned char));
