// HTML escaping, the pages' style sheet and number formatting.
#include "report/html_text.h"

#include <cmath>
#include <cstdio>

namespace warpmender {
namespace report {

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string format_fixed(double v, int digits) {
    if (!std::isfinite(v)) return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

const char* page_style() {
    return R"CSS(
:root { --ink: #1d2330; --muted: #5b6475; --line: #dde1e8; --card: #ffffff; --page: #f3f5f8;
        --ok: #1f7a3f; --ok-bg: #e5f4ea; --bad: #b3121c; --bad-bg: #fde7e8; --warn: #8a5a00; --warn-bg: #fff3d6; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--page); color: var(--ink);
       font: 14px/1.45 "DejaVu Sans", "Liberation Sans", Arial, sans-serif; }
main { max-width: 1180px; margin: 0 auto; padding: 20px 24px 40px; }
header h1 { font-size: 22px; margin: 0 0 2px; }
header .sub { color: var(--muted); }
section { background: var(--card); border: 1px solid var(--line); border-radius: 8px; padding: 14px 18px 16px;
          margin-top: 16px; }
h2 { font-size: 16px; margin: 0 0 8px; }
p.note { color: var(--muted); margin: 0 0 10px; }
.banner { margin-top: 14px; padding: 12px 16px; border-radius: 8px; font-weight: bold; border: 2px solid; }
.banner.ok { color: var(--ok); background: var(--ok-bg); border-color: var(--ok); }
.banner.bad { color: var(--bad); background: var(--bad-bg); border-color: var(--bad); font-size: 17px; }
.banner.warn { color: var(--warn); background: var(--warn-bg); border-color: var(--warn); }
.banner .detail { font-weight: normal; font-size: 13px; margin-top: 4px; color: var(--ink); }
.cards { display: flex; flex-wrap: wrap; gap: 10px; margin-top: 14px; }
.card { background: var(--card); border: 1px solid var(--line); border-radius: 8px; padding: 8px 14px; min-width: 150px; }
.card .k { color: var(--muted); font-size: 12px; }
.card .v { font-size: 19px; font-weight: bold; }
.row { display: flex; gap: 12px; align-items: flex-end; flex-wrap: wrap; margin-bottom: 8px; }
.row .rowlabel { width: 92px; font-weight: bold; align-self: center; }
figure { margin: 0; }
figure img { display: block; background: #000; border-radius: 3px; }
figcaption { color: var(--muted); font-size: 12px; margin-top: 2px; }
.bar { display: flex; align-items: center; gap: 8px; margin: 4px 0 10px 104px; font-size: 12px; }
.bar .ramp { width: 260px; height: 12px; border: 1px solid #888;
             background: linear-gradient(to right, rgb(0,0,255), rgb(255,255,255), rgb(255,0,0)); }
.legend span.sw { display: inline-block; width: 12px; height: 12px; vertical-align: -2px; margin: 0 4px 0 12px;
                  border: 1px solid #777; }
table { border-collapse: collapse; }
table.wide { width: 100%; }
th, td { text-align: left; padding: 4px 10px; border-bottom: 1px solid var(--line); vertical-align: top; }
th { color: var(--muted); font-weight: normal; font-size: 12px; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
tr.best td { font-weight: bold; }
tr.failed td { background: var(--bad-bg); }
tr.failed td.nowrap { color: var(--bad); font-weight: bold; }
td.nowrap { white-space: nowrap; }
td.small { font-size: 12px; }
ul.warnings { margin: 0; padding-left: 20px; }
ul.warnings li { margin: 4px 0; }
ul.warnings li.loud { color: var(--bad); font-weight: bold; }
.flex { display: flex; gap: 24px; flex-wrap: wrap; align-items: flex-start; }
a { color: #1a56b8; }
)CSS";
}

}  // namespace report
}  // namespace warpmender
