#include "cli/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <cstdio>

#include "cli/writer.h"

namespace sweepkit {

namespace {

// One iconv conversion; owns its descriptor.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != (iconv_t)-1; }

  // Converts as much as it can; on an unconvertible sequence calls
  // onBad(position) which returns how many input bytes to skip (0: stop).
  template <typename OnBad>
  bool Run(const std::string& in, std::string* out, OnBad onBad) {
    out->clear();
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buffer[256];
    for (;;) {
      char* dst = buffer;
      size_t room = sizeof(buffer);
      size_t r = left == 0 ? iconv(cd_, nullptr, nullptr, &dst, &room)
                           : iconv(cd_, &src, &left, &dst, &room);
      out->append(buffer, size_t(dst - buffer));
      if (r != (size_t)-1) {
        if (left == 0) {
          // Flush any shift state, then done.
          dst = buffer;
          room = sizeof(buffer);
          iconv(cd_, nullptr, nullptr, &dst, &room);
          out->append(buffer, size_t(dst - buffer));
          return true;
        }
        continue;
      }
      if (errno == E2BIG) continue;
      size_t skip = onBad(size_t(src - in.data()), out);
      if (skip == 0 || skip > left) return false;
      src += skip;
      left -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string CodepageName(unsigned codepage) { return "CP" + std::to_string(codepage); }

void CheckCodepage(unsigned codepage) {
  Converter c(CodepageName(codepage), "UTF-8");
  if (!c.ok())
    throw PackError("codepage: " + std::to_string(codepage) +
                    " is not a code page this system can convert to");
}

bool FromUtf8(const std::string& utf8, unsigned codepage, std::string* out) {
  Converter to(CodepageName(codepage), "UTF-8");
  Converter back("UTF-8", CodepageName(codepage));
  if (!to.ok() || !back.ok()) return false;
  auto stop = [](size_t, std::string*) -> size_t { return 0; };
  if (!to.Run(utf8, out, stop)) return false;
  // Refuse best-fit mappings: the bytes must convert back to the same text.
  std::string again;
  return back.Run(*out, &again, stop) && again == utf8;
}

std::string ToUtf8(const std::string& bytes, unsigned codepage) {
  Converter c("UTF-8", CodepageName(codepage));
  std::string out;
  if (!c.ok()) {
    for (unsigned char ch : bytes) {
      char hex[8];
      std::snprintf(hex, sizeof hex, ch < 0x80 ? "%c" : "\\x%02X", ch);
      out += hex;
    }
    return out;
  }
  c.Run(bytes, &out, [&bytes](size_t at, std::string* o) -> size_t {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", (unsigned char)bytes[at]);
    *o += hex;
    return 1;
  });
  return out;
}

}  // namespace sweepkit
