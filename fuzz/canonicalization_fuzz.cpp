// Fuzz target: arbitrary header fields and body bytes through the simple and
// relaxed canonicalizers, the body hash, the h= field selection, the removal
// of a b= value and the c= reader, as a verifier runs them over a received
// message. Checks each against a plain restatement of its rule, that the
// streaming forms do not depend on where the body is cut, and that canonical
// output is a fixed point.
//
// Input: byte 0 seeds the body's chunk sizes; the rest is a message. Its first
// field's value serves as the h= list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "core/message.h"
#include "crypto/canonicalization.h"
#include "crypto/signing_input.h"

namespace {

using namespace tollbrook;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The relaxed body rule stated line by line: lines end at CR LF; blank runs
// become one SP and vanish at a line's end; empty lines at the end go; a
// non-empty result ends with CR LF.
std::string relaxedBodyReference(std::string_view body) {
  std::vector<std::string> lines;
  while (!body.empty()) {
    size_t end = body.find("\r\n");
    std::string_view raw = body.substr(0, end);
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 2);
    std::string line;
    bool blank = false;
    for (char c : raw) {
      if (isBlank(c)) {
        blank = true;
        continue;
      }
      if (blank) line.push_back(' ');
      blank = false;
      line.push_back(c);
    }
    lines.push_back(std::move(line));
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::string out;
  for (const std::string& line : lines) out.append(line).append("\r\n");
  return out;
}

// The simple body rule: trailing CR LF pairs go, one CR LF ends the body, and
// an empty body is one CR LF.
std::string simpleBodyReference(std::string_view body) {
  while (body.ends_with("\r\n")) body.remove_suffix(2);
  std::string out(body);
  out.append("\r\n");
  return out;
}

// The body fed in chunks whose sizes follow from `seed`; 0 feeds it whole.
std::string canonicalBody(CanonicalizationMode mode, std::string_view body, uint8_t seed) {
  BodyCanonicalizer canon(mode);
  size_t step = seed == 0 ? body.size() : 1 + seed % 17;
  while (!body.empty()) {
    size_t take = std::min(step, body.size());
    check(static_cast<bool>(canon.update(body.substr(0, take))));
    body.remove_prefix(take);
    step = step * 7 % 61 + 1;
  }
  Result<std::string> out = canon.finish();
  check(out.has_value());
  return std::move(*out);
}

void checkBody(std::string_view body, uint8_t seed) {
  for (CanonicalizationMode mode : {CanonicalizationMode::Simple, CanonicalizationMode::Relaxed}) {
    std::string whole = canonicalBody(mode, body, 0);
    check(whole == canonicalBody(mode, body, seed));
    check(whole == (mode == CanonicalizationMode::Simple ? simpleBodyReference(body)
                                                         : relaxedBodyReference(body)));
    check(canonicalBody(mode, whole, seed) == whole);

    Result<Sha256Digest> digest = bodyHash(whole);
    check(digest.has_value());
    BodyHasher hasher(mode);
    std::string_view rest = body;
    for (size_t step = 1 + seed % 5; !rest.empty(); step = step * 3 % 4093 + 1) {
      size_t take = std::min(step, rest.size());
      check(static_cast<bool>(hasher.update(rest.substr(0, take))));
      rest.remove_prefix(take);
    }
    Result<Sha256Digest> streamed = hasher.finish();
    check(streamed && *streamed == *digest);
    Result<Sha256Digest> oneCall = canonicalBodyHash(mode, body);
    check(oneCall && *oneCall == *digest);
  }
}

// The relaxed value rule stated in passes: remove every fold (CR LF or a bare
// LF before SP or HTAB), turn each blank run into one SP, trim SP, HTAB, CR
// and LF from both ends.
std::string relaxedValueReference(std::string_view value) {
  std::string unfolded;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value.substr(i, 2) == "\r\n" && i + 2 < value.size() && isBlank(value[i + 2])) {
      ++i;
      continue;
    }
    if (value[i] == '\n' && i + 1 < value.size() && isBlank(value[i + 1])) continue;
    unfolded.push_back(value[i]);
  }
  std::string squeezed;
  for (char c : unfolded) {
    if (isBlank(c) && !squeezed.empty() && squeezed.back() == ' ') continue;
    squeezed.push_back(isBlank(c) ? ' ' : c);
  }
  std::string_view trimmed = squeezed;
  while (!trimmed.empty() && isFoldingSpace(trimmed.front())) trimmed.remove_prefix(1);
  while (!trimmed.empty() && isFoldingSpace(trimmed.back())) trimmed.remove_suffix(1);
  return std::string(trimmed);
}

