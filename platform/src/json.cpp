#include <ktplatform/json.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kt {

static bool plain(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\'; }

// Length of the well-formed UTF-8 sequence that begins with the byte at i
// (0x80 or above), or 0 with *bad set to the length of its ill-formed start:
// each such start becomes one replacement character, as decoders count them.
static size_t utf8Sequence(const std::string& s, size_t i, size_t* bad) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // a surrogate half
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  size_t k = 1;
  for (; k < n && i + k < s.size(); ++k) {
    unsigned char b = static_cast<unsigned char>(s[i + k]);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
  }
  if (k == n) return n;
  *bad = k;
  return 0;
}

void appendJsonText(std::string& out, const std::string& s, bool asUtf8) {
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    // Runs of characters that need no escape are copied at once.
    size_t run = i, bad = 0;
    while (run < s.size()) {
      unsigned char b = static_cast<unsigned char>(s[run]);
      size_t n = b < 0x80 ? plain(b) : asUtf8 ? utf8Sequence(s, run, &bad) : 1;
      if (!n) break;
      run += n;
    }
    out.append(s, i, run - i);
    if (run == s.size()) break;
    if (bad) {
      // A strict reader refuses the whole line for one stray byte (a log
      // line cut inside a character): such bytes become U+FFFD.
      out += "\xEF\xBF\xBD";
      i = run + bad;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(s[run]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char buf[8];
        snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
    }
    i = run + 1;
  }
  out += '"';
}

void appendJson(std::string& out, const AL::ALValue& v, bool asUtf8) {
  switch (v.getType()) {
    case AL::ALValue::TypeInvalid: out += "null"; break;
    case AL::ALValue::TypeBool: out += static_cast<bool>(v) ? "true" : "false"; break;
    case AL::ALValue::TypeInt: {
      char buf[16];
      std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, static_cast<int>(v));
      out.append(buf, r.ptr);
      break;
    }
    case AL::ALValue::TypeFloat: {
      float f = v;
      if (!std::isfinite(f)) {
        out += "null";
      } else {
        out += v.toString();
      }
      break;
    }
    case AL::ALValue::TypeString: appendJsonText(out, v.asString(), asUtf8); break;
    case AL::ALValue::TypeArray: {
      out += '[';
      const AL::ALValue::ALValueArray& items = v.asArray();
      for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        appendJson(out, items[i], asUtf8);
      }
      out += ']';
      break;
    }
  }
}

std::string toJson(const AL::ALValue& value) {
  std::string out;
  appendJson(out, value);
  return out;
}

namespace {

class Parser {
public:
  explicit Parser(const std::string& t) : s(t), p(0), depth(0) {}
  bool parseAll(AL::ALValue& out) {
    skip();
    if (!value(out)) return false;
    skip();
    return p == s.size();
  }

private:
  const std::string& s;
  size_t p;
  // Arrays nest by recursion: a text of brackets from a client must not
  // exhaust the stack.
  int depth;
  static const int kMaxDepth = 256;

  static bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  void skip() {
    while (p < s.size() && blank(s[p])) ++p;
  }
  bool literal(const char* word) {
    size_t n = strlen(word);
    if (s.compare(p, n, word) != 0) return false;
    p += n;
    return true;
  }
  static void utf8(unsigned long cp, std::string& out) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool hex4(unsigned long& cp) {
    if (p + 4 > s.size()) return false;
    // Exactly four hex digits: strtoul alone would also take a sign or blanks.
    for (size_t i = p; i < p + 4; ++i)
      if (!isxdigit(static_cast<unsigned char>(s[i]))) return false;
    cp = strtoul(s.substr(p, 4).c_str(), 0, 16);
    p += 4;
    return true;
  }
  bool string(std::string& out) {
    if (s[p] != '"') return false;
    ++p;
    while (p < s.size()) {
      // Runs of characters that need no decoding are taken at once.
      size_t run = p;
      while (run < s.size() && plain(static_cast<unsigned char>(s[run]))) ++run;
      out.append(s, p, run - p);
      p = run;
      if (p >= s.size()) break;
      char c = s[p++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (p >= s.size()) return false;
      char e = s[p++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned long cp;
          if (!hex4(cp)) return false;
          // A surrogate half stands only in a pair: alone it is no
          // character and its bytes would not be UTF-8.
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            if (s.compare(p, 2, "\\u") != 0) return false;
            p += 2;
            unsigned long lo;
            if (!hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          utf8(cp, out);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool number(AL::ALValue& out) {
    size_t start = p;
    if (p < s.size() && s[p] == '-') ++p;
    if (p >= s.size() || !isdigit(static_cast<unsigned char>(s[p]))) return false;
    if (s[p] == '0' && p + 1 < s.size() && isdigit(static_cast<unsigned char>(s[p + 1])))
      return false;
    bool integral = true;
    while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) ++p;
    if (p < s.size() && s[p] == '.') {
      integral = false;
      ++p;
      if (p >= s.size() || !isdigit(static_cast<unsigned char>(s[p]))) return false;
      while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) ++p;
    }
    if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
      integral = false;
      ++p;
      if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
      if (p >= s.size() || !isdigit(static_cast<unsigned char>(s[p]))) return false;
      while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) ++p;
    }
    std::string text = s.substr(start, p - start);
    if (integral) {
      long long n = strtoll(text.c_str(), 0, 10);
      if (n >= -2147483647LL - 1 && n <= 2147483647LL) {
        out = AL::ALValue(static_cast<int>(n));
        return true;
      }
    }
    out = AL::ALValue(strtod(text.c_str(), 0));
    return true;
  }
  bool value(AL::ALValue& out) {
    if (p >= s.size()) return false;
    char c = s[p];
    if (c == '"') {
      std::string text;
      if (!string(text)) return false;
      out = AL::ALValue(text);
      return true;
    }
    if (c == '[') {
      if (depth >= kMaxDepth) return false;
      ++p;
      // Each element is parsed in its place and the whole list is moved
      // into the value: no subtree is copied on its way up.
      AL::ALValue::ALValueArray items;
      skip();
      if (p < s.size() && s[p] == ']') {
        ++p;
        out = AL::ALValue(std::move(items));
        return true;
      }
      for (;;) {
        skip();
        items.emplace_back();
        ++depth;
        bool ok = value(items.back());
        --depth;
        if (!ok) return false;
        skip();
        if (p >= s.size()) return false;
        if (s[p] == ',') {
          ++p;
          continue;
        }
        if (s[p] == ']') {
          ++p;
          out = AL::ALValue(std::move(items));
          return true;
        }
        return false;
      }
    }
    if (literal("true")) {
      out = AL::ALValue(true);
      return true;
    }
    if (literal("false")) {
      out = AL::ALValue(false);
      return true;
    }
    if (literal("null")) {
      out = AL::ALValue();
      return true;
    }
    return number(out);
  }
};

}  // namespace

bool parseJson(const std::string& text, AL::ALValue& out) {
  AL::ALValue v;
  Parser parser(text);
  if (!parser.parseAll(v)) return false;
  out = std::move(v);
  return true;
}

AL::ALValue valueFromArg(const std::string& text) {
  AL::ALValue v;
  if (parseJson(text, v)) return v;
  return AL::ALValue(text);
}

}  // namespace kt
