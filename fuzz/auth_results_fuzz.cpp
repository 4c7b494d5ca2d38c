// Fuzz target: Authentication-Results values from a message, as the sealer
// reads them. Drives the authserv-id claim test, the resinfo scanner, the AAR
// content builder and its folded header, and the verdict field with an
// arbitrary reason text.
//
// Input: the authserv-id up to the first LF, the local method list up to the
// second LF, then a message whose header fields feed the AAR builder. The
// message part is also scanned on its own as one Authentication-Results value,
// and it is the reason of the verdict field.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arc/aar.h"
#include "arc/auth_results.h"
#include "arc/verdict_field.h"
#include "base/ascii.h"
#include "core/log.h"
#include "core/message.h"

namespace {

using namespace tollbrook;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool inside(std::string_view outer, std::string_view view) {
  return view.data() >= outer.data() && view.data() + view.size() <= outer.data() + outer.size();
}

std::string_view takeLine(std::string_view& input) {
  size_t end = input.find('\n');
  std::string_view line = input.substr(0, end);
  input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  return line;
}

bool hasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// Every resinfo is a non-empty, trimmed method and a non-empty result taken
// from the value; a value yields at most one resinfo per ';'.
void scanValue(std::string_view value) {
  ResinfoScanner scanner(value);
  size_t count = 0;
  size_t semicolons = 0;
  for (char c : value) semicolons += c == ';';
  while (std::optional<Resinfo> resinfo = scanner.next()) {
    ++count;
    check(count <= semicolons);
    check(!resinfo->method.empty() && !resinfo->result.empty());
    check(inside(value, resinfo->method) && inside(value, resinfo->result));
    check(!isAnySpace(resinfo->method.front()) && !isAnySpace(resinfo->method.back()));
    check(resinfo->method.find('=') == std::string_view::npos);
    check(resinfo->method.find(';') == std::string_view::npos);
    check(resinfo->result.find(';') == std::string_view::npos);
  }
  check(!scanner.next());
}

// A value that is the authserv-id and a resinfo always claims it; a claim
// means the value starts with the id after its leading blanks.
void checkClaim(std::string_view value, std::string_view authservId) {
  if (claimsAuthservId(value, authservId)) {
    size_t start = 0;
    while (start < value.size() && isAnySpace(value[start])) ++start;
    check(asciiEqualsIgnoreCase(value.substr(start, authservId.size()), authservId));
  }
  if (!authservId.empty() && !isAnySpace(authservId.front())) {
    std::string claimed(authservId);
    claimed.append("; spf=pass");
    check(claimsAuthservId(claimed, authservId));
  }
}

// Folds are CR LF HT and nothing else breaks a line; unfolding and squeezing
// blanks (VT and FF count as blanks when text is re-broken) gives back the
// text written.
std::string squeezeBlanks(std::string_view text) {
  std::string out;
  bool blank = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "\r\n\t") == 0) {
      blank = true;
      i += 2;
      continue;
    }
    if (isAnySpace(text[i])) {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out.push_back(' ');
    blank = false;
    out.push_back(text[i]);
  }
  return out;
}

void checkFoldsOnly(std::string_view folded) {
  for (size_t i = 0; i < folded.size(); ++i) {
    if (folded[i] == '\r') check(folded.compare(i, 3, "\r\n\t") == 0);
    if (folded[i] == '\n') check(i > 0 && folded[i - 1] == '\r');
  }
}

void checkAar(std::span<const HeaderField> headers, std::string_view authservId,
              std::string_view methodList, uint32_t instance) {
  Result<std::vector<std::string_view>> methods = parseLocalMethods(methodList);
  if (!methods) return;
  for (std::string_view method : *methods) {
    check(!method.empty() && inside(methodList, method));
    check(method.find(',') == std::string_view::npos);
  }
  SealResult<std::string> content = buildAarContent(headers, authservId, *methods);
  if (!content) return;
  // What the sealer vouches for is always stated under this host's id.
  check(content->starts_with(authservId));
  check(content->size() >= authservId.size() + 2);
  check(content->compare(authservId.size(), 2, "; ") == 0);
  if (methods->empty()) check(*content == std::string(authservId) + "; none");
  SealResult<std::string> aar = formatAar(instance, *content);
  if (!aar) return;
  std::string prefix = "i=" + std::to_string(instance) + ";";
  check(aar->starts_with(prefix));
  if (!hasLineBreak(*content)) {
    checkFoldsOnly(*aar);
    check(squeezeBlanks(*aar) == squeezeBlanks(prefix + " " + *content));
  }
}

// The reason sits in one comment that ends the value: it can neither close the
// comment early nor add a line break of its own.
void checkVerdict(std::string_view authservId, uint8_t selector, std::string_view reason) {
  static constexpr std::string_view kResults[] = {"none", "pass", "fail", "temperror"};
  std::string_view result = kResults[selector % 4];
  std::optional<std::string_view> why;
  if (selector & 4) why = reason;
  Result<std::string> field = formatVerdictField(authservId, result, why);
  if (!field) return;
  if (hasLineBreak(authservId)) return;
  checkFoldsOnly(*field);
  std::string resinfo = "arc=" + std::string(result);
  size_t at = field->find(";\r\n\t" + resinfo);
  check(at != std::string::npos);
  std::string_view rest = std::string_view(*field).substr(at + 4 + resinfo.size());
  if (!why) {
    check(rest.empty());
    return;
  }
  if (rest.starts_with("\r\n\t")) {
    rest.remove_prefix(3);
  } else {
    check(rest.starts_with(" "));
    rest.remove_prefix(1);
  }
  check(rest.size() >= 2 && rest.front() == '(' && rest.back() == ')');
  std::string shown;
  for (size_t i = 1; i + 1 < rest.size(); ++i) {
    char c = rest[i];
    check(c != '(' && c != ')');
    check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    if (c == '\\') {
      ++i;
      check(i + 1 < rest.size());
      c = rest[i];
      check(c == '(' || c == ')' || c == '\\');
    }
    shown.push_back(c);
  }
  check(shown.size() == why->size());
  for (size_t i = 0; i < shown.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>((*why)[i]);
    check(shown[i] == ((byte < 0x20 || byte == 0x7F) ? '?' : (*why)[i]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The vouching warning is formatted as usual but goes to a syslog socket
  // this thread never opened.
  logSettings().sink = LogSink::Syslog;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view authservId = takeLine(input);
  std::string_view methodList = takeLine(input);
  uint8_t selector = authservId.empty() ? 0 : static_cast<uint8_t>(authservId.back());

  scanValue(input);
  checkClaim(input, authservId);
  checkVerdict(authservId, selector, input);

  Result<Message> message = parseMessage(input);
  if (!message) return 0;
  for (const HeaderField& field : message->headers) {
    scanValue(field.value);
    checkClaim(field.value, authservId);
  }
  checkAar(message->headers, authservId, methodList, 1u + selector % 50u);
  return 0;
}