// The three ways of canonicalizing a field agree; simple changes nothing; a
// relaxed form without line breaks is a fixed point of relaxed.
void checkField(const HeaderField& field) {
  Result<std::string> text = headerFieldText(field);
  check(text.has_value());
  for (CanonicalizationMode mode : {CanonicalizationMode::Simple, CanonicalizationMode::Relaxed}) {
    Result<std::string> canonical = canonicalizeHeader(mode, *text);
    check(canonical.has_value());
    std::string direct = "prefix";
    check(static_cast<bool>(
        appendCanonicalHeader(direct, mode, field.name, field.leadingSpace, field.value)));
    check(direct == "prefix" + *canonical);
    if (mode == CanonicalizationMode::Simple) {
      check(*canonical == *text);
      continue;
    }
    size_t colon = canonical->find(':');
    check(colon != std::string::npos);
    std::string_view name = std::string_view(*canonical).substr(0, colon);
    std::string_view value = std::string_view(*canonical).substr(colon + 1);
    check(value == relaxedValueReference(field.value));
    for (char c : name) check(c == asciiLower(c));
    check(name.empty() || !isBlank(name.back()));
    check(value.empty() || (!isFoldingSpace(value.front()) && !isFoldingSpace(value.back())));
    check(value.find("  ") == std::string_view::npos && value.find('\t') == std::string_view::npos);
    if (canonical->find_first_of("\r\n") == std::string::npos) {
      Result<std::string> again = canonicalizeHeader(mode, *canonical);
      check(again && *again == *canonical);
    }
  }
}

// The k-th listing of a name takes its k-th field from the bottom.
std::vector<const HeaderField*> selectReference(std::string_view list,
                                                std::span<const HeaderField> headers) {
  std::vector<std::string_view> names;
  for (;;) {
    size_t colon = list.find(':');
    std::string_view name = trimBoth(list.substr(0, colon), isFoldingSpace);
    if (!name.empty()) names.push_back(name);
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  std::vector<const HeaderField*> selected;
  for (size_t n = 0; n < names.size(); ++n) {
    size_t earlier = 0;
    for (size_t m = 0; m < n; ++m) earlier += headerNameEquals(names[m], names[n]);
    for (size_t i = headers.size(); i-- > 0;) {
      if (!headerNameEquals(headers[i].name, names[n])) continue;
      if (earlier-- == 0) {
        selected.push_back(&headers[i]);
        break;
      }
    }
  }
  return selected;
}

void checkSelection(std::string_view list, std::span<const HeaderField> headers) {
  // The plain restatement is quadratic: keep it to lists a message could hold.
  if (list.size() > 4096 || headers.size() > 256) return;
  Result<std::vector<HeaderField>> selected = selectSignedHeaders(list, headers);
  check(selected.has_value());
  std::vector<const HeaderField*> expected = selectReference(list, headers);
  check(selected->size() == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    check((*selected)[i].name.data() == expected[i]->name.data());
    check((*selected)[i].value.data() == expected[i]->value.data());
  }
}

// Removing the b= value twice removes nothing more; the rest is untouched.
void checkStrip(const HeaderField& field) {
  Result<std::string> text = headerFieldText(field);
  check(text.has_value());
  Result<std::string> stripped = stripSignatureValue(*text);
  check(stripped && stripped->size() <= text->size());
  Result<std::string> twice = stripSignatureValue(*stripped);
  check(twice && *twice == *stripped);
  size_t common = 0;
  while (common < stripped->size() && (*stripped)[common] == (*text)[common]) ++common;
  std::string_view tail = std::string_view(*stripped).substr(common);
  check(std::string_view(*text).ends_with(tail));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t seed = data[0];
  std::string_view raw(reinterpret_cast<const char*>(data) + 1, size - 1);
  Result<Message> message = parseMessage(raw);
  if (!message) return 0;
  checkBody(message->body, seed);
  for (const HeaderField& field : message->headers) {
    checkField(field);
    checkStrip(field);
    if (Result<Canonicalization> modes = parseCanonicalization(field.value)) {
      check(field.value.empty() || field.value.starts_with(canonicalizationName(modes->header)));
    }
  }
  if (!message->headers.empty()) checkSelection(message->headers.front().value, message->headers);
  return 0;
}
