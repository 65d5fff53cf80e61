// The text routines of the Yahoo message rebuild: parameter lists, header fields, text
// bodies, Base64 lines and the walk over the service's part tree.
#include <algorithm>

#include "base64.h"
#include "log.h"
#include "qp.h"
#include "texthelpers.h"
#include "utf8.h"
#include "yahoo.h"

namespace yahoo {

namespace {

Str trimmed(std::string_view s) {
    Str t = ToStr(s);
    return Trim(t);
}

// A value in double quotes (always valid for a parameter), except an extended
// ("name*") one, whose syntax allows no quotes.
Str quotedIfNeeded(std::string_view name, std::string_view value) {
    if (name.ends_with('*')) return ToStr(value);
    Str out = ToStr("\"");
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// Whether every character of the UTF-8 text is below limit (an invalid sequence fails).
bool fitsBelow(std::string_view text, long limit) {
    while (!text.empty()) {
        long c = utf8_get(text);
        if (c < 0 || c >= limit) return false;
    }
    return true;
}

} // namespace

std::string_view YahooMsgIDBeta(std::string_view id) {
    size_t us = id.rfind('_');
    return us == std::string_view::npos ? id : id.substr(us + 1);
}

Str LoginErrorText(std::string_view url, std::string_view page, std::string_view fallback) {
    if (InStr(1, url, "/update?"))
        return ToStr("Account Information update page shown.\r\nLog into your Yahoo account with a web browser and "
                     "update your security information.");
    auto between = [&](std::string_view open, std::string_view close, Str& text) {
        long a = InStr(1, page, open);
        if (!a) return false;
        long from = a + static_cast<long>(open.size());
        long b = InStr(from, page, close);
        if (!b) return false;
        text = ToStr(page.substr(static_cast<size_t>(from - 1), static_cast<size_t>(b - from)));
        return true;
    };
    Str t;
    if (between("<div class=\"yregertxt\">", "</div>", t)) {
        for (std::string_view gone : {"\r", "\n", "<strong>", "</strong>", "</p>", "</a>"}) ReplaceAll(t, gone, "");
        for (std::string_view br : {"<p>", "<br>", "</br>", "<br/>"}) ReplaceAll(t, br, "\r\n");
        for (long a; (a = InStr(1, View(t), "<a "));) {
            long gt = InStr(a, View(t), ">");
            ReplaceStr(t, a, gt ? gt - a + 1 : static_cast<long>(t.size()) - a + 1, "");
        }
        return t;
    }
    if (long h = InStr(1, page, "<h2>Error")) {
        long end = InStr(h, page, "</h2>");
        if (end) return ToStr(page.substr(static_cast<size_t>(h - 1) + 4, static_cast<size_t>(end - h - 4)));
    }
    if (between("<span class=\"primaryHeading\">", "</td>", t)) {
        Trim(t);
        for (std::string_view gone : {"\r", "\n", "</span>"}) ReplaceAll(t, gone, "");
        ReplaceAll(t, "<br />", "\r\n");
        return ReplaceAll(t, "&nbsp;", " ");
    }
    if (long d = InStr(1, page, "<div class=\"primaryHeading ")) {
        long gt = InStr(d, page, ">");
        long end = gt ? InStr(gt, page, "</div>") : 0;
        if (end) {
            t = trimmed(page.substr(static_cast<size_t>(gt), static_cast<size_t>(end - gt - 1)));
            for (std::string_view gone : {"\r", "\n"}) ReplaceAll(t, gone, "");
            return ReplaceAll(t, "<br/>", "\r\n");
        }
    }
    return ToStr(fallback);
}

bool FaultText(std::string_view answer, Str& detail) {
    long f = InStr(1, answer, "<faultstring>");
    if (!f) return false;
    detail = ToStr("Error value not found.");
    long from = f + 13;
    long end = InStr(from, answer, "</faultstring>");
    if (end) {
        detail = ToStr(answer.substr(static_cast<size_t>(from - 1), static_cast<size_t>(end - from)));
        long d = InStr(end, answer, "<detail>");
        long dEnd = d ? InStr(d, answer, "</detail>") : 0;
        if (dEnd) AppendStr(AppendStr(detail, "\r\n"), answer.substr(static_cast<size_t>(d - 1) + 8, static_cast<size_t>(dEnd - d - 8)));
    }
    return true;
}

HdrParms parseHdrParms(std::string_view text) {
    HdrParms p;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = start;
        bool quoted = false;
        for (; end < text.size(); ++end) {
            char c = text[end];
            if (quoted && c == '\\' && end + 1 < text.size()) {
                ++end;
                continue;
            }
            if (c == '"') quoted = !quoted;
            if (c == ';' && !quoted) break;
        }
        std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        size_t eq = piece.find('=');
        Str name = trimmed(piece.substr(0, eq));
        if (name.empty()) continue;
        Str value;
        if (eq != std::string_view::npos) {
            std::string_view v = piece.substr(eq + 1);
            v.remove_prefix(std::min(v.size(), v.find_first_not_of(" \t")));
            if (!v.empty() && (v[0] == '"' || v[0] == '\'')) {
                char q = v[0];
                for (size_t i = 1; i < v.size() && v[i] != q; ++i) {
                    if (q == '"' && v[i] == '\\' && i + 1 < v.size()) ++i;
                    value += v[i];
                }
            } else {
                value = trimmed(v);
            }
        }
        p.names.push_back(std::move(name));
        p.values.push_back(std::move(value));
    }
    return p;
}

Str getHdrParmVal(const HdrParms& p, std::string_view name) {
    for (size_t i = 0; i < p.names.size(); ++i)
        if (strcmpi(View(p.names[i]), name) == 0) return p.values[i];
    return Str();
}

void setHdrParmVal(HdrParms& p, std::string_view name, std::string_view value) {
    for (size_t i = 0; i < p.names.size(); ++i) {
        if (strcmpi(View(p.names[i]), name) == 0) {
            p.values[i] = ToStr(value);
            return;
        }
    }
    p.names.push_back(ToStr(name));
    p.values.push_back(ToStr(value));
}

Str hdrParmStr(const HdrParms& p) {
    Str out;
    for (size_t i = 0; i < p.names.size(); ++i) {
        if (i) out.append("; ");
        out.append(View(p.names[i]));
        // The type itself, and a name that came without a value, stay bare.
        if (p.values[i].empty()) continue;
        out.append("=").append(View(quotedIfNeeded(View(p.names[i]), View(p.values[i]))));
    }
    return out;
}

Str requoteParms(std::string_view text) { return hdrParmStr(parseHdrParms(text)); }

HdrField parseMailHdr(std::string_view field, std::string_view header) {
    HdrField f;
    long at = 0;
    if (strncmpi(header, field, field.size()) == 0) {
        at = 1;
    } else if (long crlf = InStr(1, header, NewStr("\r\n", field))) {
        at = crlf + 2;
    }
    if (!at) {
        f.pos = static_cast<long>(header.size()) - 1;
        return f;
    }
    size_t end = static_cast<size_t>(at - 1);
    while (true) {
        size_t eol = header.find("\r\n", end);
        end = eol == std::string_view::npos ? header.size() : eol + 2;
        if (end >= header.size() || (header[end] != ' ' && header[end] != '\t')) break;
    }
    f.pos = at;
    f.len = static_cast<long>(end) - at + 1;
    std::string_view value = header.substr(static_cast<size_t>(at - 1) + field.size(), end - (static_cast<size_t>(at - 1) + field.size()));
    Str unfolded = ToStr(value);
    ReplaceAll(unfolded, "\r\n", "");
    f.parms = parseHdrParms(View(unfolded));
    return f;
}

Str crlfLines(std::string_view text) {
    Str out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

TextBody EncodeText(std::string_view charset, std::string_view utf8Text) {
    TextBody b;
    b.charset = charset.empty() ? ToStr("us-ascii") : ToStr(charset);
    const bool ascii = strcmpi(View(b.charset), "us-ascii") == 0;
    const bool latin1 = strcmpi(View(b.charset), "iso-8859-1") == 0;
    Str converted;
    if ((ascii && fitsBelow(utf8Text, 0x80)) || (latin1 && fitsBelow(utf8Text, 0x100))) {
        std::optional<Str> c = Convert_UTF8_To_Charset(utf8Text, View(b.charset));
        if (c) converted = std::move(*c);
        else converted = ToStr(utf8Text);
    } else {
        // What the charset cannot hold goes out in UTF-8, which holds everything.
        b.charset = ToStr("utf-8");
        converted = ToStr(utf8Text);
    }
    if (strcmpi(View(b.charset), "us-ascii") == 0) {
        b.encoding = ToStr("7bit");
        b.data = std::move(converted);
    } else {
        b.encoding = ToStr("quoted-printable");
        b.data = EncodeQuotedPrintable(View(converted));
    }
    return b;
}

Str LabelHeaderBlock(std::string_view header, std::string_view charset, std::string_view encoding) {
    Str out = ToStr(header);
    if (!charset.empty()) {
        HdrField type = parseMailHdr("Content-Type: ", View(out));
        if (type.len > 0 || strcmpi(charset, "us-ascii") != 0) {
            HdrParms parms = type.parms;
            if (parms.names.empty()) setHdrParmVal(parms, "text/plain", "");
            if (strcmpi(View(getHdrParmVal(parms, "charset")), charset) != 0) {
                setHdrParmVal(parms, "charset", charset);
                Str field = NewStr("Content-Type: ", View(hdrParmStr(parms)), "\r\n");
                debugLog("Yahoo.vfyBodyContentHdrs Content-Type header changed");
                ReplaceStr(out, type.pos, type.len, View(field));
            }
        }
    }
    HdrField cte = parseMailHdr("Content-Transfer-Encoding: ", View(out));
    Str current = cte.parms.names.empty() ? Str() : cte.parms.names[0];
    // No field means 7bit already.
    if ((cte.len == 0 && strcmpi(encoding, "7bit") == 0) || strcmpi(View(current), encoding) == 0) return out;
    debugLog("Yahoo.vfyBodyContentHdrs Content-Transfer-Encoding header changed");
    ReplaceStr(out, cte.pos, cte.len, View(NewStr("Content-Transfer-Encoding: ", encoding, "\r\n")));
    return out;
}

void Base64Lines::feed(std::string_view piece, Str& out) {
    held_.append(piece);
    size_t whole = held_.size() / 57 * 57;
    for (size_t at = 0; at < whole; at += 57)
        out.append(View(Base64_Encode(View(held_).substr(at, 57)))).append("\r\n");
    held_.erase(0, whole);
}

void Base64Lines::finish(Str& out) {
    if (!held_.empty()) out.append(View(Base64_Encode(View(held_)))).append("\r\n");
    held_.clear();
}

namespace {

struct PartAttrs {
    StrArray names, values;
    Str get(std::string_view name) const {
        for (size_t i = 0; i < names.size(); ++i)
            if (strcmpi(View(names[i]), name) == 0) return values[i];
        return Str();
    }
};

// The attributes of a "<part" element, read from its sixth character on.
PartAttrs partAttributes(std::string_view element) {
    PartAttrs a;
    size_t at = std::min<size_t>(5, element.size());
    while (at < element.size()) {
        size_t eq = element.find('=', at);
        if (eq == std::string_view::npos) break;
        Str name = trimmed(element.substr(at, eq - at));
        if (name.empty()) break;
        size_t v = element.find_first_not_of(' ', eq + 1);
        if (v == std::string_view::npos) break;
        size_t end;
        Str value;
        if (element[v] == '"' || element[v] == '\'') {
            end = element.find(element[v], v + 1);
            if (end == std::string_view::npos) break;
            value = ToStr(element.substr(v + 1, end - v - 1));
            ++end;
        } else {
            end = element.find_first_of(" >", v);
            if (end == std::string_view::npos) break;
            value = ToStr(element.substr(v, end - v));
        }
        a.names.push_back(std::move(name));
        a.values.push_back(std::move(value));
        at = end;
    }
    return a;
}

Str decoded(Str text) { return HTMLText_decode(text); }

bool downloaded(std::string_view type) { return !type.empty() && strcmpi(type, "text") != 0 && strcmpi(type, "multipart") != 0; }

} // namespace

const char* BuildParts(std::string_view answer, MimeSegments& out, TopLabel& top) {
    StrArray boundaries;
    int depth = -1;
    bool found = false;
    size_t pos = 0;
    Str pending; // text waiting to become a segment
    auto flushText = [&](Str downloadPart, bool base64) {
        out.push_back(MimeSegment{std::move(pending), std::move(downloadPart), base64});
        pending.clear();
    };
    auto close = [&](int from, int to) {
        for (int level = from; level >= to; --level)
            if (level >= 0 && static_cast<size_t>(level) < boundaries.size() && !boundaries[static_cast<size_t>(level)].empty())
                AppendStr(AppendStr(AppendStr(pending, "--"), View(boundaries[static_cast<size_t>(level)])), "--\r\n");
    };
    while (true) {
        long open = InStr(static_cast<long>(pos) + 1, answer, "<part");
        if (!open) break;
        size_t start = static_cast<size_t>(open - 1), end = start;
        bool quoted = false;
        for (; end < answer.size(); ++end) {
            if (answer[end] == '"') quoted = !quoted;
            if (answer[end] == '>' && !quoted) break;
        }
        if (end >= answer.size()) break;
        std::string_view element = answer.substr(start, end - start + 1);
        pos = end + 1;
        PartAttrs a = partAttributes(element);
        Str partId = a.get("partId");
        debugLog("partID=\"%s\"", partId.c_str());
        if (strcmpi(View(partId), "HEADER") == 0) {
            boundaries.clear();
            continue;
        }
        found = true;
        const int previous = depth;
        depth = static_cast<int>(CountFields(View(partId), ".")) - 1;
        if (depth >= kMaxPartDepth) return "Message parts are nested too deeply.";
        if (depth < previous) close(previous, depth + 1);
        Str type = a.get("type"), subType = a.get("subtype"), encoding = a.get("encoding");
        Str contentId = decoded(a.get("contentId")), typeParams = decoded(a.get("typeParams"));
        Str disposition = a.get("disposition"), dispParams = decoded(a.get("dispParams"));
        const bool isTop = strcmpi(View(partId), "TEXT") == 0;
        const bool text = strcmpi(View(type), "text") == 0;
        TextBody body;
        if (text) {
            long t = InStr(static_cast<long>(pos) + 1, answer, "<text>");
            long tEnd = t ? InStr(t, answer, "</text>") : 0;
            if (!tEnd) return "Message part text not found.";
            Str content = decoded(ToStr(answer.substr(static_cast<size_t>(t - 1) + 6, static_cast<size_t>(tEnd - t - 6))));
            content = crlfLines(View(content));
            // Inside a multipart the line end before the next delimiter belongs to the
            // delimiter, so a text that ends with a line end keeps it and gets one more.
            if (!isTop || !content.ends_with("\r\n")) content.append("\r\n");
            HdrParms parms = parseHdrParms(View(typeParams));
            body = EncodeText(View(getHdrParmVal(parms, "charset")), View(content));
            setHdrParmVal(parms, "charset", View(body.charset));
            typeParams = hdrParmStr(parms);
            encoding = body.encoding;
        } else if (strcmpi(View(type), "multipart") == 0) {
            Str boundary = getHdrParmVal(parseHdrParms(View(typeParams)), "boundary");
            size_t level = isTop ? 0 : static_cast<size_t>(depth + 1);
            if (boundaries.size() <= level) boundaries.resize(level + 1);
            boundaries[level] = std::move(boundary);
        } else if (downloaded(View(type))) {
            // Downloads go out as they are sent: Base64, except an attached message,
            // whose type allows no Base64; it goes as it is.
            encoding = ToStr(strcmpi(View(type), "message") == 0 ? "8bit" : "base64");
        }
        if (isTop) {
            if (strcmpi(View(type), "multipart") != 0) top = TopLabel{text ? body.charset : Str(), encoding};
        } else {
            if (static_cast<size_t>(depth) < boundaries.size() && !boundaries[static_cast<size_t>(depth)].empty())
                AppendStr(AppendStr(AppendStr(pending, "--"), View(boundaries[static_cast<size_t>(depth)])), "\r\n");
            if (!contentId.empty()) {
                std::string_view id = View(contentId);
                if (id.starts_with('<') && id.ends_with('>')) id = id.substr(1, id.size() - 2);
                AppendStr(AppendStr(AppendStr(pending, "Content-Id: <"), id), ">\r\n");
            }
            AppendStr(AppendStr(AppendStr(AppendStr(pending, "Content-Type: "), View(type)), "/"), View(subType));
            if (!typeParams.empty()) AppendStr(AppendStr(pending, "; "), View(requoteParms(View(typeParams))));
            AppendStr(pending, "\r\n");
            if (!disposition.empty()) {
                AppendStr(AppendStr(pending, "Content-Disposition: "), View(disposition));
                if (!dispParams.empty()) AppendStr(AppendStr(pending, "; "), View(requoteParms(View(dispParams))));
                AppendStr(pending, "\r\n");
            }
            if (!encoding.empty()) AppendStr(AppendStr(AppendStr(pending, "Content-Transfer-Encoding: "), View(encoding)), "\r\n");
            AppendStr(pending, "\r\n");
        }
        if (text) AppendStr(pending, View(body.data));
        else if (downloaded(View(type))) flushText(partId, strcmpi(View(type), "message") != 0);
    }
    if (!found) return "No message parts found.";
    close(depth, 0);
    if (!pending.empty()) flushText(Str(), true);
    return nullptr;
}

} // namespace yahoo
