// Streaming simple and relaxed body canonicalization. The body hash runs over
// every message, so the canonicalizer is built to cost less than the hash:
// both modes copy long runs of bytes in one append. Simple output differs from
// its input only in the CR LF pairs held back at the end of a chunk; relaxed
// output is its input except around blank runs, tabs and empty lines, which
// are found eight bytes at a time.
#include <array>
#include <cstdint>
#include <new>

#include "crypto/canonicalization.h"
#include "crypto/word_scan.h"

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

using word_scan::load8;
using word_scan::matchBelow;
using word_scan::matchByte;

// Flags the bytes among p[0..8) that may end a verbatim run: every control
// byte but SP (HTAB and CR among them, LF as a rare false alarm), and a SP
// followed by a byte up to SP. Reads p[0..9).
uint64_t possibleRunEnds(const char* p) {
  const uint64_t word = load8(p);
  const uint64_t low = matchBelow(word, 0x21);
  const uint64_t space = matchByte(word, ' ');
  return (low & ~space) | (space & matchBelow(load8(p + 1), 0x21));
}

// How many bytes from `j` on continue a verbatim run; 0 when it ends at `j`.
// A single SP between content bytes stays as it is, and so does the CR LF
// ending a line with content when content follows on the next line.
size_t verbatimStep(std::string_view bytes, size_t j) {
  const size_t n = bytes.size();
  const char c = bytes[j];
  if (classOf(c) == kOrdinary) return 1;
  if (c == ' ' && j + 1 < n && classOf(bytes[j + 1]) == kOrdinary) return 2;
  if (c == '\r' && j + 2 < n && bytes[j + 1] == '\n' && classOf(bytes[j + 2]) == kOrdinary) {
    return 3;
  }
  return 0;
}

// End of the run starting at `i` (an ordinary byte) that relaxed
// canonicalization copies unchanged; the run ends with an ordinary byte.
size_t verbatimRunEnd(std::string_view bytes, size_t i) {
  const size_t n = bytes.size();
  size_t j = i + 1;
  while (j < n) {
    // Sixteen bytes at a time where nothing ends the run (most of a line);
    // the word test below finds the exact byte once something might.
    while (j + 17 <= n && !word_scan::mayEndRelaxedRun16(bytes.data() + j)) j += 16;
    if (j + 9 <= n) {
      const uint64_t ends = possibleRunEnds(bytes.data() + j);
      if (ends == 0) {
        j += 8;
        continue;
      }
      j += word_scan::firstFlaggedByte(ends);
    }
    const size_t step = verbatimStep(bytes, j);
    if (step == 0) break;
    j += step;
  }
  return j;
}

}  // namespace

void BodyCanonicalizer::flushLineEnds() {
  for (; pendingLines_ > 0; --pendingLines_) output_.append(kCrLf);
}

// A CR completes a held-back line end when LF follows; everything else up to
// the chunk's trailing CR LF pairs (and a final CR) is copied as it is.
void BodyCanonicalizer::canonicalizeSimple(std::string_view bytes) {
  if (bytes.empty()) return;
  if (pendingCr_) {
    pendingCr_ = false;
    if (bytes.front() == '\n') {
      ++pendingLines_;
      bytes.remove_prefix(1);
    } else {
      flushLineEnds();
      output_.push_back('\r');
    }
  }
  size_t end = bytes.size();
  const bool finalCr = end > 0 && bytes[end - 1] == '\r';
  if (finalCr) --end;
  size_t heldLines = 0;
  for (; end >= 2 && bytes[end - 2] == '\r' && bytes[end - 1] == '\n'; end -= 2) ++heldLines;
  if (end > 0) {
    flushLineEnds();
    output_.append(bytes.data(), end);
  }
  pendingLines_ += heldLines;
  pendingCr_ = finalCr;
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
