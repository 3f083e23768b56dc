#include <algorithm>
#include <cassert>
#include <cstdint>

#include "request/dates.h"
#include "request/kinds.h"

namespace {

const char* const daynames[7] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
const char* const daylongs[7] = {"sunday",   "monday", "tuesday", "wednesday",
                                 "thursday", "friday", "saturday"};
const char* const monnames[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                  "jul", "aug", "sep", "oct", "nov", "dec"};

// Floor division: days before 1970 belong to the day they start in.
std::int64_t divfloor(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Days since 1970-01-01 of a Gregorian date (month 1..12), by eras of 400
// years, each of 146097 days.
std::int64_t daysfrom(std::int64_t year, std::int64_t mon, std::int64_t day) {
    year -= mon <= 2;
    std::int64_t era = divfloor(year, 400);
    std::int64_t yoe = year - era * 400;
    std::int64_t doy = (153 * (mon + (mon > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The date of a day since 1970-01-01: the inverse of daysfrom.
void daysdate(std::int64_t days, std::int64_t* year, std::int64_t* mon, std::int64_t* day) {
    days += 719468;
    std::int64_t era = divfloor(days, 146097);
    std::int64_t doe = days - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *mon = mp < 10 ? mp + 3 : mp - 9;
    *year = yoe + era * 400 + (*mon <= 2);
}

bool leapyear(std::int64_t y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

std::int64_t monthdays(std::int64_t year, std::int64_t mon) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[mon - 1] + (mon == 2 && leapyear(year));
}

// A reading of text, which is lowered already: each step matches the next
// bytes or fails, and once failed stays failed.
struct scan {
    const std::string& text;
    std::size_t at = 0;
    bool good = true;

    bool lit(const std::string& s) {
        good = good && text.compare(at, s.size(), s) == 0;
        if (good) at += s.size();
        return good;
    }
    // Exactly n digits; a leading blank stands for a zero when lead is set.
    std::int64_t num(std::size_t n, bool lead = false) {
        std::int64_t v = 0;
        for (std::size_t k = 0; k < n && good; ++k) {
            char c = at < text.size() ? text[at] : '\0';
            if (k == 0 && lead && c == ' ') c = '0';
            good = c >= '0' && c <= '9';
            v = v * 10 + (c - '0');
            ++at;
        }
        return good ? v : -1;
    }
    // Index of the name the text goes on with, or -1.
    int name(const char* const* names, int n) {
        for (int k = 0; k < n && good; ++k) {
            std::string s = names[k];
            if (text.compare(at, s.size(), s) == 0) {
                at += s.size();
                return k;
            }
        }
        good = false;
        return -1;
    }
    bool done() { return good && at == text.size(); }
};

struct stamp {
    std::int64_t year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0;
};

void clockread(scan& s, stamp& t) {
    t.hour = s.num(2);
    s.lit(":");
    t.min = s.num(2);
    s.lit(":");
    t.sec = s.num(2);
}

// "sun, 06 nov 1994 08:49:37 gmt"
bool fixdate(const std::string& text, stamp& t) {
    scan s{text};
    s.name(daynames, 7);
    s.lit(", ");
    t.day = s.num(2);
    s.lit(" ");
    t.mon = s.name(monnames, 12) + 1;
    s.lit(" ");
    t.year = s.num(4);
    s.lit(" ");
    clockread(s, t);
    s.lit(" gmt");
    return s.done();
}

// "sunday, 06-nov-94 08:49:37 gmt": the year is two digits.
bool rfc850date(const std::string& text, stamp& t) {
    scan s{text};
    s.name(daylongs, 7);
    s.lit(", ");
    t.day = s.num(2);
    s.lit("-");
    t.mon = s.name(monnames, 12) + 1;
    s.lit("-");
    t.year = s.num(2);
    s.lit(" ");
    clockread(s, t);
    s.lit(" gmt");
    return s.done();
}

// "sun nov  6 08:49:37 1994"
bool asctimedate(const std::string& text, stamp& t) {
    scan s{text};
    s.name(daynames, 7);
    s.lit(" ");
    t.mon = s.name(monnames, 12) + 1;
    s.lit(" ");
    t.day = s.num(2, true);
    s.lit(" ");
    clockread(s, t);
    s.lit(" ");
    t.year = s.num(4);
    return s.done();
}

bool stampafter(const stamp& a, const stamp& b) {
    const std::int64_t x[] = {a.year, a.mon, a.day, a.hour, a.min, a.sec};
    const std::int64_t y[] = {b.year, b.mon, b.day, b.hour, b.min, b.sec};
    return std::lexicographical_compare(y, y + 6, x, x + 6);
}

void twodigits(std::string& out, std::int64_t v) {
    out += char('0' + v / 10);
    out += char('0' + v % 10);
}

}  // namespace

std::string datetext(std::int64_t secs) {
    if (secs < datelow) secs = datelow;
    if (secs > datehigh) secs = datehigh;
    std::int64_t days = divfloor(secs, 86400), rest = secs - days * 86400;
    std::int64_t year, mon, day;
    daysdate(days, &year, &mon, &day);
    // 1970-01-01 was a Thursday, day 4 of a week that begins on Sunday.
    std::int64_t wday = days + 4 - divfloor(days + 4, 7) * 7;
    std::string out = daynames[wday];
    out[0] = char(out[0] - 32);
    out += ", ";
    twodigits(out, day);
    out += ' ';
    out += char(monnames[mon - 1][0] - 32);
    out += monnames[mon - 1] + 1;
    out += ' ';
    twodigits(out, year / 100);
    twodigits(out, year % 100);
    out += ' ';
    twodigits(out, rest / 3600);
    out += ':';
    twodigits(out, rest / 60 % 60);
    out += ':';
    twodigits(out, rest % 60);
    out += " GMT";
    return out;
}

bool dateread(std::string text, std::int64_t now, std::int64_t* secs) {
    for (char& c : text) c = charlow(c);
    stamp t;
    if (rfc850date(text, t)) {
        // The latest year with these last two digits that is not more than
        // 50 years ahead of now, to the second.
        if (now < datelow) now = datelow;
        if (now > datehigh) now = datehigh;
        std::int64_t days = divfloor(now, 86400), year, mon, day;
        daysdate(days, &year, &mon, &day);
        std::int64_t rest = now - days * 86400;
        stamp edge{year + 50, mon, day, rest / 3600, rest / 60 % 60, rest % 60};
        t.year += year - year % 100 + 100;
        while (stampafter(t, edge)) t.year -= 100;
        if (t.year < 0 || t.year > 9999) return false;
    } else if (!fixdate(text, t) && !asctimedate(text, t)) {
        return false;
    }
    // Second 60 is the leap second a clock may show; it reads as the next
    // minute's first.
    if (t.day < 1 || t.day > monthdays(t.year, t.mon) || t.hour > 23 || t.min > 59 ||
        t.sec > 60)
        return false;
    *secs = daysfrom(t.year, t.mon, t.day) * 86400 + t.hour * 3600 + t.min * 60 + t.sec;
    return true;
}
