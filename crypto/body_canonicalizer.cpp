// Streaming simple and relaxed body canonicalization. Both modes copy runs of
// ordinary bytes in one append rather than byte by byte: the body hash runs over
// every message, and the canonicalizer should cost no more than the hash.
#include <array>
#include <cstring>
#include <new>

#include "crypto/canonicalization.h"

namespace tollbrook {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// Relaxed byte classes: ordinary bytes are copied as they are.
enum ByteClass : unsigned char { kOrdinary, kBlank, kCr };

constexpr std::array<unsigned char, 256> makeClasses() {
  std::array<unsigned char, 256> classes{};
  classes[static_cast<unsigned char>(' ')] = kBlank;
  classes[static_cast<unsigned char>('\t')] = kBlank;
  classes[static_cast<unsigned char>('\r')] = kCr;
  return classes;
}
constexpr std::array<unsigned char, 256> kClasses = makeClasses();

unsigned char classOf(char c) {
  return kClasses[static_cast<unsigned char>(c)];
}

// End of the run starting at `i` that relaxed canonicalization copies
// unchanged: ordinary bytes, and single SPs between two ordinary bytes. The
// byte at `i` is ordinary.
size_t verbatimRunEnd(std::string_view bytes, size_t i) {
  const size_t n = bytes.size();
  size_t j = i + 1;
  while (j < n) {
    const unsigned char cls = classOf(bytes[j]);
    if (cls == kOrdinary) {
      ++j;
    } else if (bytes[j] == ' ' && j + 1 < n && classOf(bytes[j + 1]) == kOrdinary) {
      j += 2;
    } else {
      break;
    }
  }
  return j;
}

}  // namespace

void BodyCanonicalizer::flushLineEnds() {
  for (; pendingLines_ > 0; --pendingLines_) output_.append(kCrLf);
}

void BodyCanonicalizer::canonicalizeSimple(std::string_view bytes) {
  const char* data = bytes.data();
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    if (pendingCr_) {
      pendingCr_ = false;
      if (data[i] == '\n') {
        ++pendingLines_;
        ++i;
        continue;
      }
      flushLineEnds();
      output_.push_back('\r');
    }
    const void* cr = std::memchr(data + i, '\r', n - i);
    const size_t end = cr ? static_cast<size_t>(static_cast<const char*>(cr) - data) : n;
    if (end > i) {
      flushLineEnds();
      output_.append(data + i, end - i);
    }
    if (cr) pendingCr_ = true;
    i = cr ? end + 1 : n;
  }
}

// Writes bytes of the current relaxed line: the held-back line ends first when
// the line had no content yet, then the pending blank as one SP.
void BodyCanonicalizer::appendLineContent(std::string_view bytes) {
  if (!lineHasContent_) {
    flushLineEnds();
    lineHasContent_ = true;
  }
  if (pendingSpace_) {
    output_.push_back(' ');
    pendingSpace_ = false;
  }
  output_.append(bytes);
}

// Blanks at the end of a line vanish; an empty line is only counted.
void BodyCanonicalizer::endRelaxedLine() {
  pendingSpace_ = false;
  if (lineHasContent_) {
    output_.append(kCrLf);
    lineHasContent_ = false;
  } else {
    ++pendingLines_;
  }
}

void BodyCanonicalizer::canonicalizeRelaxed(std::string_view bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    if (pendingCr_) {
      pendingCr_ = false;
      if (bytes[i] == '\n') {
        endRelaxedLine();
        ++i;
        continue;
      }
      appendLineContent("\r");
    }
    switch (classOf(bytes[i])) {
      case kBlank:
        pendingSpace_ = true;
        ++i;
        break;
      case kCr:
        pendingCr_ = true;
        ++i;
        break;
      default: {
        const size_t end = verbatimRunEnd(bytes, i);
        appendLineContent(bytes.substr(i, end - i));
        i = end;
      }
    }
  }
}

Status BodyCanonicalizer::update(std::string_view bytes) {
  try {
    if (mode_ == CanonicalizationMode::Simple) {
      canonicalizeSimple(bytes);
    } else {
      canonicalizeRelaxed(bytes);
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

// Resolves a final CR, ends an unfinished line, drops the held-back line ends
// and makes sure the body ends with CR LF (simple: an empty body is one CR LF).
void BodyCanonicalizer::finishBody() {
  if (pendingCr_) {
    pendingCr_ = false;
    if (mode_ == CanonicalizationMode::Simple) {
      flushLineEnds();
      output_.push_back('\r');
    } else {
      appendLineContent("\r");
    }
  }
  if (mode_ == CanonicalizationMode::Relaxed && lineHasContent_) endRelaxedLine();
  pendingLines_ = 0;
  if (output_.empty() ? mode_ == CanonicalizationMode::Simple : !output_.ends_with(kCrLf)) {
    output_.append(kCrLf);
  }
}

Result<std::string> BodyCanonicalizer::finish() {
  try {
    finishBody();
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return std::move(output_);
}

}  // namespace tollbrook
