#include <cassert>
#include <sstream>

#include "core/world.h"
#include "output/escape.h"
#include "output/listing.h"
#include "request/kinds.h"

std::string dirpage(std::string file, const std::set<std::string>& sort, const std::set<std::string>* dirs) {
    std::size_t slsh = file.find('/', root().size() + 1);
    assert(slsh<file.size());
    std::string host = file.substr(root().size() + 1, slsh - root().size() - 1);
    std::string page = file.substr(slsh);
    std::ostringstream dirt;
    dirt << "<html><head><title>" << htmlescape(page) << "</title><style>\n";
    dirt << "table,th,td{border:1px solid black;}</style></head><body>\n";
    dirt << "<h2>";
    if (host == "a") {
        dirt << "Directory of [" << htmlescape(page) << "]";
    } else {
        dirt << "http://" << htmlescape(host);
        if (port() != 80) dirt << ":" << port();
        dirt << htmlescape(page);
    }
    dirt << "</h2>\n<p><table style=\"width:100%\">\n";
    assert(cstrends(file,"/"));
    std::string href = hrefencode(page);
    // A link that starts "//" names another host to a browser: the page path
    // "//x/" is linked as "/%2Fx/", which the server decodes back to it.
    if (cstrbegs(href, "//")) href.replace(1, 1, "%2F");
    // A folder's link that ends in "/" reaches its listing without a redirect,
    // and a mirroring client saves that page in the folder.
    std::string mark = dirs ? "/" : "";
    if (page != "/")
        dirt << "<tr><td><a href=\"" << href << ".." << mark << "\">.." << mark << "</a></td></tr>\n";
    for (const std::string& name : sort) {
        std::string tail = dirs && dirs->count(name) ? "/" : "";
        dirt << "<tr><td><a href=\"" << href << hrefencode(name) << tail << "\">" << htmlescape(name) << tail
             << "</a></td></tr>\n";
    }
    dirt << "</table>\n";
    if (sort.empty()) dirt << "<p>This directory is empty!\n";
    dirt << "</body></html>\n";
    return dirt.str();
}
