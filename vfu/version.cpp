#include "version.h"

#include <cctype>

#include "wire.h"

namespace vfu {
namespace {

constexpr int kMaxDepth = 16;

class Parser {
 public:
  Parser(const char* s, size_t n, ClientCaps* caps) : p_(s), end_(s + n), caps_(caps) {}

  bool Document(std::string* why) {
    Space();
    if (p_ == end_ || *p_ != '{') {
      *why = "version data is not a JSON object";
      return false;
    }
    if (!Value(0, Where::kTop)) {
      *why = error_.empty() ? "version data is not well-formed JSON" : error_;
      return false;
    }
    Space();
    if (p_ != end_) {
      *why = "version data has bytes after its JSON value";
      return false;
    }
    return true;
  }

 private:
  enum class Where { kTop, kCapabilities, kOther };

  void Space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool Eat(char c) {
    Space();
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool Literal(const char* word) {
    for (; *word != 0; ++word, ++p_)
      if (p_ == end_ || *p_ != *word) return false;
    return true;
  }
  // Keys we look for are plain ASCII; an escaped key is kept as written, which matches none.
  bool String(std::string* out) {
    if (p_ == end_ || *p_ != '"') return false;
    for (++p_; p_ < end_; ++p_) {
      const char c = *p_;
      if (c == '"') {
        ++p_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c == '\\') {
        if (++p_ == end_) return false;
        if (*p_ == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (++p_ == end_ || !std::isxdigit(static_cast<unsigned char>(*p_))) return false;
          }
        } else if (std::string("\"\\/bfnrt").find(*p_) == std::string::npos) {
          return false;
        }
        if (out != nullptr) out->push_back('\\');
        continue;
      }
      if (out != nullptr && out->size() < 64) out->push_back(c);
    }
    return false;
  }
  // A JSON number; *integer is set when it is a plain non-negative integer that fits.
  bool Number(uint64_t* integer, bool* is_integer) {
    const char* start = p_;
    if (p_ < end_ && *p_ == '-') ++p_;
    if (p_ == end_ || !std::isdigit(static_cast<unsigned char>(*p_))) return false;
    uint64_t v = 0;
    bool fits = *start != '-';
    if (*p_ == '0') {
      ++p_;
    } else {
      for (; p_ < end_ && std::isdigit(static_cast<unsigned char>(*p_)); ++p_) {
        const uint64_t d = static_cast<uint64_t>(*p_ - '0');
        if (v > (UINT64_MAX - d) / 10) fits = false;
        v = v * 10 + d;
      }
    }
    bool plain = true;
    if (p_ < end_ && *p_ == '.') {
      plain = false;
      if (++p_ == end_ || !std::isdigit(static_cast<unsigned char>(*p_))) return false;
      while (p_ < end_ && std::isdigit(static_cast<unsigned char>(*p_))) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      plain = false;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !std::isdigit(static_cast<unsigned char>(*p_))) return false;
      while (p_ < end_ && std::isdigit(static_cast<unsigned char>(*p_))) ++p_;
    }
    *is_integer = plain && fits;
    *integer = v;
    return true;
  }
  bool Value(int depth, Where where) {
    if (depth > kMaxDepth) {
      error_ = "version data nests deeper than " + std::to_string(kMaxDepth);
      return false;
    }
    Space();
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return Object(depth, where);
      case '[': {
        ++p_;
        if (Eat(']')) return true;
        do {
          if (!Value(depth + 1, Where::kOther)) return false;
        } while (Eat(','));
        return Eat(']');
      }
      case '"': return String(nullptr);
      case 't': return Literal("true");
      case 'f': return Literal("false");
      case 'n': return Literal("null");
      default: {
        uint64_t v;
        bool integer;
        return Number(&v, &integer);
      }
    }
  }
  bool Object(int depth, Where where) {
    ++p_;
    if (Eat('}')) return true;
    do {
      Space();
      std::string key;
      if (!String(&key) || !Eat(':')) return false;
      Space();
      if (where == Where::kCapabilities && (key == "max_msg_fds" || key == "max_data_xfer_size")) {
        uint64_t v;
        bool integer = false;
        if (!Number(&v, &integer) || !integer) {
          error_ = "capability " + key + " is not a non-negative integer";
          return false;
        }
        (key == "max_msg_fds" ? caps_->max_msg_fds : caps_->max_data_xfer_size) = v;
        continue;
      }
      Where inner = Where::kOther;
      if (where == Where::kTop && key == "capabilities") {
        if (p_ == end_ || *p_ != '{') {
          error_ = "version data: \"capabilities\" is not an object";
          return false;
        }
        inner = Where::kCapabilities;
      }
      if (!Value(depth + 1, inner)) return false;
    } while (Eat(','));
    return Eat('}');
  }

  const char* p_;
  const char* end_;
  ClientCaps* caps_;
  std::string error_;
};

}  // namespace

bool ParseClientCaps(const char* json, size_t len, ClientCaps* caps, std::string* why) {
  return Parser(json, len, caps).Document(why);
}

std::string ServerCapsJson() {
  std::string s = "{\"capabilities\":{\"max_msg_fds\":" + std::to_string(kMaxMsgFds) +
                  ",\"max_data_xfer_size\":" + std::to_string(kMaxDataXfer) +
                  ",\"max_dma_maps\":" + std::to_string(kMaxDmaMaps) + ",\"pgsizes\":4096}}";
  s.push_back('\0');
  return s;
}

}  // namespace vfu
